// trimul_gate_split_bwd_kernel: the backward of a = mask * ap * sigmoid(ag) and
// b = mask * bp * sigmoid(bg). It recomputes ap, ag, bp and bg from the saved normalised
// rows with the input stage's own projection routine (same BF16 weights, fragments and k
// order, so the same bits), and writes d_ap, d_ag, d_bp and d_bg as slices 0 to 3 of the
// caller's [rows, 5 * H] d_proj5. Persistent: block (bx, by) owns hidden channels
// 32bx .. 32bx + 31 and walks the 128-row tiles by, by + gridDim.y, ...; warp w computes
// channels 16(w / 4) .. +15 of that band for tile rows 32(w mod 4) .. +31.
#pragma once

#include <cuda_bf16.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "trimul/trimul_bwd_plan.h"
#include "trimul/trimul_plan.h"
#include "trimul/trimul_projection.cuh"

namespace kestrovane {
namespace trimul {

constexpr int kGateWeights = 4;  // ap, ag, bp, bg
constexpr int kGradPitch = 136;  // d_a / d_b tile: [channel][tile row]
constexpr int kGateStagePitch = 72;  // output staging: [tile row][first slice 0-31 | second slice 32-63]

struct GateSplitSmem {
  __nv_bfloat16* weights;  // [128][C + 8]: the panel of stage_weight_panel<4>
  __nv_bfloat16* zln;      // [128][C + 8]
  __nv_bfloat16* d_a;      // [32][136]
  __nv_bfloat16* d_b;      // [32][136]
  __nv_bfloat16* stage;    // [128][72]
};

__device__ __forceinline__ GateSplitSmem gate_split_smem(unsigned char* base, int C) {
  const int tile = 128 * (C + 8);
  auto* p = reinterpret_cast<__nv_bfloat16*>(base);
  return {p, p + tile, p + 2 * tile, p + 2 * tile + 32 * kGradPitch, p + 2 * tile + 64 * kGradPitch};
}

// 16-byte copies of the tile's normalised rows into the zln tile. Rows past the end are
// zero-filled for the first tile and skipped afterwards (their results are never stored).
__device__ __forceinline__ void load_zln_tile(__nv_bfloat16* tile, const __nv_bfloat16* zln, int64_t r0,
                                              int64_t rows, int C, bool zero_fill) {
  const int pieces = C / 8;
  for (int i = threadIdx.x; i < kTileRows * pieces; i += kBlockThreads) {
    const int row = i / pieces;
    const int q = i - row * pieces;
    const bool real = r0 + row < rows;
    if (!real && !zero_fill) continue;
    const __nv_bfloat16* src = real ? zln + (r0 + row) * C + 8 * q : zln;
    ptx::cp_async_cg_16(ptx::smem_address(tile + row * (C + 8) + 8 * q), src, real ? 16u : 0u);
  }
  ptx::cp_async_commit();
}

// Stages the band's 32 channels of d_a and d_b for the tile's 128 rows, [channel][tile row]:
// 16-byte pieces of eight rows where they lie whole in one batch plane, else element by
// element with the batch carry, zeros past the last row.
__device__ __forceinline__ void stage_gate_grads(const GateSplitSmem& smem, const __nv_bfloat16* d_a,
                                                 const __nv_bfloat16* d_b, int64_t r0, int64_t rows, int64_t NN,
                                                 int H) {
  const PairPosition tile_at = tile_pair_position(r0, NN);
  for (int i = threadIdx.x; i < 32 * (kTileRows / kSegmentRows); i += kBlockThreads) {
    const int c = i / 16;
    const int s = kSegmentRows * (i % 16);
    const int64_t h = static_cast<int64_t>(blockIdx.x) * kChannelBlock + c;
    const Segment segment = channel_major_segment(tile_at, r0, s, rows, NN, h, H);
    __nv_bfloat16* dst_a = smem.d_a + c * kGradPitch + s;
    __nv_bfloat16* dst_b = smem.d_b + c * kGradPitch + s;
    if (segment.whole) {
      *reinterpret_cast<uint4*>(dst_a) = __ldg(reinterpret_cast<const uint4*>(d_a + segment.index));
      *reinterpret_cast<uint4*>(dst_b) = __ldg(reinterpret_cast<const uint4*>(d_b + segment.index));
      continue;
    }
    PairPosition at = segment.at;
    for (int e = 0; e < kSegmentRows; ++e) {
      const bool real = r0 + s + e < rows;
      const int64_t index = channel_major_index(at, h, H, NN);
      dst_a[e] = real ? __ldg(d_a + index) : __float2bfloat16_rn(0.0f);
      dst_b[e] = real ? __ldg(d_b + index) : __float2bfloat16_rn(0.0f);
      at = next_pair_position(at, NN);
    }
  }
}

// One side's epilogue: d_value = m * (dv * s) and d_gate = m * (((value * dv) * s) * (1 - s)),
// s = sigmoid(gate logit), each product separately rounded in this order, staged as BF16.
__device__ __forceinline__ void gate_split_epilogue(const GateSplitSmem& smem, const __nv_bfloat16* grad_tile,
                                                    const ProjectionAcc<kGateWeights>& acc, int value_w,
                                                    const float* mask, int64_t r0, int64_t rows) {
  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
#pragma unroll
  for (int m = 0; m < 2; ++m) {
#pragma unroll
    for (int half = 0; half < 2; ++half) {
      const int i = 32 * (warp % 4) + 16 * m + lane / 4 + 8 * half;
      const float mk = r0 + i < rows ? __ldg(mask + r0 + i) : 0.0f;
#pragma unroll
      for (int n = 0; n < 2; ++n) {
        float d_value[2];
        float d_gate[2];
#pragma unroll
        for (int e = 0; e < 2; ++e) {
          const int j = 16 * (warp / 4) + 8 * n + 2 * (lane % 4) + e;
          const float dv = __bfloat162float(grad_tile[j * kGradPitch + i]);
          const float value = acc[m][value_w][n][2 * half + e];
          const float s = sigmoid_gated(1.0f, acc[m][value_w + 1][n][2 * half + e]);
          d_value[e] = mul_rn(mk, mul_rn(dv, s));
          d_gate[e] = mul_rn(mk, mul_rn(mul_rn(mul_rn(value, dv), s), sub_rn(1.0f, s)));
        }
        const int j0 = 16 * (warp / 4) + 8 * n + 2 * (lane % 4);
        __nv_bfloat16* row = smem.stage + i * kGateStagePitch;
        *reinterpret_cast<uint32_t*>(row + j0) = pack_bf16x2(d_value[0], d_value[1]);
        *reinterpret_cast<uint32_t*>(row + 32 + j0) = pack_bf16x2(d_gate[0], d_gate[1]);
      }
    }
  }
}

// Staged rows to slices first_slice and first_slice + 1 of d_proj5, 16 bytes at a time.
__device__ __forceinline__ void store_gate_slices(const GateSplitSmem& smem, __nv_bfloat16* d_proj5, int64_t r0,
                                                  int64_t rows, int H, int first_slice) {
  for (int chunk = threadIdx.x; chunk < 1024; chunk += kBlockThreads) {
    const int row = chunk / 8;
    const int slice = (chunk / 4) % 2;
    const int group = 8 * (chunk % 4);
    if (r0 + row >= rows) continue;
    const int64_t dst = ((r0 + row) * 5 + first_slice + slice) * H + static_cast<int64_t>(blockIdx.x) * kChannelBlock +
                        group;
    *reinterpret_cast<uint4*>(d_proj5 + dst) =
        *reinterpret_cast<const uint4*>(smem.stage + row * kGateStagePitch + 32 * slice + group);
  }
}

}  // namespace trimul
}  // namespace kestrovane

