// Launchers of the multiplicative update's backward kernels. Plain types only, so the entry
// unit does not see device code and the kernel unit does not see PyTorch. Each launcher
// queues one kernel on `stream` and returns; the entry reads cudaGetLastError after it.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime_api.h>

#include <cstdint>

#include "trimul/trimul_bwd_plan.h"

namespace kestrovane {
namespace trimul {

struct SigMulBwdLaunch {
  const __nv_bfloat16* out;       // [rows, H]
  const __nv_bfloat16* gate;      // [rows, H]
  const __nv_bfloat16* grad_out;  // [rows, H]
  int64_t total;                  // rows * H, 1 to kMaxElementTotal
  int H;
  int64_t dgate_stride;           // row stride of dgate_dst, >= H
  __nv_bfloat16* d_x;             // [rows, H], contiguous
  __nv_bfloat16* dgate_dst;       // [rows, H], strides [dgate_stride, 1]
};

struct LnBwdDxLaunch {
  const __nv_bfloat16* input;     // [rows, C]
  const __nv_bfloat16* grad_out;  // [rows, C]
  int64_t rows;                   // 1 to kMaxLnRows
  int C;
  int64_t row_stride;             // C
  const float* gamma;             // [C]
  const float* mean;              // [rows]
  const float* rstd;              // [rows]
  __nv_bfloat16* dx;              // [rows, C]
};

struct LnBwdDgbLaunch {
  const __nv_bfloat16* input;     // [rows, C]
  const __nv_bfloat16* grad_out;  // [rows, C]
  int64_t rows;
  int C;
  int64_t row_stride;             // C
  int64_t rows_per_chunk;
  int64_t chunks;                 // 1 to 65535
  const float* mean;
  const float* rstd;
  float* partials;                // [2 * chunks, C]
};

// The final fold: `count` interleaved partial pairs of C channels into dgamma and dbeta.
struct DgbFoldLaunch {
  const float* partials;          // [2 * count, C]
  int count;
  int C;
  float* dgamma;                  // [C]
  float* dbeta;                   // [C]
};

struct TransposeLnBwdLaunch {
  const __nv_bfloat16* x;         // [B * H, NN], channel-major
  const __nv_bfloat16* d_xln;     // [B * NN, H]
  TransposePlan plan;
  int B;
  int H;
  const float* gamma;             // [H]
  const float* mean;              // [B * NN]
  const float* rstd;              // [B * NN]
  __nv_bfloat16* dx;              // [B * H, NN]
  float* partials;                // [2 * chunks, H]
  float* group_partials;          // [2 * kFoldGroups, H]
};

struct WgradFoldLaunch {
  const float* partials;          // [chunks, M, C]
  int chunks;
  int64_t MC;                     // 1 to kMaxElementTotal
  float* accumulator;             // [M, C]
  bool overwrite;
};

void launch_sig_mul_bwd(const SigMulBwdLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dx(const LnBwdDxLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dgb_partial(const LnBwdDgbLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dgb_fold(const DgbFoldLaunch& launch, cudaStream_t stream);
void launch_transpose_ln_bwd(const TransposeLnBwdLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dgb_group_fold(const TransposeLnBwdLaunch& launch, cudaStream_t stream);
void launch_wgrad_fixed_fold(const WgradFoldLaunch& launch, cudaStream_t stream);

}  // namespace trimul
}  // namespace kestrovane
