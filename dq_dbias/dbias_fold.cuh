// The two fixed-order dBias folds: the finalizer that adds a wave's BF16 outer-group
// partials into the FP32 per-batch dBias, and the reduction of the per-batch dBias onto a
// broadcast bias shape. One thread owns one output element in both, and sums its terms in
// ascending order with separate round-to-nearest FP32 adds, so the bits never depend on
// the grid, the plan or the run.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "dq_dbias/dq_plan.h"

namespace kestrovane {
namespace dq {

// out_dbias over the active slab (nb batches from b0, all heads, active_rows query rows
// from q0, all keys) = left fold of the ng group partials, continuing from the value
// already stored when `accumulate` (a later group wave of the same slab).
__global__ void __launch_bounds__(kFinalizeThreads)
    kestrovane_dq_dbias_finalize_kernel(const __nv_bfloat16* __restrict__ partials, float* __restrict__ out_dbias,
                                        int64_t slab_elems, int N, int H, int b0, int nb, int batches_per_wave,
                                        int q0, int active_rows, int slab_rows, int ng, bool accumulate) {
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i >= slab_elems) {
    return;
  }
  const int64_t key = i % N;
  int64_t t = i / N;
  const int64_t r = t % active_rows;
  t /= active_rows;
  const int64_t h = t % H;
  const int64_t bl = t / H;
  if (bl >= nb) {
    return;
  }
  float* destination = out_dbias + (((b0 + bl) * H + h) * N + q0 + r) * N + key;
  const unsigned short* source = reinterpret_cast<const unsigned short*>(partials) + ((bl * H + h) * slab_rows + r) * N + key;
  // One group's partials lie batches_per_wave x H x slab_rows x N elements after the last.
  const int64_t group_pitch = static_cast<int64_t>(batches_per_wave) * H * slab_rows * N;
  float acc;
  int gl;
  if (accumulate) {
    acc = *destination;
    gl = 0;
  } else {
    acc = bf16_bits_to_float(ptx::ld_global_nc_b16(source));
    gl = 1;
  }
#pragma unroll 1
  for (; gl < ng; ++gl) {
    acc = add_rn(acc, bf16_bits_to_float(ptx::ld_global_nc_b16(source + gl * group_pitch)));
  }
  *destination = acc;
}

// out[i] = BF16 of the left fold, in ascending flattened target index t, of the
// BF16-rounded per-batch values whose bias index is i's. Every thread maps every t to its
// bias index (T x rank integer divisions per element): no partials, no tree.
__global__ void __launch_bounds__(kBroadcastThreads)
    kestrovane_reduce_broadcast_dbias_kernel(const float* __restrict__ per_batch_dbias, __nv_bfloat16* __restrict__ out,
                                             int64_t total, int64_t plane, int target_count, PrefixBroadcastPlan plan) {
  const int64_t step = static_cast<int64_t>(blockDim.x) * gridDim.x;
  for (int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x; i < total; i += step) {
    const int64_t bias_flat = i / plane;
    const int64_t offset = i - bias_flat * plane;
    float acc = 0.0f;
    bool has_term = false;
#pragma unroll 1
    for (int t = 0; t < target_count; ++t) {
      int rem = t;
      int64_t idx = 0;
#pragma unroll 1
      for (int d = plan.rank - 1; d >= 0; --d) {
        if (plan.bias_dims[d] != 1) {
          idx += plan.bias_strides[d] * (rem % plan.target_dims[d]);
        }
        rem /= plan.target_dims[d];
      }
      if (idx == bias_flat) {
        const float term = __bfloat162float(to_bf16(ptx::ld_global_nc_f32(per_batch_dbias + t * plane + offset)));
        acc = has_term ? add_rn(acc, term) : term;
        has_term = true;
      }
    }
    out[i] = has_term ? to_bf16(acc) : to_bf16(0.0f);
  }
}

}  // namespace dq
}  // namespace kestrovane
