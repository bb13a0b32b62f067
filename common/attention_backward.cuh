// The tile steps that the backward kernels which form S^T and dP^T per key block share: the
// mma.sync steps dV += P^T dO and dK += dS^T q over one 16-query half, whose A operands are
// the FP32 accumulators of P and dS rounded to BF16 in place, and the compiler fence on
// accumulators that an in-flight wgmma writes.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "common/numerics.cuh"
#include "common/ptx.cuh"

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

}  // namespace kestrovane
