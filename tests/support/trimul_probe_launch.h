// Test-only: the launcher of the projection probe kernels (tests/support/_kestrovane_trimul_probe*).
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

namespace kestrovane {
namespace trimul {

struct ProbeWeights {
  const float* w[5];  // FP32 [H, C] each; the first `count` are used
};

// out: FP32 [rows, count, H], the projections of every row through each weight.
cudaError_t launch_probe_projections(const void* zln, const ProbeWeights& w, int count, int64_t rows, int C, int H,
                                     float* out, cudaStream_t stream);

}  // namespace trimul
}  // namespace kestrovane
