// Pure host logic of the attention forward: size limits, head-dimension tiers,
// the choice of kernel family, and the launch plan of one call. Plain C++ (no
// PyTorch, no CUDA types), shared by the entry, the launchers and the tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace kestrovane {
namespace forward {

constexpr int kTileRows = 64;        // query rows per block, keys per key tile
constexpr int kBlockThreads = 128;   // four warps of 16 query rows each
constexpr int64_t kMaxGridYZ = 65535;
constexpr int64_t kMaxInt32 = 2147483647;
// Query tiles go on grid z when the batch-outer count takes grid x.
constexpr int64_t kMaxSequence = kMaxGridYZ * kTileRows;  // 4194240

// B, O, N and D positive 32-bit ints, H on grid y, N/64 query tiles on grid z
// and B*O on grid x in either orientation.
constexpr bool within_grid_contract(int64_t B, int64_t O, int64_t H, int64_t N, int64_t D) {
  const auto positive_int = [](int64_t x) { return x >= 1 && x <= kMaxInt32; };
  return positive_int(B) && positive_int(O) && positive_int(N) && positive_int(D) && H >= 1 &&
         H <= kMaxGridYZ && N <= kMaxSequence && B * O <= kMaxInt32;
}

// Head dimensions 8, 16, ..., 128 (D >= 1 is already guaranteed by the grid contract).
constexpr bool head_dim_supported(int D) { return D % 8 == 0 && D <= 128; }

// The smallest tier that holds D; columns from D up to the tier read as zero.
constexpr int head_dim_tier(int D) { return D <= 16 ? 16 : D <= 32 ? 32 : D <= 64 ? 64 : 128; }

// The TMA family serves only head dimensions equal to its tiers 16, 32 and 64,
// and addresses a slice by a signed 32-bit tensor-map coordinate.
constexpr bool tma_applies(int D, int64_t slices) {
  return (D == 16 || D == 32 || D == 64) && slices <= kMaxInt32;
}

struct ForwardDispatch {
  int tier;
  bool tma;  // launch_forward_tma<tier>, else launch_forward<tier>
};

constexpr ForwardDispatch forward_dispatch(int D, int64_t slices) {
  return {head_dim_tier(D), tma_applies(D, slices)};
}

struct ForwardPlan {
  uint32_t grid_x;
  uint32_t grid_y;
  uint32_t grid_z;
  bool query_tiles_on_x;  // grid x counts query tiles, grid z batch-outer pairs; swapped when false
  bool full_tiles;        // N is a multiple of 64: no sequence-tail guards
  bool square_pair;       // N == O: the kernel splits batch-outer indices by N
};

// Sizes as the entry guarantees them (within_grid_contract).
constexpr ForwardPlan forward_plan(int N, int O, int H, int B) {
  const uint32_t query_tiles = static_cast<uint32_t>((N + kTileRows - 1) / kTileRows);
  const int64_t batch_outer = int64_t{B} * O;
  const bool on_x = batch_outer <= kMaxGridYZ;
  const uint32_t bo = static_cast<uint32_t>(batch_outer);
  const uint32_t heads = static_cast<uint32_t>(H);
  return {on_x ? query_tiles : bo, heads, on_x ? bo : query_tiles, on_x, N % kTileRows == 0, N == O};
}

// cp.async kernel: Q staging plus two stages of K and V, 64 rows each, with a row
// pitch of tier + 8 BF16 elements.
constexpr int mma_smem_bytes(int tier) { return 5 * kTileRows * (tier + 8) * 2; }

// Computed in FP32 from the runtime head dimension and multiplied, never divided.
inline float softmax_scale(int D) { return 1.0f / std::sqrt(static_cast<float>(D)); }

// Calls f(std::bool_constant<QueryTilesOnX>, std::bool_constant<FullTiles>,
// std::bool_constant<SquarePair>) for the plan's flags: one branch per kernel instantiation.
template <typename F>
decltype(auto) with_plan_flags(const ForwardPlan& plan, F&& f) {
  const auto square = [&](auto on_x, auto full) -> decltype(auto) {
    return plan.square_pair ? f(on_x, full, std::true_type{}) : f(on_x, full, std::false_type{});
  };
  const auto tail = [&](auto on_x) -> decltype(auto) {
    return plan.full_tiles ? square(on_x, std::true_type{}) : square(on_x, std::false_type{});
  };
  return plan.query_tiles_on_x ? tail(std::true_type{}) : tail(std::false_type{});
}

}  // namespace forward
}  // namespace kestrovane
