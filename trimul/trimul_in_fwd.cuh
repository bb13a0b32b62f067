// trimul_in_fwd_kernel: LayerNorm of each 128-row tile of z, the five gated input
// projections on mma.sync, and the channel-major stores of a and b. Persistent: block
// (bx, by) owns hidden channels 32bx .. 32bx + 31 and walks the tiles by, by + gridDim.y, ...
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

constexpr int kStagePitch = kTileRows + 8;       // a and b stages: [local channel][tile row]
constexpr int kGStagePitch = kChannelBlock + 8;  // g stage: [tile row][local channel]
constexpr int kInFwdWeights = 5;                 // ap, ag, bp, bg, g

}  // namespace trimul
}  // namespace kestrovane

__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads, 2)
    trimul_in_fwd_kernel(const __nv_bfloat16* __restrict__ z, const float* __restrict__ w_ap,
                         const float* __restrict__ w_ag, const float* __restrict__ w_bp,
                         const float* __restrict__ w_bg, const float* __restrict__ w_g,
                         const float* __restrict__ mask, const float* __restrict__ gamma,
                         const float* __restrict__ beta, int64_t rows, int64_t NN, int C, int H,
                         __nv_bfloat16* __restrict__ a, __nv_bfloat16* __restrict__ b, __nv_bfloat16* __restrict__ g,
                         float* __restrict__ mean, float* __restrict__ rstd, __nv_bfloat16* __restrict__ zln) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  unsigned char* const smem = kestrovane::dynamic_smem<16>();
  const int pitch = C + 8;  // 16 spare bytes per row: the 8 rows of an ldmatrix hit distinct bank groups
  __nv_bfloat16* const panel = reinterpret_cast<__nv_bfloat16*>(smem);
  __nv_bfloat16* const tile = panel + 2 * kInFwdWeights * 16 * pitch;
  __nv_bfloat16* const a_stage = tile + kTileRows * pitch;
  __nv_bfloat16* const b_stage = a_stage + kChannelBlock * kStagePitch;
  __nv_bfloat16* const g_stage = b_stage + kChannelBlock * kStagePitch;

  const int t = threadIdx.x;
  const int warp = t / 32;
  const int lane = t % 32;
  const int channel0 = kChannelBlock * blockIdx.x;
  // Only the first block column writes the statistics and zln, each row once.
  const bool owner = blockIdx.x == 0;

  const float* const weights[kInFwdWeights] = {w_ap, w_ag, w_bp, w_bg, w_g};
  stage_weight_panel<kInFwdWeights>(panel, weights, channel0, C);

  const int half = warp / 4;
  const int warp_rows = 32 * (warp % 4);
  const ProjectionLanes lanes =
      warp_projection_lanes<kInFwdWeights>(ptx::smem_address(tile), ptx::smem_address(panel), pitch, warp, lane);
  const float inv_c = ptx::rcp_rn(static_cast<float>(C));
  const bool lane_has_channels = 4 * lane < C;  // lane l owns channels 4l .. 4l + 3

  for (int64_t tile_index = blockIdx.y; tile_index * kTileRows < rows; tile_index += gridDim.y) {
    const int64_t row0 = tile_index * kTileRows;

    // LayerNorm: warp w normalises tile rows 16w .. 16w + 15; rows past the end are zeros.
    float4 gm = make_float4(0.0f, 0.0f, 0.0f, 0.0f);
    float4 bt = gm;
    uint2 raw[16];
    if (lane_has_channels) {
      gm = ptx::ld_global_nc_v4_f32(gamma + 4 * lane);
      bt = ptx::ld_global_nc_v4_f32(beta + 4 * lane);
    }
#pragma unroll
    for (int j = 0; j < 16; ++j) {
      const int64_t r = row0 + 16 * warp + j;
      raw[j] = lane_has_channels && r < rows ? ptx::ld_global_nc_v2_b32(z + r * C + 4 * lane) : make_uint2(0u, 0u);
    }
#pragma unroll
    for (int j = 0; j < 16; ++j) {
      const float x[4] = {bf16_lo(raw[j].x), bf16_hi(raw[j].x), bf16_lo(raw[j].y), bf16_hi(raw[j].y)};
      float s = add_rn(add_rn(add_rn(x[0], x[1]), x[2]), x[3]);
      float q = __fmaf_rn(x[3], x[3], __fmaf_rn(x[2], x[2], __fmaf_rn(x[0], x[0], mul_rn(x[1], x[1]))));
      // Butterfly: every lane ends with the same totals.
#pragma unroll
      for (int d = 16; d >= 1; d /= 2) {
        s = add_rn(s, __shfl_xor_sync(0xffffffffu, s, d));
        q = add_rn(q, __shfl_xor_sync(0xffffffffu, q, d));
      }
      const float mu = mul_rn(s, inv_c);
      // One-pass variance, not clamped.
      const float var = sub_rn(mul_rn(q, inv_c), mul_rn(mu, mu));
      const float rs = ptx::rsqrt_approx(add_rn(var, 1e-5f));
      const int i = 16 * warp + j;
      const int64_t r = row0 + i;
      const bool real = r < rows;
      const float gs[4] = {gm.x, gm.y, gm.z, gm.w};
      const float bs[4] = {bt.x, bt.y, bt.z, bt.w};
      float y[4];
#pragma unroll
      for (int e = 0; e < 4; ++e) y[e] = real ? __fmaf_rn(gs[e], mul_rn(rs, sub_rn(x[e], mu)), bs[e]) : 0.0f;
      if (lane_has_channels) {
        const uint2 packed = make_uint2(pack_bf16x2(y[0], y[1]), pack_bf16x2(y[2], y[3]));
        *reinterpret_cast<uint2*>(tile + i * pitch + 4 * lane) = packed;
        if (zln != nullptr && owner && real) *reinterpret_cast<uint2*>(zln + r * C + 4 * lane) = packed;
      }
      if (owner && lane == 0 && real) {
        mean[r] = mu;
        rstd[r] = rs;
      }
    }
    __syncthreads();

    ProjectionAcc<kInFwdWeights> acc;
    project_rows<kInFwdWeights>(acc, lanes, C);

    // Gating: the a and b stages are transposed ([channel][row]) for the channel-major stores.
    const int quad = lane / 4;
    const int pair = 2 * (lane % 4);
#pragma unroll
    for (int m = 0; m < 2; ++m) {
#pragma unroll
      for (int hr = 0; hr < 2; ++hr) {
        const int i = warp_rows + 16 * m + quad + 8 * hr;
        const int64_t r = row0 + i;
        const float mk = r < rows ? ptx::ld_global_nc_f32(mask + r) : 0.0f;
#pragma unroll
        for (int n = 0; n < 2; ++n) {
          const int c = 16 * half + 8 * n + pair;
#pragma unroll
          for (int e2 = 0; e2 < 2; ++e2) {
            const int e = 2 * hr + e2;
            a_stage[(c + e2) * kStagePitch + i] = to_bf16(mul_rn(mk, sigmoid_gated(acc[m][0][n][e], acc[m][1][n][e])));
            b_stage[(c + e2) * kStagePitch + i] = to_bf16(mul_rn(mk, sigmoid_gated(acc[m][2][n][e], acc[m][3][n][e])));
          }
          *reinterpret_cast<uint32_t*>(g_stage + i * kGStagePitch + c) =
              pack_bf16x2(acc[m][4][n][2 * hr], acc[m][4][n][2 * hr + 1]);
        }
      }
    }
    __syncthreads();

    // a and b: 32 channels x 16 segments of 8 rows; a segment inside one batch element and
    // on a 16-byte boundary moves whole, any other row by row at its own (batch, position).
    const PairPosition tile_at = tile_pair_position(row0, NN);
    for (int item = t; item < kChannelBlock * (kTileRows / kSegmentRows); item += kBlockThreads) {
      const int c = item / 16;
      const int first = kSegmentRows * (item % 16);
      const int64_t first_row = row0 + first;
      const int64_t h = channel0 + c;
      const Segment segment = channel_major_segment(tile_at, row0, first, rows, NN, h, H);
      const __nv_bfloat16* a_src = a_stage + c * kStagePitch + first;
      const __nv_bfloat16* b_src = b_stage + c * kStagePitch + first;
      if (segment.whole) {
        *reinterpret_cast<uint4*>(a + segment.index) = *reinterpret_cast<const uint4*>(a_src);
        *reinterpret_cast<uint4*>(b + segment.index) = *reinterpret_cast<const uint4*>(b_src);
      } else {
        PairPosition at = segment.at;
        for (int k = 0; k < kSegmentRows && first_row + k < rows; ++k) {
          const int64_t at_index = channel_major_index(at, h, H, NN);
          a[at_index] = a_src[k];
          b[at_index] = b_src[k];
          at = next_pair_position(at, NN);
        }
      }
    }
    // g: 128 rows x 4 groups of 8 channels, row-major.
    for (int item = t; item < kTileRows * (kChannelBlock / 8); item += kBlockThreads) {
      const int i = item / 4;
      const int group = 8 * (item % 4);
      const int64_t r = row0 + i;
      if (r < rows) {
        *reinterpret_cast<uint4*>(g + r * H + channel0 + group) =
            *reinterpret_cast<const uint4*>(g_stage + i * kGStagePitch + group);
      }
    }
    // No barrier here: the tile was last read before the barrier above, and the stages are
    // written again only after the next tile's LayerNorm barrier.
  }
}
