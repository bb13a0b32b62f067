// Test-only helper module (never part of a deliverable): the dQ/dBias module's pure host
// logic, bound so that tests call the plan functions directly.
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/module.h"
#include "dq_dbias/dq_plan.h"

namespace {

namespace dq = kestrovane::dq;
namespace py = pybind11;

int64_t value_or_raise(const dq::Sized& r, const char* what) {
  if (!r.ok()) {
    throw std::runtime_error(dq::size_error_message(r.error, what));
  }
  return r.value;
}

int64_t positive_ceil_div(int64_t a, int64_t b) { return value_or_raise(dq::positive_ceil_div(a, b), ""); }

int64_t checked_positive_product(int64_t a, int64_t b, const std::string& what) {
  return value_or_raise(dq::checked_positive_product(a, b), what.c_str());
}

int64_t workspace_elements(int64_t groups_per_wave, int64_t batches_per_wave, int64_t H, int64_t slab_rows,
                           int64_t N) {
  return value_or_raise(dq::workspace_elements(groups_per_wave, batches_per_wave, H, slab_rows, N), "workspace plan");
}

const char* lane_name(dq::Lane lane) {
  switch (lane) {
    case dq::Lane::warpgroup:
      return "warpgroup";
    case dq::Lane::exact_tiles:
      return "exact_tiles";
    case dq::Lane::general:
      return "general";
  }
  return "";
}

// (HeadDimTier, lane of the lane table, lane whose launcher runs the call)
std::tuple<int, std::string, std::string> lane(int64_t D, int64_t N, int64_t slab_rows) {
  const dq::LaneChoice choice = dq::choose_lane(D, N, slab_rows);
  return {choice.tier, lane_name(choice.lane), lane_name(dq::served_lane(choice.lane))};
}

py::dict wave_record(const dq::LeafWave& w) {
  return py::dict(py::arg("b0") = w.b0, py::arg("nb") = w.nb, py::arg("q0") = w.q0,
                  py::arg("active_rows") = w.active_rows, py::arg("slab_tiles") = w.slab_tiles, py::arg("g0") = w.g0,
                  py::arg("ng") = w.ng, py::arg("wave_pairs") = w.wave_pairs, py::arg("slab_elems") = w.slab_elems,
                  py::arg("finalize_blocks") = w.finalize_blocks,
                  py::arg("grid") = std::make_tuple(w.grid_x, w.grid_y, w.grid_z),
                  py::arg("query_tiles_on_x") = w.query_tiles_on_x, py::arg("full_query_tiles") = w.full_query_tiles,
                  py::arg("square_pair") = w.square_pair, py::arg("accumulate") = w.accumulate);
}

// The launches of one call in order, and the message that stopped the walk (None when none
// did). With `fail_at` = i the i-th visit reports a leaf launch failure.
std::pair<py::list, std::optional<std::string>> waves(int N, int O, int H, int B, int slab_rows, int groups_per_wave,
                                                       int batches_per_wave, bool exact_tiles, int64_t limit,
                                                       int64_t fail_at) {
  py::list launched;
  int64_t visits = 0;
  const dq::WavePlan plan{N, O, H, B, slab_rows, groups_per_wave, batches_per_wave, exact_tiles};
  const dq::WaveStatus status = dq::walk_waves(plan, [&](const dq::LeafWave& w) {
    if (visits++ == fail_at) {
      return dq::WaveError::leaf_launch;
    }
    if (static_cast<int64_t>(launched.size()) < limit) {
      launched.append(wave_record(w));
    }
    return dq::WaveError::none;
  });
  if (status.error == dq::WaveError::none) {
    return {launched, std::nullopt};
  }
  return {launched, dq::wave_error_message(status)};
}

py::dict broadcast_plan(const std::vector<int64_t>& target, const std::vector<int64_t>& bias) {
  const dq::PrefixPlanResult r = dq::broadcast_plan(target, bias);
  if (r.error != dq::PrefixError::none) {
    throw std::runtime_error(dq::prefix_error_message(r.error));
  }
  const dq::PrefixBroadcastPlan& p = r.plan;
  return py::dict(py::arg("rank") = p.rank,
                  py::arg("target_dims") = std::vector<int32_t>(p.target_dims, p.target_dims + dq::kMaxPrefixRank),
                  py::arg("bias_dims") = std::vector<int32_t>(p.bias_dims, p.bias_dims + dq::kMaxPrefixRank),
                  py::arg("bias_strides") = std::vector<int64_t>(p.bias_strides, p.bias_strides + dq::kMaxPrefixRank),
                  py::arg("T") = r.target_count, py::arg("bias_count") = r.bias_count);
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dq_dbias_host, m) {
  m.def("positive_ceil_div", &positive_ceil_div);
  m.def("checked_positive_product", &checked_positive_product);
  m.def("within_grid_contract", &dq::within_grid_contract);
  m.def("plan_within_limits", &dq::plan_within_limits, "(O, B, slab_rows, groups_per_wave, batches_per_wave)");
  m.def("launcher_plan_valid", &dq::launcher_plan_valid, "(O, B, slab_rows, groups_per_wave, batches_per_wave)");
  m.def("outer_groups", &dq::outer_groups);
  m.def("workspace_elements", &workspace_elements);
  m.def("head_dim_supported", &dq::head_dim_supported);
  m.def("lane", &lane, "(HeadDimTier, lane, served lane) of (head_dim, N, slab_rows)");
  m.def("leaf_shared_bytes", &dq::leaf_shared_bytes);
  m.def("waves", &waves, py::arg("N"), py::arg("O"), py::arg("H"), py::arg("B"), py::arg("slab_rows"),
        py::arg("groups_per_wave"), py::arg("batches_per_wave"), py::arg("exact_tiles"),
        py::arg("limit") = INT64_MAX, py::arg("fail_at") = -1);
  m.def("broadcast_plan", &broadcast_plan);
  m.def("broadcast_grid", &dq::broadcast_grid);
}
