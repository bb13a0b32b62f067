// Pure host logic of the multiplicative update's backward pieces: the row chunks of the
// LayerNorm dGamma/dBeta reduction, the tiles, chunks and groups of the transposed
// LayerNorm backward, the partials' index arithmetic and every backward kernel's grid.
// Plain C++ with no PyTorch or CUDA types, so the entry, the kernels and the host tests
// share these definitions.
#pragma once

#include <cstdint>

#include "common/host_device.h"
#include "trimul/trimul_plan.h"

namespace kestrovane {
namespace trimul {

// Threads of the element-wise kernels (sigmoid-multiply, weight-gradient fold), of the
// row-wise LayerNorm dX kernel (eight warps, one row each) and of the transposed kernel are
// kBlockThreads; the channel-parallel reductions use 128 threads, one channel each.
constexpr int kLnRowsPerBlock = 8;
constexpr int kReduceThreads = 128;

// ln_bwd_dgb: chunks of rows for about sixteen chunks per multiprocessor, kept between one
// and thirty-two warps' worth of 64 rows; the fold reads at most 65535 partial pairs.
constexpr int64_t kDgbChunkQuantum = 64;
constexpr int64_t kDgbMaxRowsPerChunk = 2048;
constexpr int64_t kDgbChunksPerSm = 16;
constexpr int64_t kDgbMaxChunks = kMaxGridYZ;

// transpose_ln_bwd folds its per-tile chunks through 64 groups.
constexpr int kFoldGroups = 64;

struct Grid {
  int64_t x;
  int64_t y;
  int64_t z;
};

// Rows per chunk of ln_bwd_dgb for `rows` >= 1 rows on `sms` >= 1 multiprocessors.
constexpr int64_t dgb_rows_per_chunk(int64_t rows, int64_t sms) {
  const int64_t share = ceil_div_positive(rows, kDgbChunksPerSm * sms);
  const int64_t rounded = ceil_div_positive(share, kDgbChunkQuantum) * kDgbChunkQuantum;
  return rounded < kDgbChunkQuantum ? kDgbChunkQuantum : rounded > kDgbMaxRowsPerChunk ? kDgbMaxRowsPerChunk : rounded;
}

constexpr int64_t dgb_chunks(int64_t rows, int64_t rows_per_chunk) { return ceil_div_positive(rows, rows_per_chunk); }

// The transposed backward's work split for N >= 1 and B >= 1 (NN = N * N already bounded by
// the entry): tiles of 32 positions per batch element, one chunk of partials per tile, and the
// chunks dealt to 64 groups in runs of chunks_per_group.
struct TransposePlan {
  int64_t NN;
  int64_t tiles;
  int64_t chunks;
  int64_t chunks_per_group;
};

constexpr TransposePlan transpose_plan(int64_t N, int64_t B) {
  const int64_t NN = N * N;
  const int64_t tiles = ceil_div_positive(NN, kPairTile);
  const int64_t chunks = tiles * B;
  return {NN, tiles, chunks, ceil_div_positive(chunks, kFoldGroups)};
}

// The chunks [begin, end) that group `group` sums. Formed in 64 bits: for chunks near 2^31 - 1
// the last group's begin + chunks_per_group passes the signed 32-bit range.
struct ChunkRange {
  int64_t begin;
  int64_t end;
};

KESTROVANE_HOST_DEVICE constexpr ChunkRange group_chunks(int group, int64_t chunks, int64_t chunks_per_group) {
  const int64_t begin = static_cast<int64_t>(group) * chunks_per_group;
  const int64_t stop = begin + chunks_per_group;
  return {begin, stop < chunks ? stop : chunks};
}

// Element index of channel c in the interleaved partials: row 2k holds chunk k's dGamma partial,
// row 2k + 1 its dBeta partial. 2 * chunks * C passes 2^31 well inside the accepted sizes.
KESTROVANE_HOST_DEVICE constexpr int64_t dgamma_partial(int64_t chunk, int64_t C, int64_t c) {
  return (2 * chunk) * C + c;
}
KESTROVANE_HOST_DEVICE constexpr int64_t dbeta_partial(int64_t chunk, int64_t C, int64_t c) {
  return (2 * chunk + 1) * C + c;
}

// Grids, one per kernel.
constexpr Grid sig_mul_grid(int64_t total) { return {ceil_div_positive(total, kBlockThreads), 1, 1}; }
constexpr Grid ln_dx_grid(int64_t rows) { return {(rows + kLnRowsPerBlock - 1) / kLnRowsPerBlock, 1, 1}; }
constexpr Grid dgb_partial_grid(int64_t C, int64_t chunks) { return {ceil_div_positive(C, kReduceThreads), chunks, 1}; }
constexpr Grid dgb_fold_grid(int64_t C) { return {ceil_div_positive(C, kReduceThreads), 1, 1}; }
constexpr Grid transpose_grid(const TransposePlan& plan, int64_t B) { return {plan.tiles, 1, B}; }
constexpr Grid group_fold_grid(int64_t H) { return {ceil_div_positive(H, kReduceThreads), kFoldGroups, 1}; }
constexpr Grid wgrad_fold_grid(int64_t MC) { return {ceil_div_positive(MC, kBlockThreads), 1, 1}; }

// Shared bytes: the transposed kernel's two [H][33] float regions; the gate split's weight and
// zln tiles (pitch C + 8), d_a and d_b tiles (32 x 136) and output staging (128 x 72).
constexpr int transpose_smem_bytes(int H) { return 264 * H; }
constexpr int gate_split_smem_bytes(int C) { return 512 * (C + 8) + 35840; }
constexpr int kGateSplitMaxSmemBytes = gate_split_smem_bytes(128);

}  // namespace trimul
}  // namespace kestrovane
