// Definitions of the backward launchers declared in trimul_bwd_launch.h, for the one kernel
// unit that includes this header. Grids come from the host plan; the entries have bounded
// every extent that sets a grid dimension.
#pragma once

#include "trimul/trimul_bwd_kernels.cuh"
#include "trimul/trimul_bwd_launch.h"

namespace kestrovane {
namespace trimul {

namespace {
dim3 to_dim3(const Grid& g) {
  return dim3(static_cast<unsigned>(g.x), static_cast<unsigned>(g.y), static_cast<unsigned>(g.z));
}
}  // namespace

void launch_sig_mul_bwd(const SigMulBwdLaunch& l, cudaStream_t stream) {
  sig_mul_bwd_out_kernel<<<to_dim3(sig_mul_grid(l.total)), kElementThreads, 0, stream>>>(
      l.out, l.gate, l.grad_out, l.total, l.H, l.dgate_stride, l.d_x, l.dgate_dst);
}

void launch_ln_bwd_dx(const LnBwdDxLaunch& l, cudaStream_t stream) {
  ln_bwd_dx_kernel<<<to_dim3(ln_dx_grid(l.rows)), kLnDxThreads, 0, stream>>>(
      l.input, l.grad_out, l.rows, l.C, l.row_stride, 1, l.gamma, l.mean, l.rstd, l.dx);
}

void launch_ln_bwd_dgb_partial(const LnBwdDgbLaunch& l, cudaStream_t stream) {
  ln_bwd_dgb_partial_kernel<<<to_dim3(dgb_partial_grid(l.C, l.chunks)), kReduceThreads, 0, stream>>>(
      l.input, l.grad_out, l.rows, l.C, l.row_stride, 1, l.rows_per_chunk, l.mean, l.rstd, l.partials);
}

void launch_ln_bwd_dgb_fold(const DgbFoldLaunch& l, cudaStream_t stream) {
  ln_bwd_dgb_fold_kernel<<<to_dim3(dgb_fold_grid(l.C)), kReduceThreads, 0, stream>>>(l.partials, l.count, l.C,
                                                                                     l.dgamma, l.dbeta);
}

void launch_transpose_ln_bwd(const TransposeLnBwdLaunch& l, cudaStream_t stream) {
  transpose_ln_bwd_kernel<<<to_dim3(transpose_grid(l.plan, l.B)), kTransposeThreads, transpose_smem_bytes(l.H),
                            stream>>>(l.x, l.d_xln, l.plan.NN, l.H, l.gamma, l.mean, l.rstd, l.dx, l.partials);
}

void launch_ln_bwd_dgb_group_fold(const TransposeLnBwdLaunch& l, cudaStream_t stream) {
  ln_bwd_dgb_group_fold_kernel<<<to_dim3(group_fold_grid(l.H)), kReduceThreads, 0, stream>>>(
      l.partials, static_cast<int>(l.plan.chunks), l.H, static_cast<int>(l.plan.chunks_per_group),
      l.group_partials);
}

void launch_wgrad_fixed_fold(const WgradFoldLaunch& l, cudaStream_t stream) {
  const dim3 grid = to_dim3(wgrad_fold_grid(l.MC));
  if (l.overwrite) {
    trimul_wgrad_fixed_fold_kernel<true><<<grid, kElementThreads, 0, stream>>>(l.partials, l.chunks, l.MC,
                                                                               l.accumulator);
  } else {
    trimul_wgrad_fixed_fold_kernel<false><<<grid, kElementThreads, 0, stream>>>(l.partials, l.chunks, l.MC,
                                                                                l.accumulator);
  }
}

}  // namespace trimul
}  // namespace kestrovane
