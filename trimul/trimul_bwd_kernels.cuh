// Device code of the multiplicative update's backward pieces: the sigmoid-multiply
// backward, the row-wise LayerNorm backward (dX, and dGamma/dBeta through per-chunk partials
// and an ordered fold), the transposed LayerNorm backward with its grouped fold, and the
// weight-gradient fold. Every reduction is a fixed-order sum (a fixed shuffle tree inside a
// warp, or a sequential loop over rows, chunks or groups in ascending order) and every output
// element has exactly one writer, so the bits do not depend on scheduling. Indices into caller
// tensors and partials are formed in 64 bits.
#pragma once

#include <cuda_bf16.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "trimul/trimul_bwd_plan.h"
#include "trimul/trimul_projection.cuh"

namespace kestrovane {
namespace trimul {

__device__ __forceinline__ float load_bf16(const __nv_bfloat16* p) { return bf16_bits_to_float(ptx::ld_global_nc_b16(p)); }

// Sum over the warp by the shuffle-down tree (offsets 16, 8, 4, 2, 1); lane 0's total is
// handed to every lane.
__device__ __forceinline__ float warp_sum_to_all(float v) {
#pragma unroll
  for (int offset = 16; offset > 0; offset /= 2) {
    v = add_rn(v, __shfl_down_sync(0xffffffffu, v, offset));
  }
  return __shfl_sync(0xffffffffu, v, 0);
}


// The LayerNorm backward of one row of C channels, owned by one warp: lane l takes channels
// l, l + 32, ... in ascending order for the two row sums (gg = g * gamma, xhat = rstd * (x -
// mean); s1 += gg, s2 = fma(gg, xhat, s2)), the warp adds them by the shuffle-down tree, and a
// second pass over the same channels hands rstd * ((gg - a) - b * xhat) to `store_dx`, with
// a = S1 / C and b = S2 / C. `load_x(j)` gives the row's input at channel j as FP32.
template <class LoadX, class StoreDx>
__device__ __forceinline__ void ln_backward_row(const __nv_bfloat16* g_row, const float* gamma, int C, float mean_r,
                                                float rstd_r, int lane, LoadX load_x, StoreDx store_dx) {
  float s1 = 0.0f;
  float s2 = 0.0f;
  for (int j = lane; j < C; j += 32) {
    const float gg = mul_rn(load_bf16(g_row + j), __ldg(gamma + j));
    const float xhat = mul_rn(rstd_r, sub_rn(load_x(j), mean_r));
    s1 = add_rn(s1, gg);
    s2 = __fmaf_rn(gg, xhat, s2);
  }
  const float a = __fdiv_rn(warp_sum_to_all(s1), static_cast<float>(C));
  const float b = __fdiv_rn(warp_sum_to_all(s2), static_cast<float>(C));
  for (int j = lane; j < C; j += 32) {
    const float gg = mul_rn(load_bf16(g_row + j), __ldg(gamma + j));
    const float xhat = mul_rn(rstd_r, sub_rn(load_x(j), mean_r));
    store_dx(j, mul_rn(rstd_r, sub_rn(sub_rn(gg, a), mul_rn(b, xhat))));
  }
}


// Running dGamma/dBeta sums of one channel over rows in a fixed order: dg = fma(g, xhat, dg),
// db = db + g.
struct DgbSums {
  float dg = 0.0f;
  float db = 0.0f;
  __device__ __forceinline__ void add(float g, float xhat) {
    dg = __fmaf_rn(g, xhat, dg);
    db = add_rn(db, g);
  }
};

// Channel c of the interleaved partial pairs [begin, end), added in ascending order.
__device__ __forceinline__ DgbSums fold_partials(const float* partials, int64_t begin, int64_t end, int C, int c) {
  DgbSums sums;
  for (int64_t k = begin; k < end; ++k) {
    sums.dg = add_rn(sums.dg, __ldg(partials + dgamma_partial(k, C, c)));
    sums.db = add_rn(sums.db, __ldg(partials + dbeta_partial(k, C, c)));
  }
  return sums;
}

}  // namespace trimul
}  // namespace kestrovane

