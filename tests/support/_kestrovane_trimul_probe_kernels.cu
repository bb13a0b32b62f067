// Test-only kernels (never part of a deliverable): the projections of the multiplicative
// update exactly as a projecting kernel forms them, written out in FP32. A block stages the
// panel of its 32-channel band with stage_weight_panel<K> (K = 5: the input stage's layout;
// K = 4: the gate split's), loads one 128-row tile of saved normalised rows as the gate split
// does, and runs project_rows<K>. The GPU tests compare the FP32 bits of both layouts.
#include "trimul/trimul_gate_split_bwd.cuh"
#include "tests/support/trimul_probe_launch.h"

namespace {

template <int kWeights>
__global__ void __launch_bounds__(kestrovane::trimul::kBlockThreads)
    probe_projections_kernel(const __nv_bfloat16* zln, kestrovane::trimul::ProbeWeights w, int64_t rows, int C, int H,
                             float* out) {
  using namespace kestrovane;
  using namespace kestrovane::trimul;
  extern __shared__ __align__(16) unsigned char probe_smem[];
  const int pitch = C + 8;
  auto* panel = reinterpret_cast<__nv_bfloat16*>(probe_smem);
  __nv_bfloat16* tile = panel + 2 * kWeights * 16 * pitch;
  const float* weights[kWeights];
#pragma unroll
  for (int k = 0; k < kWeights; ++k) weights[k] = w.w[k];
  const int64_t channel0 = static_cast<int64_t>(blockIdx.x) * kChannelBlock;
  stage_weight_panel<kWeights>(panel, weights, channel0, C);
  const int64_t r0 = static_cast<int64_t>(blockIdx.y) * kTileRows;
  load_zln_tile(tile, zln, r0, rows, C, true);
  ptx::cp_async_wait<0>();
  __syncthreads();
  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
  ProjectionAcc<kWeights> acc;
  project_rows<kWeights>(acc, warp_projection_lanes<kWeights>(ptx::smem_address(tile), ptx::smem_address(panel),
                                                              pitch, warp, lane),
                         C);
#pragma unroll
  for (int m = 0; m < 2; ++m)
#pragma unroll
    for (int k = 0; k < kWeights; ++k)
#pragma unroll
      for (int n = 0; n < 2; ++n)
#pragma unroll
        for (int e = 0; e < 4; ++e) {
          const int64_t r = r0 + 32 * (warp % 4) + 16 * m + lane / 4 + 8 * (e / 2);
          const int64_t h = channel0 + 16 * (warp / 4) + 8 * n + 2 * (lane % 4) + e % 2;
          if (r < rows) out[(r * kWeights + k) * H + h] = acc[m][k][n][e];
        }
}

template <int kWeights>
cudaError_t launch(const __nv_bfloat16* zln, const kestrovane::trimul::ProbeWeights& w, int64_t rows, int C, int H,
                   float* out, cudaStream_t stream) {
  const int smem = (2 * kWeights * 16 + 128) * (C + 8) * 2;
  const cudaError_t status = cudaFuncSetAttribute(probe_projections_kernel<kWeights>,
                                                  cudaFuncAttributeMaxDynamicSharedMemorySize, smem);
  if (status != cudaSuccess) return status;
  const dim3 grid(H / 32, static_cast<unsigned>((rows + 127) / 128), 1);
  probe_projections_kernel<kWeights><<<grid, kestrovane::trimul::kBlockThreads, smem, stream>>>(zln, w, rows, C, H,
                                                                                                 out);
  return cudaGetLastError();
}

}  // namespace

namespace kestrovane {
namespace trimul {

cudaError_t launch_probe_projections(const void* zln, const ProbeWeights& w, int count, int64_t rows, int C, int H,
                                     float* out, cudaStream_t stream) {
  const auto* z = static_cast<const __nv_bfloat16*>(zln);
  return count == 5 ? launch<5>(z, w, rows, C, H, out, stream) : launch<4>(z, w, rows, C, H, out, stream);
}

}  // namespace trimul
}  // namespace kestrovane
