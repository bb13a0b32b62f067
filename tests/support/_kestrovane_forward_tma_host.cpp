// Test-only module (never part of a deliverable): the host side of the TMA forward path
// without a GPU. Tensor maps are encoded through an injected encoder that records its
// arguments, failures are raised as the forward entries raise them, and the driver lookup
// runs for real (no driver on a CPU machine) or through a scripted lookup.
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/module.h"
#include "common/smem_layout.h"
#include "common/tensor_map.h"
#include "forward/forward_tma_host.h"
#include "tests/support/recording_encoder.h"

namespace {

namespace py = pybind11;
using kestrovane::LaunchFailure;
using kestrovane::LaunchResult;
using kestrovane::Swizzle;

using kestrovane_testing::recording_encoder;
using kestrovane_testing::scripted_result;

// The arguments make_kv_tensor_map hands to the driver for a k or v tensor at `address`.
py::dict kv_tensor_map_arguments(int HD, int N, int64_t slices, std::uintptr_t address) {
  scripted_result = CUDA_SUCCESS;
  CUtensorMap map;
  const LaunchResult result = kestrovane::forward::make_kv_tensor_map(
      &map, reinterpret_cast<const void*>(address), HD, N, slices, &recording_encoder);
  TORCH_CHECK(result.ok(), kestrovane::forward::forward_launch_failure_message(result, true));
  return kestrovane_testing::last_call_arguments();
}

// Encodes with an encoder that answers `code`, then raises as the entry does.
void kv_tensor_map_with_result(int HD, int code) {
  scripted_result = static_cast<CUresult>(code);
  CUtensorMap map;
  const LaunchResult result =
      kestrovane::forward::make_kv_tensor_map(&map, reinterpret_cast<const void*>(0x1000), HD, 64, 1,
                                              &recording_encoder);
  scripted_result = CUDA_SUCCESS;
  TORCH_CHECK(result.ok(), kestrovane::forward::forward_launch_failure_message(result, true));
}

// Resolves the driver's encoder through the runtime and encodes one map with it (the driver
// encodes without touching the address), raising as the entry does.
bool resolve_driver_encoder() {
  CUtensorMap map;
  const LaunchResult result = kestrovane::forward::make_kv_tensor_map(
      &map, reinterpret_cast<const void*>(0x1000), 16, 64, 1, kestrovane::tensor_map_encode_fn());
  TORCH_CHECK(result.ok(), kestrovane::forward::forward_launch_failure_message(result, true));
  return true;
}

// A lookup that fails `failures_left` times and then finds a fake encoder.
int lookups = 0;
int failures_left = 0;
bool scripted_lookup(const char* symbol, void** function) {
  ++lookups;
  *function = nullptr;
  if (std::strcmp(symbol, "cuTensorMapEncodeTiled") != 0 || failures_left-- > 0) return false;
  *function = reinterpret_cast<void*>(&recording_encoder);
  return true;
}

// For each of `calls` resolutions: whether an encoder came back and how many lookups ran so far.
std::vector<std::pair<bool, int>> scripted_resolutions(int failures, int calls) {
  lookups = 0;
  failures_left = failures;
  std::vector<std::pair<bool, int>> seen;
  for (int i = 0; i < calls; ++i) {
    const bool found = kestrovane::resolve_tensor_map_encoder<&scripted_lookup>() == &recording_encoder;
    seen.emplace_back(found, lookups);
  }
  return seen;
}

std::string launch_failure_message(int failure, int code, bool tma) {
  return kestrovane::forward::forward_launch_failure_message({static_cast<LaunchFailure>(failure), code}, tma);
}

Swizzle swizzle_of_span(int span_bytes) {
  TORCH_CHECK(span_bytes == 32 || span_bytes == 64 || span_bytes == 128, "span must be 32, 64 or 128 bytes");
  return kestrovane::swizzle_for_row(span_bytes / 2);
}

py::dict tma_layout(int HD) {
  const auto layout = kestrovane::forward::forward_tma_layout(HD);
  return py::dict(py::arg("q_staging") = layout.q_staging, py::arg("k_stage0") = layout.k_stage0,
                  py::arg("k_stage1") = layout.k_stage1, py::arg("v_stage0") = layout.v_stage0,
                  py::arg("v_stage1") = layout.v_stage1, py::arg("tile_bytes") = layout.tile_bytes,
                  py::arg("total") = layout.total);
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_forward_tma_host, m) {
  m.def("kv_tensor_map_arguments", &kv_tensor_map_arguments, "Arguments of the k/v tensor-map encode");
  m.def("kv_tensor_map_with_result", &kv_tensor_map_with_result, "Encode with an encoder that returns a code");
  m.def("resolve_driver_encoder", &resolve_driver_encoder, "Resolve cuTensorMapEncodeTiled through the runtime");
  m.def("scripted_resolutions", &scripted_resolutions, "Resolutions through a lookup that fails at first");
  m.def("launch_failure_message", &launch_failure_message, "Message for a launcher failure");
  m.def(
      "swizzled_element",
      [](int span, uint32_t row, uint32_t col) { return kestrovane::swizzled_element(swizzle_of_span(span), row, col); },
      "Element offset of (row, col) in a swizzled tile");
  m.def(
      "swizzled_chunk_byte",
      [](int span, uint32_t row, uint32_t chunk) {
        return kestrovane::swizzled_chunk_byte(swizzle_of_span(span), row, chunk);
      },
      "Byte offset of a 16-byte chunk in a swizzled tile");
  m.def(
      "wgmma_descriptor",
      [](int span, uint32_t address) { return kestrovane::wgmma_descriptor(swizzle_of_span(span), address); },
      "wgmma shared-memory descriptor of a swizzled K-major tile");
  m.def("tma_layout", &tma_layout, "Shared-memory layout of the TMA forward kernel");
}
