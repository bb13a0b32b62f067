// Test-only helper module (never part of a deliverable): the forward module's
// pure host logic, bound so that tests call it directly, and the shared-memory
// opt-in helper run against a stand-in for the two runtime calls it makes.
#include <cuda_runtime_api.h>

#include <cstdint>
#include <tuple>

#include "common/launch.h"
#include "common/module.h"
#include "forward/forward_plan.h"

// A stand-in for the runtime's per-thread last error, defined in this module only
// (hidden symbols bind locally, nothing else in the process sees them). The real
// runtime cannot serve here: without a driver its initialisation error stays set,
// so a cleared error cannot be observed on a machine without a GPU.
namespace {
cudaError_t set_attribute_result = cudaSuccess;
cudaError_t last_error = cudaSuccess;
}  // namespace

extern "C" cudaError_t cudaFuncSetAttribute(const void*, cudaFuncAttribute, int) {
  if (set_attribute_result != cudaSuccess) last_error = set_attribute_result;
  return set_attribute_result;
}

extern "C" cudaError_t cudaGetLastError() {
  const cudaError_t error = last_error;
  last_error = cudaSuccess;
  return error;
}

namespace {

void not_a_kernel() {}

// Runs kestrovane::opt_in_dynamic_smem (or, with clear = false, the bare runtime
// call) against a runtime that fails with `failure`; returns the call's result
// and what cudaGetLastError reports afterwards.
std::tuple<int, int> opt_in_with_failing_runtime(int failure, bool use_helper) {
  set_attribute_result = static_cast<cudaError_t>(failure);
  last_error = cudaSuccess;
  const void* pointer = reinterpret_cast<const void*>(&not_a_kernel);
  const cudaError_t result =
      use_helper ? kestrovane::opt_in_dynamic_smem(pointer, 1 << 20)
                 : cudaFuncSetAttribute(pointer, cudaFuncAttributeMaxDynamicSharedMemorySize, 1 << 20);
  const cudaError_t after = cudaGetLastError();
  set_attribute_result = cudaSuccess;
  return {static_cast<int>(result), static_cast<int>(after)};
}

pybind11::dict forward_plan(int N, int O, int H, int B) {
  const kestrovane::forward::ForwardPlan plan = kestrovane::forward::forward_plan(N, O, H, B);
  pybind11::dict result;
  result["grid"] = std::make_tuple(plan.grid_x, plan.grid_y, plan.grid_z);
  result["query_tiles_on_x"] = plan.query_tiles_on_x;
  result["full_tiles"] = plan.full_tiles;
  result["square_pair"] = plan.square_pair;
  return result;
}

// The instantiation that with_plan_flags picks, as its three template flags.
std::tuple<bool, bool, bool> plan_instantiation(int N, int O, int H, int B) {
  return kestrovane::forward::with_plan_flags(kestrovane::forward::forward_plan(N, O, H, B),
                                              [](auto on_x, auto full, auto square) {
                                                return std::make_tuple(decltype(on_x)::value, decltype(full)::value,
                                                                       decltype(square)::value);
                                              });
}

std::tuple<int, bool> forward_dispatch(int D, int64_t slices) {
  const kestrovane::forward::ForwardDispatch dispatch = kestrovane::forward::forward_dispatch(D, slices);
  return {dispatch.tier, dispatch.tma};
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_forward_host, m) {
  namespace fwd = kestrovane::forward;
  m.def("within_grid_contract", &fwd::within_grid_contract);
  m.def("head_dim_supported", &fwd::head_dim_supported);
  m.def("head_dim_tier", &fwd::head_dim_tier);
  m.def("tma_applies", &fwd::tma_applies);
  m.def("forward_dispatch", &forward_dispatch);
  m.def("forward_plan", &forward_plan);
  m.def("plan_instantiation", &plan_instantiation);
  m.def("mma_smem_bytes", &fwd::mma_smem_bytes);
  m.def("softmax_scale", &fwd::softmax_scale);
  m.def("opt_in_with_failing_runtime", &opt_in_with_failing_runtime);
}
