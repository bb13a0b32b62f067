// trimul_out_fwd_kernel: LayerNorm of each 128-row tile of the channel-major x, in place
// in its shared tile, the H -> C output projection on mma.sync and the sigmoid gate.
// Persistent: block k walks the tiles k, k + gridDim.x, ... with the next tile's load in
// flight while it works on the current one.
#pragma once

#include <cuda_bf16.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "trimul/trimul_plan.h"
#include "trimul/trimul_projection.cuh"

namespace kestrovane {
namespace trimul {

constexpr int kXPitch = kTileRows + 8;  // x buffers: [channel][tile row]

// Loads tile rows row0 .. row0 + 127 of every channel of x into `buffer`. A segment of
// eight rows inside one batch element and on a 16-byte boundary is one asynchronous
// copy; any other is read element by element at each row's own (batch, position), rows
// past the end as zero.
__device__ __forceinline__ void out_fwd_load_tile(__nv_bfloat16* buffer, const __nv_bfloat16* __restrict__ x,
                                                  int64_t row0, int64_t rows, int64_t NN, int H) {
  const PairPosition tile_at = tile_pair_position(row0, NN);
  for (int item = threadIdx.x; item < 16 * H; item += kBlockThreads) {
    const int h = item / 16;
    const int first = kSegmentRows * (item % 16);
    const int64_t first_row = row0 + first;
    const Segment segment = channel_major_segment(tile_at, row0, first, rows, NN, h, H);
    __nv_bfloat16* dst = buffer + h * kXPitch + first;
    if (segment.whole) {
      ptx::cp_async_cg_16(ptx::smem_address(dst), x + segment.index, 16);
    } else {
      PairPosition at = segment.at;
      uint16_t v[kSegmentRows];
#pragma unroll
      for (int k = 0; k < kSegmentRows; ++k) {
        v[k] = 0;
        if (first_row + k < rows) {
          v[k] = ptx::ld_global_nc_b16(x + channel_major_index(at, h, H, NN));
          at = next_pair_position(at, NN);
        }
      }
      *reinterpret_cast<uint4*>(dst) = make_uint4(v[0] | (uint32_t(v[1]) << 16), v[2] | (uint32_t(v[3]) << 16),
                                                  v[4] | (uint32_t(v[5]) << 16), v[6] | (uint32_t(v[7]) << 16));
    }
  }
}

// One 16-channel step k of the output projection for the warp's 32 rows and its output
// channel block nb (16 channels): A from the channel-major tile through transposing ldmatrix.
__device__ __forceinline__ void out_projection_step(float (&acc)[2][4][2][4], uint32_t a_lane, uint32_t b_lane,
                                                    int w_pitch, int k, int nb) {
  uint32_t af[2][4];
  ptx::ldmatrix_x4_trans(af[0], a_lane + 16 * k * kXPitch * 2);
  ptx::ldmatrix_x4_trans(af[1], a_lane + 16 * k * kXPitch * 2 + 32);
  uint32_t bf[4];
  ptx::ldmatrix_x4(bf, b_lane + 16 * nb * w_pitch * 2 + 32 * k);
  const uint32_t b0[2] = {bf[0], bf[1]};
  const uint32_t b1[2] = {bf[2], bf[3]};
#pragma unroll
  for (int m = 0; m < 2; ++m) {
    ptx::mma_m16n8k16_bf16(acc[m][nb][0], af[m], b0);
    ptx::mma_m16n8k16_bf16(acc[m][nb][1], af[m], b1);
  }
}

}  // namespace trimul
}  // namespace kestrovane