__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads, 2)
    trimul_gate_split_bwd_kernel(const __nv_bfloat16* __restrict__ zln, const float* __restrict__ w_ap,
                                 const float* __restrict__ w_ag, const float* __restrict__ w_bp,
                                 const float* __restrict__ w_bg, const float* __restrict__ mask,
                                 const __nv_bfloat16* __restrict__ d_a, const __nv_bfloat16* __restrict__ d_b,
                                 int64_t rows, int64_t NN, int C, int H, __nv_bfloat16* __restrict__ d_proj5) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  unsigned char* const gate_split_smem_base = kestrovane::dynamic_smem<16>();
  const GateSplitSmem smem = gate_split_smem(gate_split_smem_base, C);
  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
  const int pitch = C + 8;

  // The band's four weights, once per block, in the input stage's panel layout.
  const float* const weights[kGateWeights] = {w_ap, w_ag, w_bp, w_bg};
  stage_weight_panel<kGateWeights>(smem.weights, weights, static_cast<int64_t>(blockIdx.x) * kChannelBlock, C);

  int64_t tile = blockIdx.y;
  if (tile * kTileRows >= rows) return;
  load_zln_tile(smem.zln, zln, tile * kTileRows, rows, C, true);
  const ProjectionLanes lanes =
      warp_projection_lanes<kGateWeights>(ptx::smem_address(smem.zln), ptx::smem_address(smem.weights), pitch, warp, lane);
  for (;;) {
    const int64_t r0 = tile * kTileRows;
    stage_gate_grads(smem, d_a, d_b, r0, rows, NN, H);
    ptx::cp_async_wait<0>();
    __syncthreads();

    ProjectionAcc<kGateWeights> acc;
    project_rows<kGateWeights>(acc, lanes, C);
    tile += gridDim.y;
    const bool more = tile * kTileRows < rows;
    __syncthreads();  // every warp is done with the zln tile and the previous stores

    gate_split_epilogue(smem, smem.d_a, acc, 0, mask, r0, rows);
    __syncthreads();
    store_gate_slices(smem, d_proj5, r0, rows, H, 0);
    __syncthreads();

    // The next tile's rows arrive while the b side is finished.
    if (more) load_zln_tile(smem.zln, zln, tile * kTileRows, rows, C, false);
    gate_split_epilogue(smem, smem.d_b, acc, 2, mask, r0, rows);
    __syncthreads();
    store_gate_slices(smem, d_proj5, r0, rows, H, 2);
    __syncthreads();
    if (!more) break;
  }
}
