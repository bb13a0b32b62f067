// Pure host logic of the multiplicative-update module: its size limits, the shared
// memory of each kernel, the persistent grids and the map from a pair row to its
// (batch, position) in the channel-major planes. Plain C++ (no PyTorch, no CUDA
// types), shared by the entry, the kernels and the host tests.
#pragma once

#include <cstdint>

#include "common/host_device.h"

namespace kestrovane {
namespace trimul {

constexpr int kBlockThreads = 256;  // eight warps
constexpr int kTileRows = 128;      // pair rows per tile of the persistent kernels
constexpr int kChannelBlock = 32;   // hidden channels per block column of the input stage
constexpr int kSegmentRows = 8;     // pair rows per 16-byte piece of a channel-major plane
constexpr int kPairTile = 32;       // pair positions per tile of the transposed LayerNorm

constexpr int64_t kMaxInt32 = 2147483647;
constexpr int64_t kMaxGridYZ = 65535;
// Grid-x limits of the kernels that cover rows and elements with one thread or block each.
constexpr int64_t kMaxLayerNormRows = 8 * kMaxInt32;      // 17179869176
constexpr int64_t kMaxSigmoidElements = 256 * kMaxInt32;  // 549755813632

// The caller guarantees a > 0 and b > 0.
KESTROVANE_HOST_DEVICE constexpr int64_t ceil_div_positive(int64_t a, int64_t b) { return (a - 1) / b + 1; }

constexpr bool is_channel_count(int64_t value) {
  return value == 32 || value == 64 || value == 96 || value == 128;
}

// Shared memory of trimul_in_fwd_kernel: five 32-channel weight panels and the normalised
// tile (pitch C + 8), the transposed a and b stages and the g stage.
constexpr int in_fwd_smem_bytes(int C) { return 576 * (C + 8) + 27648; }
// Shared memory of trimul_out_fwd_kernel: two channel-major x buffers, the BF16 output
// weights (pitch H + 8), gamma and beta.
constexpr int out_fwd_smem_bytes(int C, int H) { return 552 * H + 2 * C * (H + 8); }
// The opt-in size is each kernel's largest over all channel counts, whatever C the call uses.
constexpr int kInFwdSmemMax = in_fwd_smem_bytes(128);        // 105984
constexpr int kOutFwdSmemMax = out_fwd_smem_bytes(128, 128);  // 105472

struct Grid2 {
  int64_t x;
  int64_t y;
};

// trimul_in_fwd: H/32 block columns; about two blocks per multiprocessor in all, never more
// row blocks than tiles and at least one. y may exceed kMaxGridYZ; the entry refuses that.
constexpr Grid2 in_fwd_grid(int64_t rows, int H, int64_t sms) {
  const int64_t columns = H / kChannelBlock;
  const int64_t tiles = ceil_div_positive(rows, kTileRows);
  const int64_t resident = (2 * sms) / columns;
  const int64_t y = tiles < resident ? tiles : resident;
  return {columns, y <= 1 ? 1 : y};
}

// trimul_out_fwd: one row of at most twice the multiprocessor count of blocks.
constexpr int64_t out_fwd_grid_x(int64_t rows, int64_t sms) {
  const int64_t tiles = ceil_div_positive(rows, kTileRows);
  return tiles < 2 * sms ? tiles : 2 * sms;
}

// Pair row r = b * NN + p.
struct PairPosition {
  int64_t b;
  int64_t p;
};

// The (batch, position) of a tile's first row: the one division per tile.
KESTROVANE_HOST_DEVICE inline PairPosition tile_pair_position(int64_t row0, int64_t NN) {
  const int64_t b = row0 / NN;
  return {b, row0 - b * NN};
}

// Steps `rows_ahead` rows on from `start`, carrying into the following batch elements
// whenever the position reaches NN (NN may be smaller than the step).
KESTROVANE_HOST_DEVICE inline PairPosition advance_pair_position(PairPosition start, int64_t rows_ahead,
                                                                 int64_t NN) {
  PairPosition at{start.b, start.p + rows_ahead};
  if (at.p >= NN) {
    const int64_t carry = at.p / NN;
    at.b += carry;
    at.p -= carry * NN;
  }
  return at;
}

// The next row's (batch, position).
KESTROVANE_HOST_DEVICE inline PairPosition next_pair_position(PairPosition at, int64_t NN) {
  if (++at.p == NN) {
    at.p = 0;
    ++at.b;
  }
  return at;
}

// Element index of (b, h, p) in a channel-major [B*H, NN] plane set.
KESTROVANE_HOST_DEVICE inline int64_t channel_major_index(PairPosition at, int64_t h, int64_t H, int64_t NN) {
  return (at.b * H + h) * NN + at.p;
}

// Whether the eight rows first_row .. first_row + 7, the first at `at`, are all real rows,
// stay inside one batch element and start on a 16-byte boundary of a BF16 plane whose
// base is 16-byte aligned, so that they move as one 16-byte piece.
KESTROVANE_HOST_DEVICE inline bool segment_is_whole(int64_t first_row, int64_t rows, PairPosition at, int64_t NN,
                                                    int64_t first_index) {
  return first_row + kSegmentRows <= rows && at.p + kSegmentRows <= NN && first_index % kSegmentRows == 0;
}

// Segment of rows row0 + first .. + 7 of channel h, for a tile whose first row is at
// `tile_at`: the first row's (batch, position) and element index, and whether it moves whole.
struct Segment {
  PairPosition at;
  int64_t index;
  bool whole;
};

KESTROVANE_HOST_DEVICE inline Segment channel_major_segment(PairPosition tile_at, int64_t row0, int first,
                                                            int64_t rows, int64_t NN, int64_t h, int64_t H) {
  const PairPosition at = advance_pair_position(tile_at, first, NN);
  const int64_t index = channel_major_index(at, h, H, NN);
  return {at, index, segment_is_whole(row0 + first, rows, at, NN, index)};
}

}  // namespace trimul
}  // namespace kestrovane