__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads, 2)
    trimul_out_fwd_kernel(const __nv_bfloat16* __restrict__ x, const float* __restrict__ wz,
                          const __nv_bfloat16* __restrict__ gate, const float* __restrict__ gamma,
                          const float* __restrict__ beta, int64_t rows, int64_t NN, int C, int H,
                          __nv_bfloat16* __restrict__ out, __nv_bfloat16* __restrict__ xln, float* __restrict__ mean,
                          float* __restrict__ rstd) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  unsigned char* const smem = kestrovane::dynamic_smem<16>();
  const int w_pitch = H + 8;
  // The two x buffers: buffer p starts p * H * kXPitch elements in.
  __nv_bfloat16* const buffers = reinterpret_cast<__nv_bfloat16*>(smem);
  const int buffer_elements = H * kXPitch;
  __nv_bfloat16* const panel = buffers + 2 * buffer_elements;
  float* const gamma_s = reinterpret_cast<float*>(panel + C * w_pitch);
  float* const beta_s = gamma_s + H;

  const int t = threadIdx.x;
  const int warp = t / 32;
  const int lane = t % 32;

  const int groups = H / 8;
  for (int i = t; i < C * groups; i += kBlockThreads) {
    const int c = i / groups;
    const int q = i - c * groups;
    stage_weights8(panel + c * w_pitch + 8 * q, wz + static_cast<int64_t>(c) * H + 8 * q);
  }
  for (int h = t; h < H; h += kBlockThreads) {
    gamma_s[h] = ptx::ld_global_nc_f32(gamma + h);
    beta_s[h] = ptx::ld_global_nc_f32(beta + h);
  }
  int64_t tile_index = blockIdx.x;
  if (tile_index * kTileRows < rows) out_fwd_load_tile(buffers, x, tile_index * kTileRows, rows, NN, H);
  ptx::cp_async_commit();

  const float inv_h = ptx::rcp_rn(static_cast<float>(H));
  const int warp_rows = 32 * (warp % 4);
  const int warp_channels = (C / 2) * (warp / 4);
  const int blocks = C / 32;  // 16-channel output blocks per warp
  // ldmatrix row addresses of this lane, before the buffer and the step offsets.
  const uint32_t a_lane_offset = static_cast<uint32_t>(
      (((lane & 7) + 8 * (lane >> 4)) * kXPitch + warp_rows + 8 * ((lane >> 3) & 1)) * 2);
  const uint32_t b_lane = ptx::smem_address(panel) + static_cast<uint32_t>(
      ((warp_channels + (lane & 7) + 8 * (lane >> 4)) * w_pitch + 8 * ((lane >> 3) & 1)) * 2);

  for (int parity = 0; tile_index * kTileRows < rows; tile_index += gridDim.x, parity ^= 1) {
    const int64_t row0 = tile_index * kTileRows;
    __nv_bfloat16* const buffer = buffers + parity * buffer_elements;
    ptx::cp_async_wait<0>();
    __syncthreads();

    // LayerNorm of tile row 16w + l/2 by the lane pair; each lane sums every other channel.
    {
      const int i = 16 * warp + lane / 2;
      const int first = lane & 1;
      float s = 0.0f;
      float q = 0.0f;
      for (int h = first; h < H; h += 2) {
        const float v = __bfloat162float(buffer[h * kXPitch + i]);
        s = add_rn(s, v);
        q = __fmaf_rn(v, v, q);
      }
      s = add_rn(s, __shfl_xor_sync(0xffffffffu, s, 1));
      q = add_rn(q, __shfl_xor_sync(0xffffffffu, q, 1));
      const float mu = mul_rn(s, inv_h);
      // One-pass variance, not clamped.
      const float var = sub_rn(mul_rn(q, inv_h), mul_rn(mu, mu));
      const float rs = ptx::rsqrt_approx(add_rn(var, 1e-5f));
      const int64_t r = row0 + i;
      const bool real = r < rows;
      if (xln != nullptr && first == 0 && real) {
        mean[r] = mu;
        rstd[r] = rs;
      }
      for (int h = first; h < H; h += 2) {
        const float v = __bfloat162float(buffer[h * kXPitch + i]);
        buffer[h * kXPitch + i] = to_bf16(real ? __fmaf_rn(mul_rn(rs, sub_rn(v, mu)), gamma_s[h], beta_s[h]) : 0.0f);
      }
    }
    __syncthreads();

    // The other buffer was last read before this tile's first barrier.
    const int64_t next = tile_index + gridDim.x;
    if (next * kTileRows < rows) {
      out_fwd_load_tile(buffers + (parity ^ 1) * buffer_elements, x, next * kTileRows, rows, NN, H);
    }
    ptx::cp_async_commit();

    if (xln != nullptr) {
      const bool whole_rows = rows % kSegmentRows == 0;
      for (int item = t; item < 16 * H; item += kBlockThreads) {
        const int h = item / 16;
        const int first = kSegmentRows * (item % 16);
        const int64_t first_row = row0 + first;
        const __nv_bfloat16* src = buffer + h * kXPitch + first;
        __nv_bfloat16* dst = xln + h * rows + first_row;
        if (whole_rows && first_row + kSegmentRows <= rows) {
          *reinterpret_cast<uint4*>(dst) = *reinterpret_cast<const uint4*>(src);
        } else {
          for (int k = 0; k < kSegmentRows && first_row + k < rows; ++k) dst[k] = src[k];
        }
      }
    }

    float acc[2][4][2][4];
#pragma unroll
    for (int m = 0; m < 2; ++m)
#pragma unroll
      for (int nb = 0; nb < 4; ++nb)
#pragma unroll
        for (int n = 0; n < 2; ++n)
#pragma unroll
          for (int e = 0; e < 4; ++e) acc[m][nb][n][e] = 0.0f;
    const uint32_t a_lane = ptx::smem_address(buffer) + a_lane_offset;
    if (C == 128) {
#pragma unroll
      for (int k = 0; k < 8; ++k)
#pragma unroll
        for (int nb = 0; nb < 4; ++nb) out_projection_step(acc, a_lane, b_lane, 136, k, nb);
    } else {
      // Every accumulator still sums its 16-channel steps in ascending order.
#pragma unroll
      for (int nb = 0; nb < 3; ++nb) {
        if (nb < blocks) {
#pragma unroll 1
          for (int k = 0; k < H / 16; ++k) out_projection_step(acc, a_lane, b_lane, w_pitch, k, nb);
        }
      }
    }

    // Gate: out = acc * sigmoid(gate), two channels per 4-byte word.
    const int quad = lane / 4;
    const int pair = 2 * (lane % 4);
#pragma unroll
    for (int m = 0; m < 2; ++m) {
#pragma unroll
      for (int hr = 0; hr < 2; ++hr) {
        const int64_t r = row0 + warp_rows + 16 * m + quad + 8 * hr;
        if (r >= rows) continue;
#pragma unroll
        for (int nb = 0; nb < 4; ++nb) {
          if (nb >= blocks) break;
#pragma unroll
          for (int n = 0; n < 2; ++n) {
            const int64_t at = r * C + warp_channels + 16 * nb + 8 * n + pair;
            const uint32_t word = ptx::ld_global_nc_b32(gate + at);
            ptx::st_global_b32(out + at, pack_bf16x2(sigmoid_gated(acc[m][nb][n][2 * hr], bf16_lo(word)),
                                                     sigmoid_gated(acc[m][nb][n][2 * hr + 1], bf16_hi(word))));
          }
        }
      }
    }
  }
}
