// Launch geometry of the forward attention kernels and the choice of kernel family.
// Plain C++: the launchers and the host tests use the same functions.
#pragma once

#include <cstdint>
#include <type_traits>

namespace kestrovane {
namespace forward {

// One block of four warps computes 64 query rows; keys stream in tiles of 64.
constexpr int kForwardThreads = 128;
constexpr int kForwardTileRows = 64;
// Grid y and z are 16-bit in the CUDA grid contract.
constexpr int64_t kMaxGridYZ = 65535;
// The TMA kernels address a slice (b, o, h) by a signed 32-bit tensor-map coordinate.
constexpr int64_t kMaxTmaSlices = 2147483647;

struct ForwardGeometry {
  unsigned grid_x;
  unsigned grid_y;
  unsigned grid_z;
  bool query_tiles_on_x;  // grid x counts query tiles, grid z batch-outer pairs; else swapped
  bool full_tiles;        // N is a multiple of 64: no row or key guards
  bool square_pair;       // N == O: the kernel splits the batch-outer index by N
};

// The entry guarantees N, O, B >= 1, H <= 65535, N <= 65535 * 64 and B*O <= 2^31-1, so every
// grid dimension fits whichever way the orientation goes.
inline ForwardGeometry forward_geometry(int N, int O, int H, int B) {
  const int64_t batch_outer = int64_t{B} * O;
  const unsigned query_tiles = static_cast<unsigned>((N + kForwardTileRows - 1) / kForwardTileRows);
  const bool on_x = batch_outer <= kMaxGridYZ;
  const unsigned pairs = static_cast<unsigned>(batch_outer);
  return {on_x ? query_tiles : pairs, static_cast<unsigned>(H), on_x ? pairs : query_tiles,
          on_x, N % kForwardTileRows == 0, N == O};
}

// Calls fn(QueryTilesOnX, FullTiles, SquarePair) with the geometry's flags as
// std::bool_constant values, so that each of the eight combinations names its own
// kernel instantiation.
template <class Fn>
decltype(auto) with_forward_flags(const ForwardGeometry& g, Fn&& fn) {
  auto square = [&](auto on_x, auto full) -> decltype(auto) {
    return g.square_pair ? fn(on_x, full, std::true_type{}) : fn(on_x, full, std::false_type{});
  };
  auto full = [&](auto on_x) -> decltype(auto) {
    return g.full_tiles ? square(on_x, std::true_type{}) : square(on_x, std::false_type{});
  };
  return g.query_tiles_on_x ? full(std::true_type{}) : full(std::false_type{});
}

// Which launcher serves a head dimension (a multiple of 8, at most 128): the smallest
// tier that holds it, and the TMA family only when D is exactly 16, 32 or 64 and the
// slice count fits its tensor-map coordinate.
struct ForwardDispatch {
  int tier;
  bool tma;
};

inline ForwardDispatch forward_dispatch(int D, int64_t slices) {
  const int tier = D <= 16 ? 16 : D <= 32 ? 32 : D <= 64 ? 64 : 128;
  return {tier, D == tier && tier != 128 && slices <= kMaxTmaSlices};
}

}  // namespace forward
}  // namespace kestrovane
