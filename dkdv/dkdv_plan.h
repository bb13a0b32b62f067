// Pure host logic of the dK/dV module: the size limits, the template flags the
// dispatcher derives, the grid and its orientation, the shared-memory bytes and
// the delta_true fold's grid. Plain C++ (no PyTorch, no CUDA types), so the entry,
// the launchers and the host tests all read the same numbers.
#pragma once

#include <cmath>
#include <cstdint>

namespace kestrovane {
namespace dkdv {

constexpr int kThreads = 128;     // four warps; warp w owns keys 16w..16w+15 of the block
constexpr int kKeyBlock = 64;     // keys per thread block
constexpr int kQueryTile = 32;    // query rows per streamed tile
constexpr int kFoldThreads = 256;  // threads per block of the delta_true fold

constexpr int64_t kInt32Max = 2147483647;
constexpr int64_t kGridYZMax = 65535;
constexpr int64_t kMaxSequence = kGridYZMax * kKeyBlock;  // 4194240: key blocks fit grid z

// In-block scratch of the delta_true kernels: two buffers (tile t in buffer t % 2) of
// 4 warps x 32 query columns x 9 floats (8 lane groups and one padding float, so that
// the 32 columns a folding warp reads fall on 32 distinct banks).
constexpr int kPartialLaneGroups = 8;
constexpr int kPartialColumnStride = kPartialLaneGroups + 1;
constexpr int kPartialWarpStride = kQueryTile * kPartialColumnStride;  // 288
constexpr int kPartialBufferFloats = 4 * kPartialWarpStride;           // 1152
constexpr int kPartialScratchBytes = 2 * kPartialBufferFloats * 4;     // 9216

// B, O, D and N-related extents within the CUDA grid contract: H on grid y, the
// key blocks of N on grid z (or x), B*O on grid x (or z), sizes narrowed to int.
constexpr bool within_grid_contract(int64_t B, int64_t O, int64_t H, int64_t N, int64_t D) {
  return B >= 1 && B <= kInt32Max && O >= 1 && O <= kInt32Max && H >= 1 && H <= kGridYZMax && D >= 1 &&
         D <= kInt32Max && N >= 1 && N <= kMaxSequence && B <= kInt32Max / O;
}

constexpr bool head_dim_supported(int64_t D) { return D % 8 == 0 && D <= 128; }

// The smallest tier that holds D; columns at or beyond D read as zero.
constexpr int head_dim_tier(int64_t D) { return D <= 16 ? 16 : D <= 32 ? 32 : D <= 64 ? 64 : 128; }

constexpr int64_t key_blocks(int64_t N) { return (N + kKeyBlock - 1) / kKeyBlock; }

// Template flags of one call.
struct Flags {
  int tier;          // HeadDimTier
  bool use_tma;      // D equals a tier of at most 64 and the slice count fits the TMA coordinate
  int seq_tail;      // -1: N is whole key blocks (no guards compiled); 0: row and key guards
  bool square_pair;  // O == N: the kernel reads N wherever it needs O
};

constexpr Flags derive_flags(int64_t B, int64_t O, int64_t H, int64_t N, int64_t D) {
  const int tier = head_dim_tier(D);
  const bool slices_fit = B * O <= kInt32Max / H;  // B*O*H <= 2^31-1 (B*O itself is bounded)
  return Flags{tier, tier <= 64 && D == tier && slices_fit, N % kKeyBlock == 0 ? -1 : 0, O == N};
}

// Key blocks on grid x and the batch-outer index on z while B*O fits grid z;
// above that the two swap (B*O <= 2^31-1 on x, key blocks <= 65535 on z).
struct Grid {
  int64_t x, y, z;
  bool key_blocks_on_x;
};

constexpr Grid grid_for(int64_t B, int64_t O, int64_t H, int64_t N) {
  const int64_t blocks = key_blocks(N);
  const int64_t batch_outer = B * O;
  if (batch_outer > kGridYZMax) {
    return Grid{batch_outer, H, blocks, false};
  }
  return Grid{blocks, H, batch_outer, true};
}

// Row pitch of the padded tiles of the cp.async path, in elements: eight elements of
// padding keep the eight rows an ldmatrix reads on distinct banks.
constexpr int mma_pitch(int tier) { return tier + 8; }

// Dynamic shared memory: K and V blocks (64 rows each) and two buffers of a q tile and
// a d_output tile (32 rows each), 512 rows in all, then the delta_true scratch.
constexpr int shared_bytes(int tier, bool use_tma, bool delta_true) {
  const int row_bytes = 2 * (use_tma ? tier : mma_pitch(tier));
  return 256 * row_bytes + (delta_true ? kPartialScratchBytes : 0);
}

// Dynamic shared memory of the TMA path (byte offsets): dense rows of one swizzle span
// (2*tier bytes), K block and V block (64 rows each), two buffers of a q tile and a d_output
// tile (32 rows each), then the delta_true scratch. Every tile starts on a multiple of 1024
// bytes or of eight rows, hence on a swizzle repeat.
struct TmaLayout {
  int k_block;
  int v_block;
  int q_tile[2];
  int do_tile[2];
  int partials;
  int kv_bytes;    // transaction bytes of the K and V copies together
  int tile_bytes;  // transaction bytes of one query tile's q and d_output copies
};

constexpr TmaLayout tma_layout(int tier) {
  const int row = 2 * tier;
  return TmaLayout{0,          64 * row,  {128 * row, 192 * row}, {160 * row, 224 * row},
                   256 * row, 128 * row, 64 * row};
}

// The softmax scale, once per call: a correctly rounded square root and division.
inline float softmax_scale(int D) { return 1.0f / std::sqrt(static_cast<float>(D)); }

// numel >= rows * blocks, without forming a product that can overflow int64.
constexpr bool covers(int64_t numel, int64_t rows, int64_t blocks) {
  return rows <= 0 || blocks <= 0 || rows <= numel / blocks;
}

// The fold runs one thread per attention row.
constexpr int64_t fold_grid(int64_t rows) { return rows / kFoldThreads + (rows % kFoldThreads != 0 ? 1 : 0); }

// Grid x of a launch must lie in [1, 2^31-1].
constexpr bool fits_grid_x(int64_t grid) { return grid >= 1 && grid <= kInt32Max; }

}  // namespace dkdv
}  // namespace kestrovane
