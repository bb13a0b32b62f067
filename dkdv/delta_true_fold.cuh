// delta_true = sum over keys of P*dP, built without atomics in two fixed-order stages:
// every dK/dV thread block sums its own 64 keys per query row into the partials
// [slices][key_blocks][N], and the fold kernel adds each row's partials in ascending
// key-block order. Every addition below has one place in a fixed tree, so a row's
// value is the same bit pattern on every run, whatever the grid orientation.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "common/numerics.cuh"
#include "dkdv/dkdv_plan.h"

namespace kestrovane {
namespace dkdv {

// One thread's share of a 16-query half s2 of a tile: for each of its four query
// columns there, the two keys of its lane group (rows 16w + l/4 and +8 of the block)
// combined as fma(P1, dP1, fma(P0, dP0, 0)), into the tile's scratch buffer at
// w*288 + c*9 + g. p and dp hold the accumulator layout of the half's two 8-query
// blocks: [jj][0..1] key row l/4, [jj][2..3] key row l/4 + 8, at queries
// 16*s2 + 8*jj + 2*(l%4) and +1.
__device__ __forceinline__ void write_half_partials(float* buffer, int warp, int lane, int s2, const float (&p)[2][4],
                                                    const float (&dp)[2][4]) {
  float* base = buffer + warp * kPartialWarpStride + lane / 4;
#pragma unroll
  for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
    for (int e = 0; e < 2; ++e) {
      const int column = 16 * s2 + 8 * jj + 2 * (lane % 4) + e;
      base[column * kPartialColumnStride] =
          __fmaf_rn(p[jj][e + 2], dp[jj][e + 2], __fmaf_rn(p[jj][e], dp[jj][e], 0.0f));
    }
  }
}

// Warp 0 sums one tile's buffer, one query column per lane: a pairwise tree over the
// eight lane groups of each warp, then over the four warps, then one store per
// (key block, query row). With SeqTail 0 the rows at or beyond N are not stored.
template <int SeqTail>
__device__ __forceinline__ void fold_tile_partials(const float* buffer, int lane, float* partials,
                                                   int64_t block_row_base, int tile, int N) {
  float warp_sums[4];
#pragma unroll
  for (int w = 0; w < 4; ++w) {
    const float* x = buffer + w * kPartialWarpStride + lane * kPartialColumnStride;
    warp_sums[w] = add_rn(add_rn(add_rn(x[0], x[1]), add_rn(x[2], x[3])), add_rn(add_rn(x[4], x[5]), add_rn(x[6], x[7])));
  }
  const float partial = add_rn(add_rn(warp_sums[0], warp_sums[1]), add_rn(warp_sums[2], warp_sums[3]));
  const int n = kQueryTile * tile + lane;
  if (SeqTail == -1 || n < N) {
    partials[block_row_base + n] = partial;
  }
}

// One thread per attention row i = slice*N + n: the row's key-block partials in
// ascending block order, starting from zero.
__global__ void __launch_bounds__(kFoldThreads)
    kestrovane_delta_true_reduce_kernel(const float* __restrict__ partials, float* __restrict__ out, int64_t rows,
                                        int key_blocks, int N) {
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i >= rows) {
    return;
  }
  const int64_t slice = i / N;
  const int64_t n = i - slice * N;
  const float* row = partials + slice * key_blocks * N + n;
  float sum = 0.0f;
  for (int block = 0; block < key_blocks; ++block) {
    sum = add_rn(sum, __ldg(row + static_cast<int64_t>(block) * N));
  }
  out[i] = sum;
}

}  // namespace dkdv
}  // namespace kestrovane
