// The dQ/dBias launch record from the entry's tensors. Host code with PyTorch types, for the
// entry unit and the lane launchers it includes; never included by a kernel unit.
#pragma once

#include <ATen/core/Tensor.h>

#include "common/backward_tensors.h"
#include "dq_dbias/dq_launch.h"

namespace kestrovane {
namespace dq {

// Data pointers of a call whose tensors have been checked, with its sizes and plan.
inline DqLaunch launch_arguments(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                 const at::Tensor& d_output, const at::Tensor& logsumexp, const at::Tensor& delta,
                                 const at::Tensor& mask, const at::Tensor& bias, at::Tensor& out_dq,
                                 at::Tensor& out_dbias, at::Tensor& workspace, int N, int O, int H, int B,
                                 int slab_rows, int groups_per_wave, int batches_per_wave, int head_dim,
                                 float scale) {
  return DqLaunch{backward_inputs(q, k, v, d_output, logsumexp, delta, mask, bias),
                  out_dq.mutable_data_ptr(),
                  out_dbias.mutable_data_ptr<float>(),
                  workspace.mutable_data_ptr(),
                  N,
                  O,
                  H,
                  B,
                  slab_rows,
                  groups_per_wave,
                  batches_per_wave,
                  head_dim,
                  scale};
}

}  // namespace dq
}  // namespace kestrovane
