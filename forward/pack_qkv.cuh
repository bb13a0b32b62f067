// QKV pack: physical [batch_outer, N, H, D] rows to logical [batch_outer, H, N, D]
// rows. A pure permutation of 32-bit words (two BF16 elements each), so the
// outputs are bit-identical to the inputs.
#pragma once

#include "forward/pack_qkv.h"

#include <cuda_bf16.h>

#include "common/kernel_launch.cuh"
#include "common/ptx.cuh"

namespace {

__device__ __forceinline__ void copy_row(const __nv_bfloat16* src, __nv_bfloat16* dst, int64_t src_row,
                                         int64_t dst_row, int D) {
  const int words = D / 2;
  for (int x = threadIdx.x; x < words; x += blockDim.x) {
    const uint32_t word = kestrovane::ptx::ld_global_nc_b32(src + src_row * D + 2 * x);
    kestrovane::ptx::st_global_b32(dst + dst_row * D + 2 * x, word);
  }
}

__global__ void kestrovane_pack_qkv_kernel(const __nv_bfloat16* q_src, const __nv_bfloat16* k_src,
                                           const __nv_bfloat16* v_src, __nv_bfloat16* q_dst,
                                           __nv_bfloat16* k_dst, __nv_bfloat16* v_dst, int64_t rows, int H,
                                           int N, int D) {
  const int64_t row = static_cast<int64_t>(blockIdx.x) * blockDim.y + threadIdx.y;
  if (row >= rows) return;
  const int64_t per_pair = static_cast<int64_t>(N) * H;
  const int64_t bo = row / per_pair;
  const int64_t rest = row % per_pair;
  const int64_t h = rest / N;
  const int64_t n = rest % N;
  const int64_t src = (bo * N + n) * H + h;
  copy_row(q_src, q_dst, src, row, D);
  copy_row(k_src, k_dst, src, row, D);
  copy_row(v_src, v_dst, src, row, D);
}

}  // namespace

namespace kestrovane {
namespace forward {

void launch_pack_qkv(const PackLaunch& p, cudaStream_t stream) {
  const dim3 grid(static_cast<unsigned>((p.rows + kPackRowsPerBlock - 1) / kPackRowsPerBlock), 1, 1);
  const dim3 block(static_cast<unsigned>(p.D / 2), kPackRowsPerBlock, 1);
  kestrovane::launch_kernel(kestrovane_pack_qkv_kernel, grid, block, 0, stream,
                            static_cast<const __nv_bfloat16*>(p.q_src), static_cast<const __nv_bfloat16*>(p.k_src),
                            static_cast<const __nv_bfloat16*>(p.v_src), static_cast<__nv_bfloat16*>(p.q_dst),
                            static_cast<__nv_bfloat16*>(p.k_dst), static_cast<__nv_bfloat16*>(p.v_dst), p.rows, p.H,
                            p.N, p.D);
}

}  // namespace forward
}  // namespace kestrovane
