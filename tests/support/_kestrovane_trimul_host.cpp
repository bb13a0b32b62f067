// Test-only helper module (never part of a deliverable): the multiplicative-update
// module's pure host logic and launch checks, bound so that the tests check them against
// an independent computation.
#include <pybind11/stl.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "common/module.h"
#include "trimul/trimul_launch_checks.h"
#include "trimul/trimul_plan.h"

namespace {

namespace trimul = kestrovane::trimul;

std::tuple<int64_t, int64_t> in_fwd_grid(int64_t rows, int H, int64_t sms) {
  const trimul::Grid2 grid = trimul::checked_row_block_grid(rows, H, sms, "trimul_in");
  return {grid.x, grid.y};
}

// The elements that the channel-major stores and loads touch for the segment of tile rows
// first .. first + 7 of channel h: whether it moves as one 16-byte piece, and the element
// index of each real row, stepped from the segment's first row as the kernels step it.
std::tuple<bool, std::vector<int64_t>> segment_elements(int64_t row0, int first, int64_t rows, int64_t NN, int64_t h,
                                                        int64_t H) {
  const trimul::Segment segment =
      trimul::channel_major_segment(trimul::tile_pair_position(row0, NN), row0, first, rows, NN, h, H);
  std::vector<int64_t> indices;
  trimul::PairPosition at = segment.at;
  for (int k = 0; k < trimul::kSegmentRows && row0 + first + k < rows; ++k) {
    indices.push_back(trimul::channel_major_index(at, h, H, NN));
    at = trimul::next_pair_position(at, NN);
  }
  return {segment.whole, indices};
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_trimul_host, m) {
  m.attr("IN_FWD_SMEM_MAX") = trimul::kInFwdSmemMax;
  m.attr("OUT_FWD_SMEM_MAX") = trimul::kOutFwdSmemMax;
  m.def("in_fwd_smem_bytes", &trimul::in_fwd_smem_bytes, "Dynamic shared memory of the input stage for C");
  m.def("out_fwd_smem_bytes", &trimul::out_fwd_smem_bytes, "Dynamic shared memory of the output stage for C, H");
  m.def("in_fwd_grid", &in_fwd_grid, "(x, y) of the input stage's grid, checked against the grid-y limit");
  m.def("out_fwd_grid_x", &trimul::out_fwd_grid_x, "Blocks of the output stage's grid");
  m.def("require_dynamic_shared_memory", &trimul::require_dynamic_shared_memory,
        "Refuses a device whose opt-in shared-memory limit is below the kernel's maximum");
  m.def("require_multiprocessors", &trimul::require_multiprocessors,
        "Refuses a device that reports no multiprocessors");
  m.def("segment_elements", &segment_elements, "Whole flag and element indices of one channel-major segment");
}
