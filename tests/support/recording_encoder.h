// Test-only (never part of a deliverable): a cuTensorMapEncodeTiled stand-in that records
// the arguments of its last call and answers a scripted CUresult, so that the host tests of
// the TMA paths check every descriptor without a driver. One copy per test module.
#pragma once

#include <cuda.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace kestrovane_testing {

struct EncodeCall {
  int data_type;
  unsigned rank;
  std::uintptr_t address;
  std::vector<uint64_t> dims;
  std::vector<uint64_t> strides;
  std::vector<uint32_t> box;
  std::vector<uint32_t> element_strides;
  int interleave;
  int swizzle;
  int l2_promotion;
  int oob_fill;
};

inline EncodeCall last_call;
inline CUresult scripted_result = CUDA_SUCCESS;

inline CUresult recording_encoder(CUtensorMap* map, CUtensorMapDataType data_type, cuuint32_t rank, void* address,
                                  const cuuint64_t* dims, const cuuint64_t* strides, const cuuint32_t* box,
                                  const cuuint32_t* element_strides, CUtensorMapInterleave interleave,
                                  CUtensorMapSwizzle swizzle, CUtensorMapL2promotion l2_promotion,
                                  CUtensorMapFloatOOBfill oob_fill) {
  std::memset(map, 0, sizeof(*map));
  last_call = {static_cast<int>(data_type),
               rank,
               reinterpret_cast<std::uintptr_t>(address),
               std::vector<uint64_t>(dims, dims + rank),
               std::vector<uint64_t>(strides, strides + rank - 1),
               std::vector<uint32_t>(box, box + rank),
               std::vector<uint32_t>(element_strides, element_strides + rank),
               static_cast<int>(interleave),
               static_cast<int>(swizzle),
               static_cast<int>(l2_promotion),
               static_cast<int>(oob_fill)};
  return scripted_result;
}

// The last call's arguments by name (dimensions innermost first, byte strides).
inline pybind11::dict last_call_arguments() {
  namespace py = pybind11;
  return py::dict(py::arg("data_type") = last_call.data_type, py::arg("rank") = last_call.rank,
                  py::arg("address") = last_call.address, py::arg("dims") = last_call.dims,
                  py::arg("strides") = last_call.strides, py::arg("box") = last_call.box,
                  py::arg("element_strides") = last_call.element_strides, py::arg("interleave") = last_call.interleave,
                  py::arg("swizzle") = last_call.swizzle, py::arg("l2_promotion") = last_call.l2_promotion,
                  py::arg("oob_fill") = last_call.oob_fill);
}

}  // namespace kestrovane_testing
