// The backward entries' check of the row chunks that ln_bwd_dgb sizes from the device's
// multiprocessor count. It takes the count as a plain number, so the host tests drive it.
#pragma once

#include <c10/util/Exception.h>

#include <cstdint>

#include "trimul/trimul_bwd_plan.h"

namespace kestrovane {
namespace trimul {

struct DgbPlan {
  int64_t rows_per_chunk;
  int64_t chunks;
};

// rows >= 1 and sms >= 1; the chunks are grid y of the partial kernel.
inline DgbPlan checked_dgb_plan(int64_t rows, int64_t sms, const char* fn) {
  const int64_t rows_per_chunk = dgb_rows_per_chunk(rows, sms);
  const int64_t chunks = dgb_chunks(rows, rows_per_chunk);
  TORCH_CHECK(chunks <= kDgbMaxChunks, fn, ": reduction chunks exceed the production grid-y limit");
  return {rows_per_chunk, chunks};
}

}  // namespace trimul
}  // namespace kestrovane
