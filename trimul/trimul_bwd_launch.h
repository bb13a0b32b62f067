// Launchers of the multiplicative update's backward kernels. Plain types only, so the entry
// unit does not see device code and the kernel unit does not see PyTorch. Each launcher
// queues one kernel on `stream` and returns; the entry reads cudaGetLastError after it.
// BF16 tensors travel as untyped pointers, as in the forward launchers.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

#include "trimul/trimul_bwd_plan.h"

namespace kestrovane {
namespace trimul {

struct GateSplitBwdLaunch {
  const void* zln;                // BF16 [rows, C], 16-byte aligned
  const float* w_ap;              // FP32 [H, C] each
  const float* w_ag;
  const float* w_bp;
  const float* w_bg;
  const float* mask;              // FP32 [rows]
  const void* d_a;                // BF16 [B * H, NN], 16-byte aligned
  const void* d_b;
  int64_t rows;
  int64_t NN;
  int C;
  int H;
  void* d_proj5;                  // BF16 [rows, 5 * H], 16-byte aligned
};

struct SigMulBwdLaunch {
  const void* out;       // [rows, H]
  const void* gate;      // [rows, H]
  const void* grad_out;  // [rows, H]
  int64_t total;                  // rows * H, 1 to kMaxSigmoidElements
  int H;
  int64_t dgate_stride;           // row stride of dgate_dst, >= H
  void* d_x;             // [rows, H], contiguous
  void* dgate_dst;       // [rows, H], strides [dgate_stride, 1]
};

struct LnBwdDxLaunch {
  const void* input;     // [rows, C]
  const void* grad_out;  // [rows, C]
  int64_t rows;                   // 1 to kMaxLayerNormRows
  int C;
  int64_t row_stride;             // C
  const float* gamma;             // [C]
  const float* mean;              // [rows]
  const float* rstd;              // [rows]
  void* dx;              // [rows, C]
};

struct LnBwdDgbLaunch {
  const void* input;     // [rows, C]
  const void* grad_out;  // [rows, C]
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
  const void* x;         // [B * H, NN], channel-major
  const void* d_xln;     // [B * NN, H]
  TransposePlan plan;
  int B;
  int H;
  const float* gamma;             // [H]
  const float* mean;              // [B * NN]
  const float* rstd;              // [B * NN]
  void* dx;              // [B * H, NN]
  float* partials;                // [2 * chunks, H]
  float* group_partials;          // [2 * kFoldGroups, H]
};

struct WgradFoldLaunch {
  const float* partials;          // [chunks, M, C]
  int chunks;
  int64_t MC;                     // 1 to kMaxSigmoidElements
  float* accumulator;             // [M, C]
  bool overwrite;
};

// The gate-split kernel, for cudaFuncSetAttribute.
const void* gate_split_bwd_kernel();

void launch_gate_split_bwd(const GateSplitBwdLaunch& launch, int grid_x, int grid_y, int smem_bytes,
                           cudaStream_t stream);
void launch_sig_mul_bwd(const SigMulBwdLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dx(const LnBwdDxLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dgb_partial(const LnBwdDgbLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dgb_fold(const DgbFoldLaunch& launch, cudaStream_t stream);
void launch_transpose_ln_bwd(const TransposeLnBwdLaunch& launch, cudaStream_t stream);
void launch_ln_bwd_dgb_group_fold(const TransposeLnBwdLaunch& launch, cudaStream_t stream);
void launch_wgrad_fixed_fold(const WgradFoldLaunch& launch, cudaStream_t stream);

}  // namespace trimul
}  // namespace kestrovane
