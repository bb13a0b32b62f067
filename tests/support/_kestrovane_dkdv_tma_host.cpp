// Test-only module (never part of a deliverable): the host side of the dK/dV TMA path
// without a GPU. The four builders encode through an injected encoder that records its
// arguments, failures are raised as the dK/dV entries raise them, and the driver lookup
// runs for real (no driver on a CPU machine).
#include <cstdint>
#include <string>

#include "common/launch.h"
#include "common/module.h"
#include "common/smem_layout.h"
#include "common/tensor_map.h"
#include "dkdv/dkdv_tma_host.h"
#include "tests/support/recording_encoder.h"

namespace {

namespace py = pybind11;
namespace dkdv = kestrovane::dkdv;
using kestrovane::LaunchResult;
using kestrovane::TensorMapEncoder;

// Runs the builder named `which` ("q", "dO", "k" or "v") as the entry calls it for a call
// with these sizes (slices = batch_outer * H), then raises the entry's message on failure.
void build(const std::string& which, TensorMapEncoder encode, int D, int N, int H, int64_t batch_outer,
           std::uintptr_t address) {
  CUtensorMap map;
  const void* data = reinterpret_cast<const void*>(address);
  const int64_t slices = batch_outer * H;
  LaunchResult result;
  const char* message = nullptr;
  if (which == "q") {
    result = dkdv::dkdv_make_q_map(&map, data, D, N, slices, encode);
    message = dkdv::kQMapFailed;
  } else if (which == "dO") {
    result = dkdv::dkdv_make_do_map(&map, data, D, N, H, batch_outer, encode);
    message = dkdv::kDoMapFailed;
  } else {
    TORCH_CHECK(which == "k" || which == "v", "unknown map ", which);
    result = dkdv::dkdv_make_kv_block_map(&map, data, D, N, slices, encode);
    message = dkdv::kKvMapFailed;
  }
  TORCH_CHECK(result.ok(), dkdv::map_failure_message(result, message));
}

// The arguments that the builder hands to the driver.
py::dict map_arguments(const std::string& which, int D, int N, int H, int64_t batch_outer, std::uintptr_t address) {
  kestrovane_testing::scripted_result = CUDA_SUCCESS;
  build(which, &kestrovane_testing::recording_encoder, D, N, H, batch_outer, address);
  return kestrovane_testing::last_call_arguments();
}

// Encodes with an encoder that answers `code` (or with none when `code` is negative).
void map_with_result(const std::string& which, int code) {
  kestrovane_testing::scripted_result = static_cast<CUresult>(code < 0 ? 0 : code);
  const TensorMapEncoder encode = code < 0 ? nullptr : &kestrovane_testing::recording_encoder;
  try {
    build(which, encode, 64, 40, 3, 5, 0x1000);
  } catch (...) {
    kestrovane_testing::scripted_result = CUDA_SUCCESS;
    throw;
  }
  kestrovane_testing::scripted_result = CUDA_SUCCESS;
}

// The entry's first builder with the encoder that the module resolves through the runtime
// (the driver encodes without touching the address).
bool resolve_driver_encoder() {
  build("q", dkdv::dkdv_tensor_map_encode_fn(), 64, 40, 3, 5, 0x1000);
  return true;
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dkdv_tma_host, m) {
  m.def("map_arguments", &map_arguments, "Arguments of one dK/dV tensor-map encode");
  m.def("map_with_result", &map_with_result, "Encode with an encoder that returns a code (none when negative)");
  m.def(
      "swizzled_row_byte",
      [](int span, uint32_t row) {
        TORCH_CHECK(span == 32 || span == 64 || span == 128, "span must be 32, 64 or 128 bytes");
        return kestrovane::swizzled_row_byte(kestrovane::swizzle_for_row(span / 2), row);
      },
      "Byte offset of chunk 0 of a row in a swizzled tile");
  m.def("resolve_driver_encoder", &resolve_driver_encoder, "Resolve cuTensorMapEncodeTiled and encode the q map");
}
