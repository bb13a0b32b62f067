// Test-only helper module (never part of a deliverable): the dK/dV module's pure host
// logic, bound so that tests call the plan functions directly.
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "common/module.h"
#include "dkdv/dkdv_plan.h"

namespace {

namespace dkdv = kestrovane::dkdv;

std::tuple<int, bool, int, bool> flags(int64_t B, int64_t O, int64_t H, int64_t N, int64_t D) {
  const dkdv::Flags f = dkdv::derive_flags(B, O, H, N, D);
  return {f.tier, f.use_tma, f.seq_tail, f.square_pair};
}

std::tuple<int64_t, int64_t, int64_t, bool> grid(int64_t B, int64_t O, int64_t H, int64_t N) {
  const dkdv::Grid g = dkdv::grid_for(B, O, H, N);
  return {g.x, g.y, g.z, g.key_blocks_on_x};
}

uint32_t scale_bits(int D) {
  const float scale = dkdv::softmax_scale(D);
  uint32_t bits;
  std::memcpy(&bits, &scale, sizeof(bits));
  return bits;
}

pybind11::dict tma_layout(int tier) {
  namespace py = pybind11;
  const dkdv::TmaLayout l = dkdv::tma_layout(tier);
  return py::dict(py::arg("k_block") = l.k_block, py::arg("v_block") = l.v_block,
                  py::arg("q_tile") = std::vector<int>{l.q_tile[0], l.q_tile[1]},
                  py::arg("do_tile") = std::vector<int>{l.do_tile[0], l.do_tile[1]}, py::arg("partials") = l.partials,
                  py::arg("kv_bytes") = l.kv_bytes, py::arg("tile_bytes") = l.tile_bytes);
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dkdv_host, m) {
  m.def("within_grid_contract", &dkdv::within_grid_contract);
  m.def("head_dim_supported", &dkdv::head_dim_supported);
  m.def("flags", &flags, "(HeadDimTier, UseTma, SeqTail, SquarePair) of a call");
  m.def("grid", &grid, "(x, y, z, KeyBlocksOnX) of the dK/dV launch");
  m.def("shared_bytes", &dkdv::shared_bytes);
  m.def("key_blocks", &dkdv::key_blocks);
  m.def("scale_bits", &scale_bits);
  m.def("covers", &dkdv::covers, "numel >= rows * blocks, without overflow");
  m.def("fold_grid", &dkdv::fold_grid);
  m.def("fits_grid_x", &dkdv::fits_grid_x);
  m.def("tma_layout", &tma_layout, "Shared-memory layout of the TMA path");
}
