// The entries' checks of the values that only the device reports (its opt-in shared
// memory, its multiprocessor count) and of the persistent grids sized from them. They
// take the reported values as plain numbers, so the host tests drive them directly.
#pragma once

#include <c10/util/Exception.h>

#include <cstdint>

#include "trimul/trimul_plan.h"

namespace kestrovane {
namespace trimul {

inline void require_dynamic_shared_memory(int bytes, int limit, const char* fn) {
  TORCH_CHECK(limit >= bytes, fn, ": requires ", bytes, " bytes of dynamic shared memory, but device limit is ",
              limit);
}

inline int64_t require_multiprocessors(int sms, const char* fn) {
  TORCH_CHECK(sms >= 1, fn, ": device reports no streaming multiprocessors");
  return sms;
}

// The grid of a kernel with H/32 block columns and persistent row blocks on y; `label`
// names the kernel in the overflow message.
inline Grid2 checked_row_block_grid(int64_t rows, int H, int64_t sms, const char* label) {
  const Grid2 grid = in_fwd_grid(rows, H, sms);
  TORCH_CHECK(grid.y <= kMaxGridYZ, label, ": grid.y overflow");
  return grid;
}

}  // namespace trimul
}  // namespace kestrovane
