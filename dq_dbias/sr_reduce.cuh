// The dQ reduce of the single-reconstruction backward: out_dq = BF16(scale x the left fold of
// the key blocks' BF16 partials), each partial widened to FP32 and added in ascending block
// order with one round-to-nearest add each. The fold order is fixed by the layout, not by the
// plan, so out_dq does not depend on slab_rows, groups_per_wave or batches_per_wave.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "common/numerics.cuh"
#include "dq_dbias/sr_plan.h"

namespace kestrovane {
namespace sr {

__device__ __forceinline__ void widen_add(float (&acc)[kReduceVector], const uint4& bits) {
  const uint32_t words[4] = {bits.x, bits.y, bits.z, bits.w};
#pragma unroll
  for (int w = 0; w < 4; ++w) {
    acc[2 * w] = add_rn(acc[2 * w], bf16_lo(words[w]));
    acc[2 * w + 1] = add_rn(acc[2 * w + 1], bf16_hi(words[w]));
  }
}

// partials: `count` copies of out's n elements, `stride` elements apart; both 16-byte aligned
// with n and stride multiples of 8. One thread per 16-byte vector, grid-stride.
__global__ void __launch_bounds__(kReduceThreads) kestrovane_sr_dq_reduce_kernel(
    const __nv_bfloat16* __restrict__ partials, __nv_bfloat16* __restrict__ out, int64_t n, int64_t stride,
    int count, float scale) {
  const int64_t vectors = n / kReduceVector;
  const uint4* copies = reinterpret_cast<const uint4*>(partials);
  const int64_t copy_stride = stride / kReduceVector;
  for (int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x; i < vectors;
       i += static_cast<int64_t>(blockDim.x) * gridDim.x) {
    const uint4 first = __ldg(copies + i);
    float acc[kReduceVector] = {bf16_lo(first.x), bf16_hi(first.x), bf16_lo(first.y), bf16_hi(first.y),
                                bf16_lo(first.z), bf16_hi(first.z), bf16_lo(first.w), bf16_hi(first.w)};
#pragma unroll 1
    for (int kb = 1; kb < count; ++kb) {
      widen_add(acc, __ldg(copies + kb * copy_stride + i));
    }
    uint4 result;
    result.x = pack_bf16x2(mul_rn(acc[0], scale), mul_rn(acc[1], scale));
    result.y = pack_bf16x2(mul_rn(acc[2], scale), mul_rn(acc[3], scale));
    result.z = pack_bf16x2(mul_rn(acc[4], scale), mul_rn(acc[5], scale));
    result.w = pack_bf16x2(mul_rn(acc[6], scale), mul_rn(acc[7], scale));
    reinterpret_cast<uint4*>(out)[i] = result;
  }
}

}  // namespace sr
}  // namespace kestrovane
