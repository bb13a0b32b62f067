// Pure host logic of the delta module: its size limits, its grid and the map from a
// delta row to a memory row of d_output. Plain C++ with no PyTorch or CUDA types, so
// the entry, the kernel and the host tests share these definitions.
#pragma once

#include <cstdint>

#include "common/host_device.h"

namespace kestrovane {
namespace delta {

// One warp owns one row; a block holds eight warps.
constexpr int kRowsPerBlock = 8;
constexpr int kThreadsPerBlock = 32 * kRowsPerBlock;

// The kernels take D, I and J as int.
constexpr int64_t kMaxIntExtent = 2147483647;
// Grid x is ceil(rows / 8) and must stay within 2^31 - 1.
constexpr int64_t kMaxRows = kRowsPerBlock * kMaxIntExtent;

constexpr int64_t grid_blocks(int64_t rows) { return (rows + kRowsPerBlock - 1) / kRowsPerBlock; }

// d_output is [d0, d1, I, J, D] (attention: [B, O, N, H, D]) while delta is ordered
// [d0, d1, J, I] ([B, O, H, N], the order of the log-sum-exp). Returns the memory row of
// d_output (its elements start at memory_row * D) that delta row `row` reads. I, J >= 1.
KESTROVANE_HOST_DEVICE inline int64_t memory_row(int64_t row, int I, int J) {
  const int64_t per_outer = static_cast<int64_t>(I) * J;
  const int64_t outer = row / per_outer;
  const int64_t rest = row - outer * per_outer;
  const int64_t j = rest / I;
  const int64_t i = rest - j * I;
  return (outer * I + i) * J + j;
}

}  // namespace delta
}  // namespace kestrovane
