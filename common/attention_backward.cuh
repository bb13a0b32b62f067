// The tile steps that the backward kernels which form S^T and dP^T per key block share: the
// mma.sync steps dV += P^T dO and dK += dS^T q over one 16-query half, whose A operands are
// the FP32 accumulators of P and dS rounded to BF16 in place, and the compiler fence on
// accumulators that an in-flight wgmma writes.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "common/smem_layout.h"

namespace kestrovane {

// dV[c8] += P^T dO and dK[c8] += dS^T q for one half, alternating per 8-column block c8.
// The B operands come by ldmatrix x2 transposed from the thread's tile row 16*s2 + (l & 15);
// q_chunk(c8) and do_chunk(c8) give the shared address of chunk c8 of that row in the q and
// d_output tiles, in the path's layout.
template <int ColumnBlocks, typename QChunk, typename DoChunk>
__device__ __forceinline__ void accumulate_half(float (&dv)[ColumnBlocks][4], float (&dk)[ColumnBlocks][4],
                                                const uint32_t (&p_op)[4], const uint32_t (&ds_op)[4],
                                                QChunk q_chunk, DoChunk do_chunk) {
#pragma unroll
  for (int c8 = 0; c8 < ColumnBlocks; ++c8) {
    uint32_t b_frag[2];
    ptx::ldmatrix_x2_trans(b_frag, do_chunk(c8));
    ptx::mma_m16n8k16_bf16(dv[c8], p_op, b_frag);
    ptx::ldmatrix_x2_trans(b_frag, q_chunk(c8));
    ptx::mma_m16n8k16_bf16(dk[c8], ds_op, b_frag);
  }
}

template <int ColumnBlocks>
__device__ __forceinline__ void zero_accumulators(float (&dv)[ColumnBlocks][4], float (&dk)[ColumnBlocks][4]) {
#pragma unroll
  for (int c8 = 0; c8 < ColumnBlocks; ++c8) {
#pragma unroll
    for (int e = 0; e < 4; ++e) {
      dk[c8][e] = 0.0f;
      dv[c8][e] = 0.0f;
    }
  }
}

// Keeps the compiler from touching accumulators that an in-flight wgmma writes.
__device__ __forceinline__ void fence_accumulators(float (&s)[4][4], float (&dp)[4][4]) {
#pragma unroll
  for (int j = 0; j < 4; ++j) {
#pragma unroll
    for (int x = 0; x < 4; ++x) {
      ptx::fence_operand(s[j][x]);
      ptx::fence_operand(dp[j][x]);
    }
  }
}

// S^T (64 keys x 32 queries) = K q^T and dP^T = V dO^T on the calling warpgroup, Steps k-steps of
// 16 head columns in ascending order, FP32 from zero, every operand read in place from a
// K-major tile of one swizzle span per row; one commit for both chains, which the caller waits
// for. The warps must be converged (the wgmma instructions are .aligned).
template <int Steps>
__device__ __forceinline__ void issue_score_products(float (&s)[4][4], float (&dp)[4][4], Swizzle mode,
                                                     uint32_t k_tile, uint32_t q_tile, uint32_t v_tile,
                                                     uint32_t do_tile) {
  fence_accumulators(s, dp);
  ptx::wgmma_fence();
  ptx::wgmma_m64n32k16_bf16_ss<false>(s, wgmma_descriptor(mode, k_tile), wgmma_descriptor(mode, q_tile));
#pragma unroll
  for (int step = 1; step < Steps; ++step) {
    ptx::wgmma_m64n32k16_bf16_ss<true>(s, wgmma_descriptor(mode, k_tile + 32 * step),
                                       wgmma_descriptor(mode, q_tile + 32 * step));
  }
  ptx::wgmma_m64n32k16_bf16_ss<false>(dp, wgmma_descriptor(mode, v_tile), wgmma_descriptor(mode, do_tile));
#pragma unroll
  for (int step = 1; step < Steps; ++step) {
    ptx::wgmma_m64n32k16_bf16_ss<true>(dp, wgmma_descriptor(mode, v_tile + 32 * step),
                                       wgmma_descriptor(mode, do_tile + 32 * step));
  }
  ptx::wgmma_commit_group();
}

}  // namespace kestrovane
