// The multiplicative-update module's device code. Every kernel of the module is compiled
// in this one translation unit so that the module carries a single sm_90a cubin.
#include "common/kernel_launch.cuh"
#include "trimul/trimul_bwd_kernels.cuh"
#include "trimul/trimul_bwd_launch.h"
#include "trimul/trimul_gate_split_bwd.cuh"
#include "trimul/trimul_in_fwd.cuh"
#include "trimul/trimul_launch.h"
#include "trimul/trimul_out_fwd.cuh"

namespace kestrovane {
namespace trimul {

namespace {

const __nv_bfloat16* bf16_in(const void* p) { return static_cast<const __nv_bfloat16*>(p); }
__nv_bfloat16* bf16_out(void* p) { return static_cast<__nv_bfloat16*>(p); }
dim3 to_dim3(const Grid& g) {
  return dim3(static_cast<unsigned>(g.x), static_cast<unsigned>(g.y), static_cast<unsigned>(g.z));
}

}  // namespace

const void* in_fwd_kernel() { return reinterpret_cast<const void*>(&trimul_in_fwd_kernel); }
const void* out_fwd_kernel() { return reinterpret_cast<const void*>(&trimul_out_fwd_kernel); }

void launch_in_fwd(const InFwdLaunch& p, int grid_x, int grid_y, int smem_bytes, cudaStream_t stream) {
  kestrovane::launch_kernel(trimul_in_fwd_kernel, dim3(grid_x, grid_y, 1), kBlockThreads, smem_bytes, stream,
                            bf16_in(p.z), p.w_ap, p.w_ag, p.w_bp, p.w_bg, p.w_g, p.mask, p.gamma, p.beta, p.rows, p.NN,
                            p.C, p.H, bf16_out(p.a), bf16_out(p.b), bf16_out(p.g), p.mean, p.rstd, bf16_out(p.zln));
}

void launch_out_fwd(const OutFwdLaunch& p, int grid_x, int smem_bytes, cudaStream_t stream) {
  kestrovane::launch_kernel(trimul_out_fwd_kernel, dim3(grid_x, 1, 1), kBlockThreads, smem_bytes, stream, bf16_in(p.x),
                            p.wz, bf16_in(p.gate), p.gamma, p.beta, p.rows, p.NN, p.C, p.H, bf16_out(p.out),
                            bf16_out(p.xln), p.mean, p.rstd);
}

// Backward launchers; grids come from the host plan, whose extents the entries have bounded.

const void* gate_split_bwd_kernel() { return reinterpret_cast<const void*>(&trimul_gate_split_bwd_kernel); }

void launch_gate_split_bwd(const GateSplitBwdLaunch& l, int grid_x, int grid_y, int smem_bytes, cudaStream_t stream) {
  kestrovane::launch_kernel(trimul_gate_split_bwd_kernel, dim3(grid_x, grid_y, 1), kBlockThreads, smem_bytes, stream,
                            bf16_in(l.zln), l.w_ap, l.w_ag, l.w_bp, l.w_bg, l.mask, bf16_in(l.d_a), bf16_in(l.d_b),
                            l.rows, l.NN, l.C, l.H, bf16_out(l.d_proj5));
}

void launch_sig_mul_bwd(const SigMulBwdLaunch& l, cudaStream_t stream) {
  kestrovane::launch_kernel(sig_mul_bwd_out_kernel, to_dim3(sig_mul_grid(l.total)), kBlockThreads, 0, stream,
                            bf16_in(l.out), bf16_in(l.gate), bf16_in(l.grad_out), l.total, l.H, l.dgate_stride,
                            bf16_out(l.d_x), bf16_out(l.dgate_dst));
}

void launch_ln_bwd_dx(const LnBwdDxLaunch& l, cudaStream_t stream) {
  kestrovane::launch_kernel(ln_bwd_dx_kernel, to_dim3(ln_dx_grid(l.rows)), kBlockThreads, 0, stream, bf16_in(l.input),
                            bf16_in(l.grad_out), l.rows, l.C, l.row_stride, 1, l.gamma, l.mean, l.rstd, bf16_out(l.dx));
}

void launch_ln_bwd_dgb_partial(const LnBwdDgbLaunch& l, cudaStream_t stream) {
  kestrovane::launch_kernel(ln_bwd_dgb_partial_kernel, to_dim3(dgb_partial_grid(l.C, l.chunks)), kReduceThreads, 0,
                            stream, bf16_in(l.input), bf16_in(l.grad_out), l.rows, l.C, l.row_stride, 1,
                            l.rows_per_chunk, l.mean, l.rstd, l.partials);
}

void launch_ln_bwd_dgb_fold(const DgbFoldLaunch& l, cudaStream_t stream) {
  kestrovane::launch_kernel(ln_bwd_dgb_fold_kernel, to_dim3(dgb_fold_grid(l.C)), kReduceThreads, 0, stream, l.partials,
                            l.count, l.C, l.dgamma, l.dbeta);
}

void launch_transpose_ln_bwd(const TransposeLnBwdLaunch& l, cudaStream_t stream) {
  kestrovane::launch_kernel(transpose_ln_bwd_kernel, to_dim3(transpose_grid(l.plan, l.B)), kBlockThreads,
                            transpose_smem_bytes(l.H), stream, bf16_in(l.x), bf16_in(l.d_xln), l.plan.NN, l.H, l.gamma,
                            l.mean, l.rstd, bf16_out(l.dx), l.partials);
}

void launch_ln_bwd_dgb_group_fold(const TransposeLnBwdLaunch& l, cudaStream_t stream) {
  kestrovane::launch_kernel(ln_bwd_dgb_group_fold_kernel, to_dim3(group_fold_grid(l.H)), kReduceThreads, 0, stream,
                            l.partials, static_cast<int>(l.plan.chunks), l.H, static_cast<int>(l.plan.chunks_per_group),
                            l.group_partials);
}

void launch_wgrad_fixed_fold(const WgradFoldLaunch& l, cudaStream_t stream) {
  const dim3 grid = to_dim3(wgrad_fold_grid(l.MC));
  if (l.overwrite) {
    kestrovane::launch_kernel(trimul_wgrad_fixed_fold_kernel<true>, grid, kBlockThreads, 0, stream, l.partials,
                              l.chunks, l.MC, l.accumulator);
  } else {
    kestrovane::launch_kernel(trimul_wgrad_fixed_fold_kernel<false>, grid, kBlockThreads, 0, stream, l.partials,
                              l.chunks, l.MC, l.accumulator);
  }
}

}  // namespace trimul
}  // namespace kestrovane