// d_x = grad * s and d_gate = (1 - s) * (grad * out), s = sigmoid(gate); one element per thread.
__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads)
    sig_mul_bwd_out_kernel(const __nv_bfloat16* __restrict__ out, const __nv_bfloat16* __restrict__ gate,
                           const __nv_bfloat16* __restrict__ grad_out, int64_t total, int H, int64_t dgate_stride,
                           __nv_bfloat16* __restrict__ d_x, __nv_bfloat16* __restrict__ dgate_dst) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i >= total) return;
  const int64_t row = i / H;
  const int64_t col = i - row * H;
  const float s = sigmoid_gated(1.0f, load_bf16(gate + i));  // the forward gate's own sigmoid
  const float g = load_bf16(grad_out + i);
  const float o = load_bf16(out + i);
  d_x[i] = to_bf16(mul_rn(s, g));
  dgate_dst[row * dgate_stride + col] = to_bf16(mul_rn(sub_rn(1.0f, s), mul_rn(g, o)));
}

// One warp per row: the two row sums, then dx = rstd * ((gg - a) - b * xhat) per channel.
__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads)
    ln_bwd_dx_kernel(const __nv_bfloat16* __restrict__ input, const __nv_bfloat16* __restrict__ grad_out,
                     int64_t rows, int C, int64_t row_stride, int64_t col_stride, const float* __restrict__ gamma,
                     const float* __restrict__ mean, const float* __restrict__ rstd,
                     __nv_bfloat16* __restrict__ dx) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  const int64_t r = static_cast<int64_t>(blockIdx.x) * (blockDim.x / 32) + threadIdx.x / 32;
  if (r >= rows) return;  // the whole warp leaves together
  const int lane = threadIdx.x % 32;
  const __nv_bfloat16* x_row = input + r * row_stride;
  __nv_bfloat16* dx_row = dx + r * row_stride;
  ln_backward_row(
      grad_out + r * C, gamma, C, __ldg(mean + r), __ldg(rstd + r), lane,
      [&](int j) { return load_bf16(x_row + j * col_stride); },
      [&](int j, float value) { dx_row[j * col_stride] = to_bf16(value); });
}

// dGamma/dBeta partials of one chunk of rows, one channel per thread, rows in ascending order.
__global__ void __launch_bounds__(kestrovane::trimul::kReduceThreads)
    ln_bwd_dgb_partial_kernel(const __nv_bfloat16* __restrict__ input, const __nv_bfloat16* __restrict__ grad_out,
                              int64_t rows, int C, int64_t row_stride, int64_t col_stride, int64_t rows_per_chunk,
                              const float* __restrict__ mean, const float* __restrict__ rstd,
                              float* __restrict__ partials) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  const int c = blockIdx.x * blockDim.x + threadIdx.x;
  if (c >= C) return;
  const int64_t k = blockIdx.y;
  const int64_t start = k * rows_per_chunk;
  const int64_t end = start + rows_per_chunk < rows ? start + rows_per_chunk : rows;
  DgbSums sums;
  for (int64_t r = start; r < end; ++r) {
    sums.add(load_bf16(grad_out + r * C + c),
             mul_rn(sub_rn(load_bf16(input + r * row_stride + c * col_stride), __ldg(mean + r)), __ldg(rstd + r)));
  }
  partials[dgamma_partial(k, C, c)] = sums.dg;
  partials[dbeta_partial(k, C, c)] = sums.db;
}

// The final fold of `count` chunk (or group) partials in ascending order.
__global__ void __launch_bounds__(kestrovane::trimul::kReduceThreads)
    ln_bwd_dgb_fold_kernel(const float* __restrict__ partials, int count, int C, float* __restrict__ dgamma,
                           float* __restrict__ dbeta) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  const int c = blockIdx.x * blockDim.x + threadIdx.x;
  if (c >= C) return;
  const DgbSums sums = fold_partials(partials, 0, count, C, c);
  dgamma[c] = sums.dg;
  dbeta[c] = sums.db;
}

