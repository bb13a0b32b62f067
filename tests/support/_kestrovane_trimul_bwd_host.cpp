// Test-only helper module (never part of a deliverable): the multiplicative update's backward
// host logic (row chunks, tiles, groups, partial indices, grids), bound so that tests call the
// plan functions directly.
#include <cstdint>
#include <tuple>

#include "common/module.h"
#include "trimul/trimul_bwd_checks.h"
#include "trimul/trimul_bwd_plan.h"
#include "trimul/trimul_launch_checks.h"

namespace {

namespace trimul = kestrovane::trimul;

std::tuple<int64_t, int64_t, int64_t> as_tuple(const trimul::Grid& g) { return {g.x, g.y, g.z}; }

std::tuple<int64_t, int64_t, int64_t, int64_t> transpose_plan(int64_t N, int64_t B) {
  const trimul::TransposePlan p = trimul::transpose_plan(N, B);
  return {p.NN, p.tiles, p.chunks, p.chunks_per_group};
}

std::tuple<int64_t, int64_t> group_chunks(int group, int64_t chunks, int64_t chunks_per_group) {
  const trimul::ChunkRange r = trimul::group_chunks(group, chunks, chunks_per_group);
  return {r.begin, r.end};
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_trimul_bwd_host, m) {
  m.attr("MAX_ELEMENT_TOTAL") = trimul::kMaxSigmoidElements;
  m.attr("MAX_LN_ROWS") = trimul::kMaxLayerNormRows;
  m.attr("FOLD_GROUPS") = trimul::kFoldGroups;
  m.attr("GATE_SPLIT_MAX_SMEM_BYTES") = trimul::kGateSplitMaxSmemBytes;
  m.def("dgb_rows_per_chunk", &trimul::dgb_rows_per_chunk);
  m.def("dgb_chunks", &trimul::dgb_chunks);
  m.def("checked_dgb_plan", [](int64_t rows, int64_t sms) {
    const trimul::DgbPlan p = trimul::checked_dgb_plan(rows, sms, "ln_bwd_dgb");
    return std::tuple<int64_t, int64_t>{p.rows_per_chunk, p.chunks};
  });
  m.def("transpose_plan", &transpose_plan);
  m.def("group_chunks", &group_chunks);
  m.def("dgamma_partial", &trimul::dgamma_partial);
  m.def("dbeta_partial", &trimul::dbeta_partial);
  m.def("transpose_smem_bytes", &trimul::transpose_smem_bytes);
  m.def("gate_split_smem_bytes", &trimul::gate_split_smem_bytes);
  m.def("sig_mul_grid", [](int64_t total) { return as_tuple(trimul::sig_mul_grid(total)); });
  m.def("ln_dx_grid", [](int64_t rows) { return as_tuple(trimul::ln_dx_grid(rows)); });
  m.def("dgb_partial_grid", [](int64_t C, int64_t chunks) { return as_tuple(trimul::dgb_partial_grid(C, chunks)); });
  m.def("dgb_fold_grid", [](int64_t C) { return as_tuple(trimul::dgb_fold_grid(C)); });
  m.def("transpose_grid",
        [](int64_t N, int64_t B) { return as_tuple(trimul::transpose_grid(trimul::transpose_plan(N, B), B)); });
  m.def("group_fold_grid", [](int64_t H) { return as_tuple(trimul::group_fold_grid(H)); });
  m.def("wgrad_fold_grid", [](int64_t MC) { return as_tuple(trimul::wgrad_fold_grid(MC)); });
  // the gate split sizes and checks its persistent grid as the input stage does
  m.def("gate_split_grid", [](int H, int64_t rows, int64_t sms) {
    const trimul::Grid2 g = trimul::checked_row_block_grid(rows, H, sms, "trimul_gate_split_bwd");
    return std::tuple<int64_t, int64_t, int64_t>{g.x, g.y, 1};
  });
}
