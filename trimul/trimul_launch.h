// Launchers of the multiplicative-update kernels. Plain types only: the entry unit
// passes data pointers and sizes, the kernel unit never sees PyTorch.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

namespace kestrovane {
namespace trimul {

struct InFwdLaunch {
  const void* z;  // BF16 [rows, C], 8-byte aligned
  const float* w_ap;  // FP32 [H, C] each
  const float* w_ag;
  const float* w_bp;
  const float* w_bg;
  const float* w_g;
  const float* mask;   // FP32 [rows]
  const float* gamma;  // FP32 [C], 16-byte aligned
  const float* beta;
  int64_t rows;
  int64_t NN;
  int C;
  int H;
  void* a;  // BF16 [B*H, NN]
  void* b;
  void* g;       // BF16 [rows, H]
  float* mean;   // FP32 [rows]
  float* rstd;
  void* zln;  // BF16 [rows, C], or null: not saved
};

struct OutFwdLaunch {
  const void* x;      // BF16 [B*H, NN], 16-byte aligned
  const float* wz;    // FP32 [C, H]
  const void* gate;   // BF16 [rows, C], 4-byte aligned
  const float* gamma;  // FP32 [H]
  const float* beta;
  int64_t rows;
  int64_t NN;
  int C;
  int H;
  void* out;    // BF16 [rows, C]
  void* xln;    // BF16 [H, rows], or null: none of xln, mean and rstd is written
  float* mean;  // FP32 [rows]
  float* rstd;
};

// The kernels, for cudaFuncSetAttribute.
const void* in_fwd_kernel();
const void* out_fwd_kernel();

// Queue one launch on `stream`; the caller reads cudaGetLastError.
void launch_in_fwd(const InFwdLaunch& launch, int grid_x, int grid_y, int smem_bytes, cudaStream_t stream);
void launch_out_fwd(const OutFwdLaunch& launch, int grid_x, int smem_bytes, cudaStream_t stream);

}  // namespace trimul
}  // namespace kestrovane
