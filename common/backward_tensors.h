// The backward inputs of an entry's checked tensors. Host code with PyTorch types, for entry
// units and test-only modules; never included by a kernel unit.
#pragma once

#include <ATen/core/Tensor.h>

#include "common/backward_inputs.h"

namespace kestrovane {

inline BackwardInputs backward_inputs(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      const at::Tensor& d_output, const at::Tensor& logsumexp,
                                      const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias) {
  return BackwardInputs{q.const_data_ptr(),
                        k.const_data_ptr(),
                        v.const_data_ptr(),
                        d_output.const_data_ptr(),
                        logsumexp.const_data_ptr<float>(),
                        delta.const_data_ptr<float>(),
                        mask.const_data_ptr<float>(),
                        bias.const_data_ptr()};
}

}  // namespace kestrovane
