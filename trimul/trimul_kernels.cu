// The multiplicative-update module's device code. Every kernel of the module is compiled
// in this one translation unit so that the module carries a single sm_90a cubin.
#include "trimul/trimul_in_fwd.cuh"
#include "trimul/trimul_launch.h"
#include "trimul/trimul_out_fwd.cuh"

namespace kestrovane {
namespace trimul {

namespace {

const __nv_bfloat16* bf16_in(const void* p) { return static_cast<const __nv_bfloat16*>(p); }
__nv_bfloat16* bf16_out(void* p) { return static_cast<__nv_bfloat16*>(p); }

}  // namespace

const void* in_fwd_kernel() { return reinterpret_cast<const void*>(&trimul_in_fwd_kernel); }
const void* out_fwd_kernel() { return reinterpret_cast<const void*>(&trimul_out_fwd_kernel); }

void launch_in_fwd(const InFwdLaunch& p, int grid_x, int grid_y, int smem_bytes, cudaStream_t stream) {
  trimul_in_fwd_kernel<<<dim3(grid_x, grid_y, 1), kBlockThreads, smem_bytes, stream>>>(
      bf16_in(p.z), p.w_ap, p.w_ag, p.w_bp, p.w_bg, p.w_g, p.mask, p.gamma, p.beta, p.rows, p.NN, p.C, p.H,
      bf16_out(p.a), bf16_out(p.b), bf16_out(p.g), p.mean, p.rstd, bf16_out(p.zln));
}

void launch_out_fwd(const OutFwdLaunch& p, int grid_x, int smem_bytes, cudaStream_t stream) {
  trimul_out_fwd_kernel<<<dim3(grid_x, 1, 1), kBlockThreads, smem_bytes, stream>>>(
      bf16_in(p.x), p.wz, bf16_in(p.gate), p.gamma, p.beta, p.rows, p.NN, p.C, p.H, bf16_out(p.out), bf16_out(p.xln),
      p.mean, p.rstd);
}

}  // namespace trimul
}  // namespace kestrovane
