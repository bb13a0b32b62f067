// The dK/dV launch arguments from the entry's tensors. Host code with PyTorch types, for the
// entry unit (and the test-only module that runs the cp.async kernels); never included by a
// kernel unit.
#pragma once

#include <ATen/core/Tensor.h>

#include "common/backward_tensors.h"
#include "dkdv/dkdv_launch.h"

namespace kestrovane {
namespace dkdv {

// Data pointers and sizes of a call whose tensors have been checked: the sizes are read from
// q [B,O,H,N,D], each within int under the grid contract.
inline DkdvLaunch launch_arguments(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                   const at::Tensor& d_output, const at::Tensor& logsumexp, const at::Tensor& delta,
                                   const at::Tensor& mask, const at::Tensor& bias, at::Tensor& out_dk,
                                   at::Tensor& out_dv, float* partials) {
  return DkdvLaunch{backward_inputs(q, k, v, d_output, logsumexp, delta, mask, bias),
                    out_dk.mutable_data_ptr(),
                    out_dv.mutable_data_ptr(),
                    partials,
                    static_cast<int>(q.size(3)),
                    static_cast<int>(q.size(1)),
                    static_cast<int>(q.size(2)),
                    static_cast<int>(q.size(0)),
                    static_cast<int>(q.size(4))};
}

}  // namespace dkdv
}  // namespace kestrovane
