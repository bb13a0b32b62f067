// Pure host logic of the warpgroup lane of dQ/dBias (the lane table picks it for tiers 16, 32
// and 64 when N and slab_rows are whole 64-row blocks): its plan check,
// the shared-memory layout of one tier, the addresses the kernel stores to and wgmma reads
// from, and the walk over batch waves, query slabs and group waves with the grid of every
// leaf launch. Plain C++ (no PyTorch, no CUDA types): the entry, the kernel and the host
// tests read the same numbers.
#pragma once

#include <cstdint>
#include <string>

#include "common/smem_layout.h"
#include "dq_dbias/dq_plan.h"

namespace kestrovane {
namespace dq {

constexpr int kWgThreads = 256;      // two warpgroups; warpgroup wg takes outer rows 2wg, 2wg+1
constexpr int kWgQueryBlock = 64;    // query rows per thread block (one wgmma M extent)
constexpr int kWgKeyTile = 32;       // keys per tile (one wgmma N extent)

// ---------------------------------------------------------------- shared memory of one tier
//
// Byte offsets (T = HeadDimTier): Q tiles [4 outer rows][64 rows][T] and dO tiles, swizzled,
// one row being one swizzle span; per outer row a K tile and a V tile of 32 keys, swizzled;
// the bias tile [64 rows][36] (four padding elements); the mask tile [4][32] FP32; the dS
// tiles [2 warpgroups][64 rows][33] FP32 (one padding float).
struct WgLayout {
  uint32_t q_tiles;
  uint32_t do_tiles;
  uint32_t kv_tiles;
  uint32_t bias;
  uint32_t mask;
  uint32_t ds;
  uint32_t total;
  uint32_t query_tile_bytes;  // one outer row's 64 x T tile
  uint32_t kv_row_stride;     // from one outer row's K tile to the next
  uint32_t v_offset;          // from an outer row's K tile to its V tile
};

constexpr int kWgBiasPitch = kWgKeyTile + 4;  // BF16 elements per bias tile row
constexpr int kWgDsPitch = kWgKeyTile + 1;    // floats per dS tile row
constexpr uint32_t kWgBiasBytes = kWgQueryBlock * kWgBiasPitch * 2;                 // 4608
constexpr uint32_t kWgMaskBytes = kGroupRows * kWgKeyTile * 4;                    // 512
constexpr uint32_t kWgDsBytes = 2 * kWgQueryBlock * kWgDsPitch * 4;                 // 16896
constexpr uint32_t kWgDsTileFloats = kWgQueryBlock * kWgDsPitch;                    // per warpgroup

KESTROVANE_HOST_DEVICE constexpr WgLayout wg_layout(int tier) {
  const uint32_t t = static_cast<uint32_t>(tier);
  return WgLayout{0,
                  512 * t,
                  1024 * t,
                  1536 * t,
                  1536 * t + kWgBiasBytes,
                  1536 * t + kWgBiasBytes + kWgMaskBytes,
                  1536 * t + kWgBiasBytes + kWgMaskBytes + kWgDsBytes,
                  128 * t,
                  128 * t,
                  64 * t};
}

KESTROVANE_HOST_DEVICE constexpr int wg_shared_bytes(int tier) { return static_cast<int>(wg_layout(tier).total); }

// Byte offset, inside a tile of rows of `tier` BF16 elements, of element (row, col): the
// copy engine's swizzle of the span that one row fills, so that wgmma can read the tile.
KESTROVANE_HOST_DEVICE constexpr uint32_t wg_tile_byte(int tier, uint32_t row, uint32_t col) {
  return 2u * swizzled_element(swizzle_for_row(tier), row, col);
}

// ---------------------------------------------------------------- plan and waves

// The caller's query-slab plan as this lane takes it (groups in 64 bits).
constexpr bool wg_plan_valid(int64_t N, int64_t O, int64_t B, int64_t slab_rows, int64_t groups_per_wave,
                             int64_t batches_per_wave) {
  return slab_rows >= 1 && (slab_rows | N) % kWgQueryBlock == 0 && groups_per_wave >= 1 &&
         groups_per_wave <= outer_groups(O) && batches_per_wave >= 1 && batches_per_wave <= B;
}

enum class WgFailure {
  none,
  partial_block,       // a query slab that is not whole 64-row blocks
  slab_grid_z,         // more than 65535 query blocks in one slab
  slab_size,           // the active slab's element count (size_error)
  finalizer_grid_x,    // more than 2^31-1 finalizer blocks
  wave_grid_x,         // more than 2^31-1 (group, batch) pairs in one wave
  leaf_launch,         // reported by the caller's launch of a leaf
  finalizer_launch,    // reported by the caller's launch of a finalizer
};

constexpr const char* kWgPartialBlock = "warpgroup lane requires query rows in full 64-row blocks";
constexpr const char* kWgSlabGridZ = "query slab exceeds the CUDA grid-z contract";
constexpr const char* kWgFinalizerGridX = "dBias slab finalizer exceeds the CUDA grid-x contract";
constexpr const char* kWgWaveGridX = "dBias leaf wave exceeds the CUDA grid-x contract";
constexpr const char* kWgLeafLaunch = "Kestrovane dQ/dBias warpgroup leaf launch failed";
constexpr const char* kWgFinalizerLaunch = "Kestrovane dQ/dBias slab finalizer launch failed";

struct WgStatus {
  WgFailure failure;
  SizeError size_error;  // with slab_size
};

inline std::string wg_failure_message(const WgStatus& status) {
  switch (status.failure) {
    case WgFailure::partial_block: return kWgPartialBlock;
    case WgFailure::slab_grid_z: return kWgSlabGridZ;
    case WgFailure::slab_size: return size_error_message(status.size_error, "active dBias slab");
    case WgFailure::finalizer_grid_x: return kWgFinalizerGridX;
    case WgFailure::wave_grid_x: return kWgWaveGridX;
    case WgFailure::leaf_launch: return kWgLeafLaunch;
    case WgFailure::finalizer_launch: return kWgFinalizerLaunch;
    case WgFailure::none: break;
  }
  return {};
}

// Sizes of one call (as the entry has checked them) and its query-slab plan.
struct WgSizes {
  int N, O, H, B;
  int slab_rows, groups_per_wave, batches_per_wave;
};

// One group wave of one (batch wave, query slab): a leaf launch and then its finalizer.
struct WgWave {
  int b0, nb;                 // batch wave
  int q0, active_rows;        // query slab
  int slab_blocks;            // active_rows / 64
  int64_t slab_elems;         // nb x H x active_rows x N
  int64_t finalizer_blocks;   // ceil(slab_elems / 256)
  int g0, ng;                 // group wave
  int64_t wave_pairs;         // ng x nb, one grid index per (outer group, batch) pair
  bool query_tiles_on_x;      // grid (slab_blocks, H, wave_pairs); else (wave_pairs, H, slab_blocks)
  bool square_pair;           // O == N
  bool accumulate;            // g0 != 0: the finalizer adds to out_dbias
  uint32_t grid_x, grid_y, grid_z;
};

// Walks the waves of a call in launch order (batch waves, then query slabs, then group waves),
// calling on_wave(const WgWave&) for each; on_wave returns WgFailure::none to go on. Returns
// the first failure: a slab or wave check raised before that wave's launches, or what
// on_wave reported. Waves already handed to on_wave stay launched.
template <typename OnWave>
WgStatus walk_wg_waves(const WgSizes& s, OnWave&& on_wave) {
  const int64_t groups = outer_groups(s.O);
  for (int64_t b0 = 0; b0 < s.B;) {
    const int64_t nb = s.batches_per_wave < s.B - b0 ? s.batches_per_wave : s.B - b0;
    for (int64_t q0 = 0; q0 < s.N;) {
      const int64_t active_rows = s.slab_rows < s.N - q0 ? s.slab_rows : s.N - q0;
      if (active_rows % kWgQueryBlock != 0) return {WgFailure::partial_block, SizeError::none};
      const int64_t slab_blocks = active_rows / kWgQueryBlock;
      if (slab_blocks > kGridYZMax) return {WgFailure::slab_grid_z, SizeError::none};
      const Sized slab = checked_positive_product(
          checked_positive_product(checked_positive_product(nb, s.H), active_rows), s.N);
      if (!slab.ok()) return {WgFailure::slab_size, slab.error};
      const Sized finalizer_blocks = positive_ceil_div(slab.value, kFinalizeThreads);
      if (!finalizer_blocks.ok()) return {WgFailure::slab_size, finalizer_blocks.error};
      if (finalizer_blocks.value > kInt32Max) return {WgFailure::finalizer_grid_x, SizeError::none};
      for (int64_t g0 = 0; g0 < groups;) {
        const int64_t ng = s.groups_per_wave < groups - g0 ? s.groups_per_wave : groups - g0;
        const int64_t wave_pairs = ng * nb;
        if (wave_pairs > kInt32Max) return {WgFailure::wave_grid_x, SizeError::none};
        WgWave w{};
        w.b0 = static_cast<int>(b0);
        w.nb = static_cast<int>(nb);
        w.q0 = static_cast<int>(q0);
        w.active_rows = static_cast<int>(active_rows);
        w.slab_blocks = static_cast<int>(slab_blocks);
        w.slab_elems = slab.value;
        w.finalizer_blocks = finalizer_blocks.value;
        w.g0 = static_cast<int>(g0);
        w.ng = static_cast<int>(ng);
        w.wave_pairs = wave_pairs;
        w.query_tiles_on_x = wave_pairs <= kGridYZMax;
        w.square_pair = s.O == s.N;
        w.accumulate = g0 != 0;
        w.grid_x = static_cast<uint32_t>(w.query_tiles_on_x ? slab_blocks : wave_pairs);
        w.grid_y = static_cast<uint32_t>(s.H);
        w.grid_z = static_cast<uint32_t>(w.query_tiles_on_x ? wave_pairs : slab_blocks);
        const WgFailure failure = on_wave(static_cast<const WgWave&>(w));
        if (failure != WgFailure::none) return {failure, SizeError::none};
        g0 += ng;
      }
      q0 += active_rows;
    }
    b0 += nb;
  }
  return {WgFailure::none, SizeError::none};
}

// The finalizer's view of a wave (it folds the wave's partials into out_dbias).
constexpr LeafWave finalizer_wave(const WgWave& w) {
  LeafWave f{};
  f.b0 = w.b0;
  f.nb = w.nb;
  f.q0 = w.q0;
  f.active_rows = w.active_rows;
  f.g0 = w.g0;
  f.ng = w.ng;
  f.wave_pairs = w.wave_pairs;
  f.slab_elems = w.slab_elems;
  f.finalize_blocks = w.finalizer_blocks;
  f.square_pair = w.square_pair;
  f.accumulate = w.accumulate;
  return f;
}

}  // namespace dq
}  // namespace kestrovane
