// The gated-projection core of the input stage: a warp's 32 pair rows of a normalised
// BF16 tile (row-major, pitch C + 8) against 16 hidden channels of several BF16 weight
// blocks (each 16 rows of pitch C + 8, the input channels contiguous), on mma.sync with
// FP32 accumulators. Any kernel that recomputes these projections calls this function,
// so that its values carry the same bits as the forward's: the same fragments and the
// same ascending order of 16-channel steps.
#pragma once

#include <cstdint>

#include "common/numerics.cuh"
#include "common/ptx.cuh"

namespace kestrovane {
namespace trimul {

// Eight FP32 weights rounded to BF16 (nearest even) and stored as one 16-byte group.
// The weights are read element by element: a caller's view may start at any element,
// and each block reads them only once.
__device__ __forceinline__ void stage_weights8(__nv_bfloat16* dst, const float* src) {
  float v[8];
#pragma unroll
  for (int e = 0; e < 8; ++e) v[e] = ptx::ld_global_nc_f32(src + e);
  *reinterpret_cast<uint4*>(dst) =
      make_uint4(pack_bf16x2(v[0], v[1]), pack_bf16x2(v[2], v[3]), pack_bf16x2(v[4], v[5]), pack_bf16x2(v[6], v[7]));
}

// The weight panel of a block's 32-channel band: panel row kWeights * 16 * half + 16 * w + j
// holds BF16(weight w of hidden channel channel0 + 16 * half + j), so the kWeights 16-row
// blocks that one warp's channel half multiplies lie together. Every kernel that projects
// (the input stage with five weights, the gate split with four) stages its panel here.
template <int kWeights>
__device__ __forceinline__ void stage_weight_panel(__nv_bfloat16* panel, const float* const (&weights)[kWeights],
                                                   int64_t channel0, int C) {
  const int groups = C / 8;
  const int pitch = C + 8;
  for (int i = threadIdx.x; i < 2 * kWeights * 16 * groups; i += blockDim.x) {
    const int row = i / groups;
    const int q = i - row * groups;
    const int half = row / (16 * kWeights);
    const int w = (row % (16 * kWeights)) / 16;
    const float* src = weights[0];
#pragma unroll
    for (int k = 1; k < kWeights; ++k) src = w == k ? weights[k] : src;  // no indexed local array
    stage_weights8(panel + row * pitch + 8 * q, src + (channel0 + 16 * half + row % 16) * C + 8 * q);
  }
}

// value * sigmoid(logit) = value / (1 + 2^(-log2(e) * logit)), with the approximate
// base-2 exponential and the approximate division.
__device__ __forceinline__ float sigmoid_gated(float value, float logit) {
  return ptx::div_approx(value, add_rn(1.0f, ptx::ex2_approx(mul_rn(-kLog2e, logit))));
}

// acc[m][w][n]: row block m (16 rows), weight w, channel octet n; the m16n8 accumulator
// layout (lane l holds rows l/4 and l/4 + 8, channels 2(l mod 4) and 2(l mod 4) + 1).
template <int kWeights>
using ProjectionAcc = float[2][kWeights][2][4];

// Shared addresses of this lane's ldmatrix rows: `tile_rows` is the tile's first row of
// the warp, `panel_rows` the first panel row of its weight blocks; pitch in elements.
struct ProjectionLanes {
  uint32_t tile;
  uint32_t panel;
};

__device__ __forceinline__ ProjectionLanes projection_lanes(uint32_t tile, uint32_t panel, int pitch, int tile_rows,
                                                            int panel_rows, int lane) {
  // A fragments (row-major tile): matrices (rows 0-7, k 0-7), (8-15, 0-7), (0-7, 8-15), (8-15, 8-15).
  const int a_row = tile_rows + (lane & 7) + 8 * ((lane >> 3) & 1);
  const int a_col = 8 * (lane >> 4);
  // B fragments (weights [channel][k]): matrices (n 0-7, k 0-7), (0-7, 8-15), (8-15, 0-7), (8-15, 8-15).
  const int b_row = panel_rows + (lane & 7) + 8 * (lane >> 4);
  const int b_col = 8 * ((lane >> 3) & 1);
  return {tile + static_cast<uint32_t>((a_row * pitch + a_col) * 2),
          panel + static_cast<uint32_t>((b_row * pitch + b_col) * 2)};
}

// The lanes of warp `warp` of eight: tile rows 32 (warp mod 4) .. +31 against the weight blocks
// of channel half warp / 4 in a panel staged by stage_weight_panel<kWeights>.
template <int kWeights>
__device__ __forceinline__ ProjectionLanes warp_projection_lanes(uint32_t tile, uint32_t panel, int pitch, int warp,
                                                                 int lane) {
  return projection_lanes(tile, panel, pitch, 32 * (warp % 4), kWeights * 16 * (warp / 4), lane);
}

// One 16-channel step k of the sum.
template <int kWeights>
__device__ __forceinline__ void projection_step(ProjectionAcc<kWeights>& acc, const ProjectionLanes& lanes,
                                                int pitch, int k) {
  uint32_t a[2][4];
  ptx::ldmatrix_x4(a[0], lanes.tile + 32 * k);
  ptx::ldmatrix_x4(a[1], lanes.tile + 16 * pitch * 2 + 32 * k);
#pragma unroll
  for (int w = 0; w < kWeights; ++w) {
    uint32_t b[4];
    ptx::ldmatrix_x4(b, lanes.panel + 16 * w * pitch * 2 + 32 * k);
    const uint32_t b0[2] = {b[0], b[1]};
    const uint32_t b1[2] = {b[2], b[3]};
#pragma unroll
    for (int m = 0; m < 2; ++m) {
      ptx::mma_m16n8k16_bf16(acc[m][w][0], a[m], b0);
      ptx::mma_m16n8k16_bf16(acc[m][w][1], a[m], b1);
    }
  }
}

// acc = the projections of the warp's rows over all C input channels, in ascending steps.
// C = 128 is unrolled; the other widths loop over the same steps with identical results.
template <int kWeights>
__device__ __forceinline__ void project_rows(ProjectionAcc<kWeights>& acc, const ProjectionLanes& lanes, int C) {
#pragma unroll
  for (int m = 0; m < 2; ++m)
#pragma unroll
    for (int w = 0; w < kWeights; ++w)
#pragma unroll
      for (int n = 0; n < 2; ++n)
#pragma unroll
        for (int e = 0; e < 4; ++e) acc[m][w][n][e] = 0.0f;
  const int pitch = C + 8;
  if (C == 128) {
#pragma unroll
    for (int k = 0; k < 8; ++k) projection_step<kWeights>(acc, lanes, 136, k);
  } else {
#pragma unroll 1
    for (int k = 0; k < C / 16; ++k) projection_step<kWeights>(acc, lanes, pitch, k);
  }
}

}  // namespace trimul
}  // namespace kestrovane
