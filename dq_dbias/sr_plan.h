// Pure host logic of the single-reconstruction backward: the plan check on the caller's 64-bit
// sizes, the wave walk with its continuation rule, the leaf grid and its orientation, the leaf's
// shared-memory layout and the dQ reduce's grid. Plain C++ (no PyTorch, no CUDA types), so the
// entry, the launchers, the kernels and the host tests all read the same numbers.
#pragma once

#include <cstdint>

namespace kestrovane {
namespace sr {

constexpr int kThreads = 256;        // two warpgroups; warpgroup wg computes outer rows 2wg, 2wg+1
constexpr int kKeyBlock = 64;        // keys per thread block
constexpr int kQueryTile = 32;       // query rows per tile of a query slab
constexpr int kGroupRows = 4;        // outer rows per outer group
constexpr int kReduceThreads = 256;  // threads per block of the dQ reduce
constexpr int kReduceVector = 8;     // BF16 elements per 16-byte vector of the dQ reduce

constexpr int64_t kInt32Max = 2147483647;
constexpr int64_t kGridYZMax = 65535;
constexpr int64_t kMaxSequence = 4194303;

// The shapes this path serves: N in whole 64-key blocks, D a multiple of 8 up to 64.
constexpr bool sequence_in_key_blocks(int64_t N) { return N % kKeyBlock == 0; }
constexpr bool head_dim_served(int64_t D) { return D % 8 == 0 && D <= 64; }

// The smallest tier (16, 32, 64) that holds a served D; columns at or beyond D read as zero.
constexpr int head_dim_tier(int64_t D) { return D <= 16 ? 16 : D <= 32 ? 32 : 64; }

constexpr int64_t outer_groups(int64_t O) { return (O + kGroupRows - 1) / kGroupRows; }

// The launcher takes B, O, N and the plan integers as 32-bit ints and forms B*O in 32 bits;
// every one of them is checked here on the caller's 64-bit value, so nothing that passes can
// change when it is narrowed. B = 0 or O = 0 leave no valid batches_per_wave or groups_per_wave.
constexpr bool plan_valid(int64_t B, int64_t O, int64_t N, int64_t slab_rows, int64_t groups_per_wave,
                          int64_t batches_per_wave) {
  return B >= 1 && B <= kInt32Max && O >= 1 && O <= kInt32Max && B <= kInt32Max / O && N >= 0 &&
         N <= kMaxSequence && sequence_in_key_blocks(N) && slab_rows >= 1 && slab_rows <= kInt32Max &&
         slab_rows % kQueryTile == 0 && groups_per_wave >= 1 && groups_per_wave <= outer_groups(O) &&
         batches_per_wave >= 1 && batches_per_wave <= B;
}

// Elements each continuation state must hold: every logical row when a query slab leaves
// rows for the next one, none when a single slab covers N.
constexpr int64_t state_elements(int64_t q_numel, int64_t N, int64_t slab_rows) {
  return slab_rows < N ? q_numel : 0;
}

// H lies on grid y of every leaf launch and is not checked against it: a value above 65535
// must make the launch fail, so the 32-bit value handed to the launcher saturates instead of
// wrapping onto a small head count.
constexpr int saturated_heads(int64_t H) { return static_cast<int>(H < kInt32Max ? H : kInt32Max); }

// ---------------------------------------------------------------- waves

// One query slab of a batch wave. The state written by a slab that does not reach N is read
// back by the next slab of the same batch and group waves.
struct Slab {
  int64_t q0;
  int64_t active_rows;
  bool reads_state;   // q0 != 0
  bool writes_state;  // the slab stops short of N: FP32 state instead of out_dk / out_dv
};

constexpr Slab query_slab(int64_t N, int64_t slab_rows, int64_t q0) {
  const int64_t active = slab_rows < N - q0 ? slab_rows : N - q0;
  return Slab{q0, active, q0 != 0, q0 + active < N};
}

// One leaf launch and the finalizer launch after it.
struct Wave {
  int64_t b0, nb;  // batch wave
  Slab slab;       // query slab
  int64_t g0, ng;  // group wave
  int64_t wave_pairs;
  bool accumulate;  // the finalizer adds to out_dbias (every group wave but the slab's first)
};

// Batch waves, inside them query slabs, inside them group waves, in launch order. on_slab(b0,
// nb, slab) runs before the group waves of each slab, on_wave(wave) once per wave. The plan
// must have passed plan_valid.
template <typename OnSlab, typename OnWave>
void walk_waves(int64_t B, int64_t O, int64_t N, int64_t slab_rows, int64_t groups_per_wave,
                int64_t batches_per_wave, OnSlab&& on_slab, OnWave&& on_wave) {
  const int64_t groups = outer_groups(O);
  for (int64_t b0 = 0; b0 < B;) {
    const int64_t nb = batches_per_wave < B - b0 ? batches_per_wave : B - b0;
    for (int64_t q0 = 0; q0 < N;) {
      const Slab slab = query_slab(N, slab_rows, q0);
      on_slab(b0, nb, slab);
      for (int64_t g0 = 0; g0 < groups;) {
        const int64_t ng = groups_per_wave < groups - g0 ? groups_per_wave : groups - g0;
        on_wave(Wave{b0, nb, slab, g0, ng, ng * nb, g0 != 0});
        g0 += ng;
      }
      q0 += slab.active_rows;
    }
    b0 += nb;
  }
}

// ---------------------------------------------------------------- leaf grid

// Key blocks on grid x and the wave's (group, batch) pairs on z while the pairs fit grid z;
// above that the two swap. H is grid y.
struct LeafGrid {
  int64_t x, y, z;
  bool key_blocks_on_x;
};

constexpr bool wave_fits_grid(int64_t wave_pairs) { return wave_pairs >= 1 && wave_pairs <= kInt32Max; }

constexpr LeafGrid leaf_grid(int64_t wave_pairs, int64_t key_blocks, int64_t H) {
  return wave_pairs <= kGridYZMax ? LeafGrid{key_blocks, H, wave_pairs, true}
                                  : LeafGrid{wave_pairs, H, key_blocks, false};
}

// ---------------------------------------------------------------- leaf shared memory

// Byte offsets of the leaf's dynamic shared memory for head-dimension tier T. The K, V, Q and
// d_output tiles hold rows of one swizzle span (2T bytes), so each starts on a multiple of
// 1024 bytes, the largest swizzle repeat. The dS and bias tiles are padded to 72 elements per
// row (144 bytes: the eight rows that one ldmatrix reads fall on distinct banks), the dBias
// tile to 65 floats per row.
struct LeafLayout {
  int k;            // [4 outer rows][64 keys][T], outer row i at k + 128T*i
  int v;            // the same for V
  int q[2];         // per stage: [4 outer rows][32 query rows][T], outer row i at + 64T*i
  int d_output[2];  // per stage, the same arrangement
  int ds;           // BF16 [4 outer rows][32 query rows][72]
  int bias[2];      // per stage: BF16 [32 query rows][72]
  int mask;         // FP32 [4 outer rows][64 keys]
  int dbias;        // FP32 [2 warpgroups][32 query rows][65]
  int total;
};

constexpr int kPaddedKeys = kKeyBlock + 8;         // 72 BF16 per dS or bias row
constexpr int kPaddedRowBytes = 2 * kPaddedKeys;   // 144
constexpr int kDbiasPitch = kKeyBlock + 1;         // 65 floats per dBias row
constexpr int kDsBytes = kGroupRows * kQueryTile * kPaddedRowBytes;   // 18432
constexpr int kBiasStageBytes = kQueryTile * kPaddedRowBytes;         // 4608
constexpr int kMaskBytes = kGroupRows * kKeyBlock * 4;                // 1024
constexpr int kDbiasBytes = 2 * kQueryTile * kDbiasPitch * 4;         // 16640

constexpr LeafLayout leaf_layout(int T) {
  const int tiles = 2048 * T;
  return LeafLayout{0,
                    512 * T,
                    {1024 * T, 1280 * T},
                    {1536 * T, 1792 * T},
                    tiles,
                    {tiles + kDsBytes, tiles + kDsBytes + kBiasStageBytes},
                    tiles + kDsBytes + 2 * kBiasStageBytes,
                    tiles + kDsBytes + 2 * kBiasStageBytes + kMaskBytes,
                    tiles + kDsBytes + 2 * kBiasStageBytes + kMaskBytes + kDbiasBytes};
}

constexpr int leaf_shared_bytes(int T) { return leaf_layout(T).total; }

// ---------------------------------------------------------------- dQ reduce

// The reduce moves 16-byte vectors of eight BF16 values.
constexpr bool reduce_vectors_whole(int64_t n) { return n % kReduceVector == 0; }

// Blocks of the grid-stride reduce: ceil(vectors / 256), capped at 65535.
constexpr int64_t reduce_grid(int64_t blocks) { return blocks < kGridYZMax ? blocks : kGridYZMax; }

}  // namespace sr
}  // namespace kestrovane
