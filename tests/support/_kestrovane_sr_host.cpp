// Test-only helper module (never part of a deliverable): the single-reconstruction backward's
// pure host logic, bound so that tests call the plan, wave and layout functions directly.
#include <pybind11/stl.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "common/module.h"
#include "dq_dbias/sr_plan.h"

namespace {

namespace py = pybind11;
namespace sr = kestrovane::sr;

// The walk as the launcher sees it: ("slab", b0, nb, q0, active_rows, reads_state,
// writes_state) before the group waves of each slab, ("wave", b0, nb, q0, g0, ng, wave_pairs,
// accumulate) per wave.
py::list waves(int64_t B, int64_t O, int64_t N, int64_t slab_rows, int64_t groups_per_wave,
               int64_t batches_per_wave) {
  py::list events;
  sr::walk_waves(
      B, O, N, slab_rows, groups_per_wave, batches_per_wave,
      [&](int64_t b0, int64_t nb, const sr::Slab& s) {
        events.append(py::make_tuple("slab", b0, nb, s.q0, s.active_rows, s.reads_state, s.writes_state));
      },
      [&](const sr::Wave& w) {
        events.append(py::make_tuple("wave", w.b0, w.nb, w.slab.q0, w.g0, w.ng, w.wave_pairs, w.accumulate));
      });
  return events;
}

std::tuple<int64_t, int64_t, int64_t, bool> leaf_grid(int64_t wave_pairs, int64_t key_blocks, int64_t H) {
  const sr::LeafGrid g = sr::leaf_grid(wave_pairs, key_blocks, H);
  return {g.x, g.y, g.z, g.key_blocks_on_x};
}

py::dict leaf_layout(int tier) {
  const sr::LeafLayout l = sr::leaf_layout(tier);
  return py::dict(py::arg("k") = l.k, py::arg("v") = l.v, py::arg("q") = std::vector<int>{l.q[0], l.q[1]},
                  py::arg("d_output") = std::vector<int>{l.d_output[0], l.d_output[1]}, py::arg("ds") = l.ds,
                  py::arg("bias") = std::vector<int>{l.bias[0], l.bias[1]}, py::arg("mask") = l.mask,
                  py::arg("dbias") = l.dbias, py::arg("total") = l.total);
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_sr_host, m) {
  m.def("plan_valid", &sr::plan_valid, "(B, O, N, slab_rows, groups_per_wave, batches_per_wave)");
  m.def("sequence_in_key_blocks", &sr::sequence_in_key_blocks);
  m.def("head_dim_served", &sr::head_dim_served);
  m.def("head_dim_tier", &sr::head_dim_tier);
  m.def("state_elements", &sr::state_elements, "(q_numel, N, slab_rows)");
  m.def("saturated_heads", &sr::saturated_heads);
  m.def("waves", &waves, "The launch order of slabs and waves");
  m.def("wave_fits_grid", &sr::wave_fits_grid);
  m.def("leaf_grid", &leaf_grid, "(x, y, z, KeyBlocksOnX) of a leaf launch");
  m.def("leaf_layout", &leaf_layout, "Byte offsets of the leaf's shared memory");
  m.def("leaf_shared_bytes", &sr::leaf_shared_bytes);
  m.def("reduce_vectors_whole", &sr::reduce_vectors_whole);
  m.def("reduce_grid", &sr::reduce_grid, "blocks of the dQ reduce from ceil(vectors / 256)");
}
