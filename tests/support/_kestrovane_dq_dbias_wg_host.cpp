// Test-only helper module (never part of a deliverable): the pure host logic of the
// warpgroup lane of dQ/dBias, bound so that tests call the plan, layout and wave functions
// directly.
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/module.h"
#include "dq_dbias/wg_lane.h"
#include "dq_dbias/wg_plan.h"

namespace {

namespace py = pybind11;
namespace dq = kestrovane::dq;

void check_tier(int tier) { TORCH_CHECK(tier == 16 || tier == 32 || tier == 64, "tier must be 16, 32 or 64"); }

py::dict layout(int tier) {
  check_tier(tier);
  const dq::WgLayout l = dq::wg_layout(tier);
  return py::dict(py::arg("q_tiles") = l.q_tiles, py::arg("do_tiles") = l.do_tiles, py::arg("kv_tiles") = l.kv_tiles,
                  py::arg("bias") = l.bias, py::arg("mask") = l.mask, py::arg("ds") = l.ds, py::arg("total") = l.total,
                  py::arg("query_tile_bytes") = l.query_tile_bytes, py::arg("kv_row_stride") = l.kv_row_stride,
                  py::arg("v_offset") = l.v_offset);
}

uint32_t tile_byte(int tier, uint32_t row, uint32_t col) {
  check_tier(tier);
  return dq::wg_tile_byte(tier, row, col);
}

uint64_t operand_descriptor(int tier, uint32_t tile, int step) {
  check_tier(tier);
  // as the kernels' score products address k-step `step` of a tile
  return kestrovane::wgmma_descriptor(kestrovane::swizzle_for_row(tier), tile + 32u * static_cast<uint32_t>(step));
}

// The waves of a call as the launcher walks them, and the message it would raise ("" when
// none). With fail_after >= 0 the wave of that index reports a failed leaf launch.
std::tuple<std::vector<py::dict>, std::string> waves(int N, int O, int H, int B, int slab_rows, int groups_per_wave,
                                                     int batches_per_wave, int fail_after) {
  std::vector<py::dict> out;
  const dq::WgSizes sizes{N, O, H, B, slab_rows, groups_per_wave, batches_per_wave};
  const dq::WgStatus status = dq::walk_wg_waves(sizes, [&](const dq::WgWave& w) {
    out.push_back(py::dict(
        py::arg("b0") = w.b0, py::arg("nb") = w.nb, py::arg("q0") = w.q0, py::arg("active_rows") = w.active_rows,
        py::arg("slab_blocks") = w.slab_blocks, py::arg("slab_elems") = w.slab_elems,
        py::arg("finalizer_blocks") = w.finalizer_blocks, py::arg("g0") = w.g0, py::arg("ng") = w.ng,
        py::arg("wave_pairs") = w.wave_pairs, py::arg("query_tiles_on_x") = w.query_tiles_on_x,
        py::arg("square_pair") = w.square_pair, py::arg("accumulate") = w.accumulate,
        py::arg("grid") = std::vector<uint32_t>{w.grid_x, w.grid_y, w.grid_z}));
    return static_cast<int>(out.size()) - 1 == fail_after ? dq::WgFailure::leaf_launch : dq::WgFailure::none;
  });
  return {out, dq::wg_failure_message(status)};
}

// Only the first wave (and the failure that stops the walk): for plans too large to list.
std::tuple<py::object, std::string> first_wave(int N, int O, int H, int B, int slab_rows, int groups_per_wave,
                                               int batches_per_wave) {
  py::object first = py::none();
  const dq::WgSizes sizes{N, O, H, B, slab_rows, groups_per_wave, batches_per_wave};
  const dq::WgStatus status = dq::walk_wg_waves(sizes, [&](const dq::WgWave& w) {
    first = py::dict(py::arg("slab_blocks") = w.slab_blocks, py::arg("slab_elems") = w.slab_elems,
                     py::arg("finalizer_blocks") = w.finalizer_blocks, py::arg("wave_pairs") = w.wave_pairs,
                     py::arg("query_tiles_on_x") = w.query_tiles_on_x,
                     py::arg("grid") = std::vector<uint32_t>{w.grid_x, w.grid_y, w.grid_z});
    return dq::WgFailure::leaf_launch;  // stop after one wave
  });
  return {first, status.failure == dq::WgFailure::leaf_launch ? "" : dq::wg_failure_message(status)};
}

// The lane's launcher as the entry calls it, with tensors of the caller's choosing (fake ones
// in the tests) and no finalizer: it raises from its plan checks, its opt-in or its waves.
void launch_wg(int tier, const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& d_output,
               const at::Tensor& logsumexp, const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
               at::Tensor& out_dq, at::Tensor& out_dbias, at::Tensor& workspace, int N, int O, int H, int B,
               int slab_rows, int groups_per_wave, int batches_per_wave, int head_dim) {
  check_tier(tier);
  const auto no_finalizer = [](const dq::DqLaunch&, const dq::WgWave&) {};
  const auto run = [&](auto tier_constant) {
    dq::run_wg_lane<decltype(tier_constant)::value>(q, k, v, d_output, logsumexp, delta, mask, bias, out_dq,
                                                    out_dbias, workspace, N, O, H, B, slab_rows, groups_per_wave,
                                                    batches_per_wave, head_dim, nullptr, no_finalizer);
  };
  tier == 16 ? run(std::integral_constant<int, 16>{})
  : tier == 32 ? run(std::integral_constant<int, 32>{})
               : run(std::integral_constant<int, 64>{});
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dq_dbias_wg_host, m) {
  m.def("plan_valid", &dq::wg_plan_valid, "The warpgroup launcher's plan check (N, O, B, slab_rows, gpw, bpw)");
  m.def("shared_bytes", [](int tier) { check_tier(tier); return dq::wg_shared_bytes(tier); });
  m.def("layout", &layout, "Shared-memory byte offsets of one tier");
  m.def("tile_byte", &tile_byte, "Byte offset of BF16 element (row, col) in a swizzled tile of one tier");
  m.def("operand_descriptor", &operand_descriptor, "wgmma descriptor of k-step `step` of a tile at a byte address");
  m.def("waves", &waves, "Every wave of a call and the failure that stops the walk");
  m.def("launch_wg", &launch_wg, "The warpgroup launcher of one tier, without finalizer");
  m.def("first_wave", &first_wave, "The first wave of a call, or the failure raised before it");
}
