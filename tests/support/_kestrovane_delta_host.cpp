// Test-only helper module (never part of a deliverable): the delta module's pure host
// logic, bound so that the tests check it against an independent computation.
#include "common/module.h"
#include "delta/delta_plan.h"

KESTROVANE_MODULE(_kestrovane_delta_host, m) {
  namespace delta = kestrovane::delta;
  m.attr("ROWS_PER_BLOCK") = delta::kRowsPerBlock;
  m.attr("THREADS_PER_BLOCK") = delta::kThreadsPerBlock;
  m.attr("MAX_INT_EXTENT") = delta::kMaxIntExtent;
  m.attr("MAX_ROWS") = delta::kMaxRows;
  m.def("grid_blocks", &delta::grid_blocks, "Blocks on grid x for a number of rows");
  m.def("memory_row", &delta::memory_row, "Memory row of d_output that a delta row reads");
}
