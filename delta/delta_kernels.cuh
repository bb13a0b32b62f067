// Backward row scalars delta = sum_d dO * O (or dO * (O + shadow residual)), one warp
// per row. Each lane accumulates its strided columns in increasing order with fma, then
// the warp adds across lanes in a fixed butterfly, so the order of every addition
// depends on D alone and the result is bit-identical from run to run.
#pragma once

#include "delta/delta_launch.h"
#include "delta/delta_plan.h"

#include <cuda_bf16.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"

namespace {

using kestrovane::delta::kRowsPerBlock;
using kestrovane::delta::kThreadsPerBlock;

__device__ __forceinline__ float load_bf16(const __nv_bfloat16* p) {
  return kestrovane::bf16_bits_to_float(kestrovane::ptx::ld_global_nc_b16(p));
}

// The whole warp either returns here or reaches the full-mask shuffles together, since
// all 32 lanes share one row. `shadow` is read only when Shadow is set.
template <bool Shadow>
__device__ __forceinline__ void delta_row(const __nv_bfloat16* dO, const __nv_bfloat16* O,
                                          const __nv_bfloat16* shadow, float* delta, int64_t rows, int I,
                                          int J, int D) {
  const int64_t row = static_cast<int64_t>(blockIdx.x) * kRowsPerBlock + (threadIdx.x >> 5);
  const int lane = threadIdx.x & 31;
  if (row >= rows) return;
  const int64_t base = kestrovane::delta::memory_row(row, I, J) * D;

  // 64-bit column index: with D near 2^31 - 1, d + 32 would overflow an int.
  float acc = 0.0f;
#pragma unroll 4
  for (int64_t d = lane; d < D; d += 32) {
    float o = load_bf16(O + base + d);
    if constexpr (Shadow) {
      // The residual restores the FP32 output: added in FP32, not rounded back to BF16.
      o = kestrovane::add_rn(o, load_bf16(shadow + base + d));
    }
    acc = __fmaf_rn(load_bf16(dO + base + d), o, acc);
  }
  // Both partners of each step add the same two values, so every lane ends with the sum.
#pragma unroll
  for (int step = 16; step >= 1; step >>= 1) {
    acc = kestrovane::add_rn(acc, __shfl_xor_sync(0xffffffffu, acc, step));
  }
  if (lane == 0) delta[row] = acc;
}

__global__ void __launch_bounds__(kThreadsPerBlock)
    kestrovane_triangle_delta_kernel(const __nv_bfloat16* dO, const __nv_bfloat16* O, float* delta,
                                     int64_t rows, int I, int J, int D) {
  delta_row<false>(dO, O, nullptr, delta, rows, I, J, D);
}

__global__ void __launch_bounds__(kThreadsPerBlock)
    kestrovane_triangle_delta_shadow_kernel(const __nv_bfloat16* dO, const __nv_bfloat16* O,
                                            const __nv_bfloat16* shadow, float* delta, int64_t rows, int I,
                                            int J, int D) {
  delta_row<true>(dO, O, shadow, delta, rows, I, J, D);
}

}  // namespace

namespace kestrovane {
namespace delta {

void launch_delta(const DeltaLaunch& p, cudaStream_t stream) {
  const dim3 grid(static_cast<unsigned>(grid_blocks(p.rows)), 1, 1);
  const dim3 block(kThreadsPerBlock, 1, 1);
  const auto* dO = static_cast<const __nv_bfloat16*>(p.d_output);
  const auto* O = static_cast<const __nv_bfloat16*>(p.output);
  if (p.shadow_residual == nullptr) {
    kestrovane::launch_kernel(kestrovane_triangle_delta_kernel, grid, block, 0, stream, dO, O, p.delta, p.rows, p.I,
                              p.J, p.D);
  } else {
    kestrovane::launch_kernel(kestrovane_triangle_delta_shadow_kernel, grid, block, 0, stream, dO, O,
                              static_cast<const __nv_bfloat16*>(p.shadow_residual), p.delta, p.rows, p.I, p.J, p.D);
  }
}

cudaError_t resolve_delta_kernel_attributes() {
  cudaFuncAttributes attributes{};
  return cudaFuncGetAttributes(&attributes, kestrovane_triangle_delta_kernel);
}

}  // namespace delta
}  // namespace kestrovane
