// The parts of the dK/dV body that both kernel families run the same way: which key block,
// slice and keys a thread block and a thread own; the score, probability and gradient rule;
// P and dS of one 16-query half of a tile; dV += P^T dO and dK += dS^T q on mma.sync; the
// epilogue. The families differ only in how tiles reach shared memory and how S and dP are
// formed, so a result depends on the family only through the bits of S and dP.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>
#include <math_constants.h>

#include <cstdint>

#include "common/attention_backward.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "common/score_gradient.cuh"
#include "dkdv/delta_true_fold.cuh"
#include "dkdv/dkdv_plan.h"

namespace kestrovane {
namespace dkdv {

// The thread block's key block, head and (batch, outer) index, from the grid orientation.
// With SquarePair, N stands for O (the kernel never reads its O argument then).
struct KeyBlock {
  int kb;               // key block within the slice
  int h;                // head
  int64_t batch_outer;  // b*O + o
  int64_t b;
  int64_t slice;      // (b*O + o)*H + h
  int64_t slice_row;  // row of query or key 0 of the slice
  int first_key;      // kb * 64
};

template <bool KeyBlocksOnX, bool SquarePair>
__device__ __forceinline__ KeyBlock decode_key_block(int N, int O, int H) {
  KeyBlock block;
  block.kb = KeyBlocksOnX ? blockIdx.x : blockIdx.z;
  block.batch_outer = KeyBlocksOnX ? blockIdx.z : blockIdx.x;
  block.h = blockIdx.y;
  block.b = block.batch_outer / (SquarePair ? N : O);
  block.slice = block.batch_outer * H + block.h;
  block.slice_row = block.slice * N;
  block.first_key = block.kb * kKeyBlock;
  return block;
}

// The thread's two keys (accumulator rows l/4 and l/4 + 8 of its warp's 16) and their masks.
template <int SeqTail>
struct ThreadKeys {
  int key[2];
  bool live[2];  // below N (always, without a sequence tail)
  float mask[2];

  __device__ __forceinline__ ThreadKeys(const KeyBlock& block, const float* __restrict__ mask_row, int warp,
                                        int lane, int N) {
#pragma unroll
    for (int r = 0; r < 2; ++r) {
      key[r] = block.first_key + 16 * warp + lane / 4 + 8 * r;
      live[r] = SeqTail == -1 || key[r] < N;
      mask[r] = live[r] ? __ldg(mask_row + key[r]) : 0.0f;
    }
  }
};

// Where the row terms of the block's slice start, and its first delta_true partial
// ([slices][key_blocks][N]).
struct SliceRows {
  const float* lse;
  const float* delta;
  const unsigned short* bias;  // query row 0 of the (batch, head) bias matrix
  int64_t partial_base;

  __device__ __forceinline__ SliceRows(const KeyBlock& block, const float* __restrict__ logsumexp,
                                       const float* __restrict__ delta_rows, const __nv_bfloat16* __restrict__ pair_bias,
                                       int key_blocks, int N, int H)
      : lse(logsumexp + block.slice_row),
        delta(delta_rows + block.slice_row),
        bias(reinterpret_cast<const unsigned short*>(pair_bias) + (block.b * H + block.h) * static_cast<int64_t>(N) * N),
        partial_base((block.slice * key_blocks + block.kb) * static_cast<int64_t>(N)) {}
};

// Warp 0: sums and stores the delta_true partials of `tile`, whose values are in buffer
// tile % 2 of the block's partial scratch.
template <int SeqTail>
__device__ __forceinline__ void fold_tile(const float* partial_buffers, int tile, int lane, float* partials,
                                          int64_t partial_base, int N) {
  fold_tile_partials<SeqTail>(partial_buffers + (tile & 1) * kPartialBufferFloats, lane, partials, partial_base, tile,
                              N);
}

// Row statistics and pair bias of the thread's elements in one 16-query half of a tile,
// in the accumulator layout of its two 8-query blocks: [jj][e] for the query
// half_row + 8*jj + e, [jj][2*r + e] for that query and key r.
struct HalfTerms {
  float reference[2][2];  // logsumexp, or 0 for a fully masked row
  float delta[2][2];
  float bias[2][4];
  bool live[2][4];     // the element exists (sequence-tail guards)
  bool nonzero[2][4];  // and its row is not fully masked
};

// Loads the terms of the half whose first query for this thread is `half_row`
// (qs + 16*s2 + 2*(l%4)). Guarded elements read nothing.
template <int SeqTail>
__device__ __forceinline__ void load_half_terms(HalfTerms& t, const ThreadKeys<SeqTail>& keys,
                                                const float* __restrict__ slice_lse,
                                                const float* __restrict__ slice_delta,
                                                const unsigned short* __restrict__ slice_bias, int half_row, int N) {
  const unsigned short* half_bias = slice_bias + static_cast<int64_t>(half_row) * N;
#pragma unroll
  for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
    for (int e = 0; e < 2; ++e) {
      const int n = half_row + 8 * jj + e;
      const bool query_live = SeqTail == -1 || n < N;
      const float lse = query_live ? __ldg(slice_lse + n) : 0.0f;
      const bool masked_row = lse == -CUDART_INF_F;
      t.reference[jj][e] = masked_row ? 0.0f : lse;
      t.delta[jj][e] = query_live ? __ldg(slice_delta + n) : 0.0f;
#pragma unroll
      for (int r = 0; r < 2; ++r) {
        const int x = 2 * r + e;
        t.live[jj][x] = query_live && keys.live[r];
        t.nonzero[jj][x] = t.live[jj][x] && !masked_row;
        t.bias[jj][x] =
            t.live[jj][x] ? bf16_bits_to_float(__ldg(half_bias + (8 * jj + e) * N + keys.key[r])) : 0.0f;
      }
    }
  }
}

// P in place of S and dS in place of dP for one half; guarded elements are exactly zero.
// With DeltaTrue the unrounded P and dP also go to the tile's partial buffer (warp 0 sums
// them after the next barrier). Returns P and dS rounded to BF16 and packed as the A
// operands of one m16n8k16 step: the accumulator layout of two adjacent 8-query blocks is
// the operand layout of one 16-deep step.
template <bool DeltaTrue, int SeqTail>
__device__ __forceinline__ void half_gradients(float (&s)[2][4], float (&dp)[2][4], const HalfTerms& t,
                                               const ThreadKeys<SeqTail>& keys, float scale, float* partial_buffer,
                                               int warp, int lane, int s2, uint32_t (&p_op)[4],
                                               uint32_t (&ds_op)[4]) {
#pragma unroll
  for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
    for (int e = 0; e < 4; ++e) {
      const float p = backward_probability(s[jj][e], scale, keys.mask[e / 2], t.bias[jj][e], t.reference[jj][e & 1]);
      s[jj][e] = t.nonzero[jj][e] ? p : 0.0f;
    }
  }
  if constexpr (DeltaTrue) {
    write_half_partials(partial_buffer, warp, lane, s2, s, dp);
  }
#pragma unroll
  for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
    for (int e = 0; e < 4; ++e) {
      const float ds = score_gradient(s[jj][e], dp[jj][e], t.delta[jj][e & 1]);
      dp[jj][e] = t.live[jj][e] ? ds : 0.0f;
    }
  }