// One 32-position tile of one batch element: x staged transposed ([channel][position], pitch
// 33 floats so that both the per-channel runs and the per-position columns are free of bank
// conflicts), one warp per position for the row-wise LayerNorm backward, dx written back
// channel-major, then the tile's dGamma/dBeta partial as two half-tile sums.
__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads)
    transpose_ln_bwd_kernel(const __nv_bfloat16* __restrict__ x, const __nv_bfloat16* __restrict__ d_xln, int64_t NN,
                            int H, const float* __restrict__ gamma, const float* __restrict__ mean,
                            const float* __restrict__ rstd, __nv_bfloat16* __restrict__ dx,
                            float* __restrict__ partials) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  constexpr int kPitch = 33;
  float* const transpose_smem = reinterpret_cast<float*>(kestrovane::dynamic_smem<16>());
  float* region_one = transpose_smem;
  float* region_two = transpose_smem + kPitch * H;
  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
  const int64_t tile = blockIdx.x;
  const int64_t b = blockIdx.z;
  const int64_t p0 = kPairTile * tile;
  const int64_t valid = NN - p0 < kPairTile ? NN - p0 : kPairTile;
  const int64_t row0 = b * NN + p0;

  for (int h = warp; h < H; h += 8) {
    region_one[h * kPitch + lane] = lane < valid ? load_bf16(x + (b * H + h) * NN + p0 + lane) : 0.0f;
  }
  __syncthreads();

  for (int s = warp; s < kPairTile; s += 8) {
    if (s >= valid) continue;  // warp-uniform
    const int64_t row = row0 + s;
    ln_backward_row(
        d_xln + row * H, gamma, H, __ldg(mean + row), __ldg(rstd + row), lane,
        [&](int j) { return region_one[j * kPitch + s]; },
        [&](int j, float value) { region_two[j * kPitch + s] = value; });
  }
  __syncthreads();

  if (lane < valid) {
    for (int h = warp; h < H; h += 8) {
      dx[(b * H + h) * NN + p0 + lane] = to_bf16(region_two[h * kPitch + lane]);
    }
  }
  __syncthreads();

  const int t = threadIdx.x;
  if (t < 2 * H) {
    const int q = t / H;
    const int c = t - q * H;
    const int64_t first = 16 * q;
    const int64_t stop = first + 16 < valid ? first + 16 : valid;
    DgbSums sums;
    for (int64_t s = first; s < stop; ++s) {
      const int64_t row = row0 + s;
      sums.add(load_bf16(d_xln + row * H + c),
               mul_rn(sub_rn(region_one[c * kPitch + s], __ldg(mean + row)), __ldg(rstd + row)));
    }
    // a half without valid positions stores zeros
    region_two[q * H + c] = sums.dg;
    region_two[2 * H + q * H + c] = sums.db;
  }
  __syncthreads();

  if (t < H) {
    const int64_t chunk = b * gridDim.x + tile;
    partials[dgamma_partial(chunk, H, t)] = add_rn(region_two[t], region_two[H + t]);
    partials[dbeta_partial(chunk, H, t)] = add_rn(region_two[2 * H + t], region_two[3 * H + t]);
  }
}

// Group g sums its run of chunk partials in ascending chunk order; a group past the last
// chunk stores zeros.
__global__ void __launch_bounds__(kestrovane::trimul::kReduceThreads)
    ln_bwd_dgb_group_fold_kernel(const float* __restrict__ partials, int chunks, int H, int chunks_per_group,
                                 float* __restrict__ group_partials) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  const int c = blockIdx.x * blockDim.x + threadIdx.x;
  if (c >= H) return;
  const int g = blockIdx.y;
  const ChunkRange range = group_chunks(g, chunks, chunks_per_group);
  const DgbSums sums = fold_partials(partials, range.begin, range.end, H, c);
  group_partials[dgamma_partial(g, H, c)] = sums.dg;
  group_partials[dbeta_partial(g, H, c)] = sums.db;
}

// accumulator[i] (= 0 when overwriting) plus every chunk's slab in ascending chunk order, one
// separately rounded add per chunk; one element per thread.
template <bool Overwrite>
__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads)
    trimul_wgrad_fixed_fold_kernel(const float* __restrict__ partials, int chunks, int64_t MC,
                                   float* __restrict__ accumulator) {
  using namespace kestrovane;
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i >= MC) return;
  float acc = Overwrite ? 0.0f : accumulator[i];
#pragma unroll 1
  for (int64_t c = 0; c < chunks; ++c) {
    acc = add_rn(acc, __ldg(partials + c * MC + i));
  }
  accumulator[i] = acc;
}