#pragma unroll
  for (int jj = 0; jj < 2; ++jj) {
    p_op[2 * jj] = pack_bf16x2(s[jj][0], s[jj][1]);
    p_op[2 * jj + 1] = pack_bf16x2(s[jj][2], s[jj][3]);
    ds_op[2 * jj] = pack_bf16x2(dp[jj][0], dp[jj][1]);
    ds_op[2 * jj + 1] = pack_bf16x2(dp[jj][2], dp[jj][3]);
  }
}

// Each owned row once: dV as accumulated, dK times the scale (FP32 product, then BF16).
// Columns at or beyond D and, with a sequence tail, keys at or beyond N are not stored.
template <int ColumnBlocks, int SeqTail>
__device__ __forceinline__ void store_owned_rows(const float (&dv)[ColumnBlocks][4], const float (&dk)[ColumnBlocks][4],
                                                 const ThreadKeys<SeqTail>& keys, int64_t slice_row, int lane, int D,
                                                 float scale, __nv_bfloat16* __restrict__ out_dk,
                                                 __nv_bfloat16* __restrict__ out_dv) {
  unsigned short* dk_bits = reinterpret_cast<unsigned short*>(out_dk);
  unsigned short* dv_bits = reinterpret_cast<unsigned short*>(out_dv);
#pragma unroll
  for (int c8 = 0; c8 < ColumnBlocks; ++c8) {
    const int column = 8 * c8 + 2 * (lane % 4);
    if (column < D) {
#pragma unroll
      for (int r = 0; r < 2; ++r) {
        if (keys.live[r]) {
          const int64_t at = (slice_row + keys.key[r]) * D + column;
#pragma unroll
          for (int e = 0; e < 2; ++e) {
            dv_bits[at + e] = __bfloat16_as_ushort(to_bf16(dv[c8][2 * r + e]));
            dk_bits[at + e] = __bfloat16_as_ushort(to_bf16(mul_rn(dk[c8][2 * r + e], scale)));
          }
        }
      }
    }
  }
}

// After the last tile t: with DeltaTrue, one more barrier (every warp has written tile t's
// partial values) and warp 0 folds them; then the epilogue.
template <bool DeltaTrue, int ColumnBlocks, int SeqTail>
__device__ __forceinline__ void finish_key_block(const float (&dv)[ColumnBlocks][4], const float (&dk)[ColumnBlocks][4],
                                                 const ThreadKeys<SeqTail>& keys, const KeyBlock& block,
                                                 const SliceRows& rows, const float* partial_buffers, int last_tile,
                                                 float* __restrict__ partials, int warp, int lane, int N, int D,
                                                 float scale, __nv_bfloat16* __restrict__ out_dk,
                                                 __nv_bfloat16* __restrict__ out_dv) {
  if constexpr (DeltaTrue) {
    __syncthreads();
    if (warp == 0) {
      fold_tile<SeqTail>(partial_buffers, last_tile, lane, partials, rows.partial_base, N);
    }
  }
  store_owned_rows(dv, dk, keys, block.slice_row, lane, D, scale, out_dk, out_dv);
}

}  // namespace dkdv
}  // namespace kestrovane
