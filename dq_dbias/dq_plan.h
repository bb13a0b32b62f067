// Pure host logic of the dQ/dBias module: the int64 sizing utilities, the size limits,
// the lane choice, the query-slab wave walk with its grids, the shared-memory bytes and
// the broadcast reduction's plan record. Plain C++ (no PyTorch, no CUDA types), so the
// entry unit, the launchers and the host tests all run the same code.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrovane {
namespace dq {

constexpr int64_t kInt32Max = 2147483647;
constexpr int64_t kInt64Max = 9223372036854775807;
constexpr int64_t kGridYZMax = 65535;
constexpr int kQueryTile = 32;      // query rows per leaf tile
constexpr int kKeyBlock = 32;       // keys per leaf step
constexpr int kGroupRows = 4;       // outer rows per outer group, one per leaf warp
constexpr int kLeafThreads = 128;   // four warps
constexpr int kFinalizeThreads = 256;
constexpr int kBroadcastThreads = 256;
constexpr int64_t kMaxSequence = kGridYZMax * kQueryTile;  // 2097120: the query tiles fit grid z

// ---------------------------------------------------------------- int64 sizing

enum class SizeError { none, ceil_div_inputs, dimensions, overflow };

struct Sized {
  int64_t value;
  SizeError error;
  constexpr bool ok() const { return error == SizeError::none; }
};

// ceil(a / b) for positive a and b.
constexpr Sized positive_ceil_div(int64_t a, int64_t b) {
  if (a <= 0 || b <= 0) {
    return {0, SizeError::ceil_div_inputs};
  }
  return {a / b + (a % b != 0 ? 1 : 0), SizeError::none};
}

// a * b for positive a and b, refusing a product beyond INT64_MAX.
constexpr Sized checked_positive_product(int64_t a, int64_t b) {
  if (a <= 0 || b <= 0) {
    return {0, SizeError::dimensions};
  }
  if (a > kInt64Max / b) {
    return {0, SizeError::overflow};
  }
  return {a * b, SizeError::none};
}

// The next link of a left-to-right product chain: a failed link stays failed.
constexpr Sized checked_positive_product(const Sized& a, int64_t b) {
  return a.ok() ? checked_positive_product(a.value, b) : a;
}

// The sentence a failed utility raises; `what` labels a product.
inline std::string size_error_message(SizeError error, const char* what) {
  switch (error) {
    case SizeError::ceil_div_inputs:
      return "ceil-div inputs must be positive";
    case SizeError::dimensions:
      return std::string(what) + " dimensions must be positive";
    case SizeError::overflow:
      return std::string(what) + " element count overflow";
    case SizeError::none:
      break;
  }
  return {};
}

// ---------------------------------------------------------------- entry limits

// B, O, H, D and N within the grid contract: H on grid y, the 32-row query tiles of N on
// grid z (or x), B*O, and everything the launchers narrow to int.
constexpr bool within_grid_contract(int64_t B, int64_t O, int64_t H, int64_t N, int64_t D) {
  return B >= 1 && B <= kInt32Max && O >= 1 && O <= kInt32Max && H >= 1 && H <= kGridYZMax && D >= 1 &&
         D <= kInt32Max && B <= kInt32Max / O && N >= 1 && N <= kMaxSequence;
}

// ceil(O / 4), in 64 bits: O + 3 overflows int for O near 2^31.
constexpr int64_t outer_groups(int64_t O) { return (O + kGroupRows - 1) / kGroupRows; }

constexpr bool plan_within_limits(int64_t O, int64_t B, int64_t slab_rows, int64_t groups_per_wave,
                                  int64_t batches_per_wave) {
  return slab_rows >= 1 && slab_rows <= kInt32Max && groups_per_wave >= 1 && groups_per_wave <= outer_groups(O) &&
         batches_per_wave >= 1 && batches_per_wave <= B;
}

// Workspace elements of one wave: groups_per_wave x batches_per_wave x H x slab_rows x N.
constexpr Sized workspace_elements(int64_t groups_per_wave, int64_t batches_per_wave, int64_t H, int64_t slab_rows,
                                   int64_t N) {
  return checked_positive_product(
      checked_positive_product(checked_positive_product(checked_positive_product(groups_per_wave, batches_per_wave), H),
                               slab_rows),
      N);
}

constexpr bool head_dim_supported(int64_t D) { return D % 8 == 0 && D <= 128; }

// The smallest tier that holds D; columns at or beyond D read as zero.
constexpr int head_dim_tier(int64_t D) { return D <= 16 ? 16 : D <= 32 ? 32 : D <= 64 ? 64 : 128; }

// ---------------------------------------------------------------- lanes

enum class Lane { warpgroup, exact_tiles, general };

struct LaneChoice {
  int tier;
  Lane lane;
};

// The lane table: the warpgroup lane for tiers up to 64 when N and slab_rows are both whole
// 64-row blocks; otherwise the exact-tiles lane when N is whole 32-row tiles, else the
// general lane. The exact-tiles lane looks at N alone: a slab that is not whole tiles
// there is an error of its launcher, not a reason to fall back.
constexpr LaneChoice choose_lane(int64_t D, int64_t N, int64_t slab_rows) {
  const int tier = head_dim_tier(D);
  if (tier <= 64 && (N | slab_rows) % 64 == 0) {
    return {tier, Lane::warpgroup};
  }
  return {tier, N % kQueryTile != 0 ? Lane::general : Lane::exact_tiles};
}

// The lane whose launcher runs a call of `lane`: every lane of the table has its own.
constexpr Lane served_lane(Lane lane) { return lane; }

// ---------------------------------------------------------------- leaf shared memory

// Row pitch of the leaf's tiles in elements: eight elements of padding keep the rows an
// ldmatrix reads on distinct banks, and hold the block's bias tile.
constexpr int leaf_pitch(int tier) { return tier + 8; }

// Q, dO, K and V tiles (1024 rows-worth of pitch bytes over the four warps), then the FP32
// dS staging [4 warps][32 rows][32 keys].
constexpr int leaf_shared_bytes(int tier) { return 1024 * leaf_pitch(tier) + 4 * kQueryTile * kKeyBlock * 4; }

// ---------------------------------------------------------------- query-slab waves

// Re-validation of the plan by the launchers (groups in 64 bits).
constexpr bool launcher_plan_valid(int64_t O, int64_t B, int64_t slab_rows, int64_t groups_per_wave,
                                   int64_t batches_per_wave) {
  return slab_rows >= 1 && groups_per_wave >= 1 && groups_per_wave <= outer_groups(O) && batches_per_wave >= 1 &&
         batches_per_wave <= B;
}

struct WavePlan {
  int N, O, H, B;
  int slab_rows, groups_per_wave, batches_per_wave;
  bool exact_tiles;  // the exact-tiles lane: slabs must be whole query tiles
};

// One leaf launch and the finalizer launch that follows it.
struct LeafWave {
  int b0, nb;            // batch wave
  int q0, active_rows;   // query slab
  int slab_tiles;        // ceil(active_rows / 32)
  int g0, ng;            // group wave
  int64_t wave_pairs;    // ng x nb, one grid index each
  int64_t slab_elems;    // nb x H x active_rows x N
  int64_t finalize_blocks;
  int64_t grid_x, grid_y, grid_z;
  bool query_tiles_on_x;
  bool full_query_tiles;
  bool square_pair;
  bool accumulate;  // g0 != 0: the finalizer adds to what earlier group waves wrote
};

enum class WaveError {
  none,
  slab_grid_z,        // "query slab exceeds the CUDA grid-z contract"
  slab_size,          // active dBias slab product (size_error)
  finalizer_grid_x,   // "dBias slab finalizer exceeds the CUDA grid-x contract"
  leaf_grid_x,        // "dBias leaf wave exceeds the CUDA grid-x contract"
  exact_tiles_rows,   // "exact-tiles lane requires query rows in full blocks"
  leaf_launch,        // reported by the visitor
  finalizer_launch,   // reported by the visitor
};

struct WaveStatus {
  WaveError error;
  SizeError size_error;  // with slab_size
};

inline std::string wave_error_message(const WaveStatus& status) {
  switch (status.error) {
    case WaveError::slab_grid_z:
      return "query slab exceeds the CUDA grid-z contract";
    case WaveError::slab_size:
      return size_error_message(status.size_error, "active dBias slab");
    case WaveError::finalizer_grid_x:
      return "dBias slab finalizer exceeds the CUDA grid-x contract";
    case WaveError::leaf_grid_x:
      return "dBias leaf wave exceeds the CUDA grid-x contract";
    case WaveError::exact_tiles_rows:
      return "exact-tiles lane requires query rows in full blocks";
    case WaveError::leaf_launch:
      return "Kestrovane dQ/dBias slab leaf launch failed";
    case WaveError::finalizer_launch:
      return "Kestrovane dQ/dBias slab finalizer launch failed";
    case WaveError::none:
      break;
  }
  return {};
}

// Leaf grid of one wave: the query tiles on x and the wave pairs on z while the pairs fit z,
// swapped above that. Heads always on y.
constexpr void orient_leaf_grid(LeafWave& w, int H) {
  w.query_tiles_on_x = w.wave_pairs <= kGridYZMax;
  w.grid_x = w.query_tiles_on_x ? w.slab_tiles : w.wave_pairs;
  w.grid_y = H;
  w.grid_z = w.query_tiles_on_x ? w.wave_pairs : w.slab_tiles;
}

// Walks the waves of one call in launch order: batch waves, within each the query slabs,
// within each slab the group waves. Each wave's checks run before `visit` sees it, and a
// failed check (or a visitor's error) stops the walk, so the waves before it are the ones
// that were launched. `visit(const LeafWave&)` returns WaveError::none to go on.
template <typename Visit>
WaveStatus walk_waves(const WavePlan& p, Visit&& visit) {
  const int groups = static_cast<int>(outer_groups(p.O));
  for (int b0 = 0; b0 < p.B;) {
    const int nb = p.batches_per_wave < p.B - b0 ? p.batches_per_wave : p.B - b0;
    for (int q0 = 0; q0 < p.N;) {
      LeafWave w{};
      w.b0 = b0;
      w.nb = nb;
      w.q0 = q0;
      w.active_rows = p.slab_rows < p.N - q0 ? p.slab_rows : p.N - q0;
      w.slab_tiles = (w.active_rows + kQueryTile - 1) / kQueryTile;
      if (w.slab_tiles - 1 > kGridYZMax - 1) {
        return {WaveError::slab_grid_z, SizeError::none};
      }
      const Sized elems = checked_positive_product(
          checked_positive_product(checked_positive_product(nb, p.H), w.active_rows), p.N);
      if (!elems.ok()) {
        return {WaveError::slab_size, elems.error};
      }
      w.slab_elems = elems.value;
      const Sized blocks = positive_ceil_div(w.slab_elems, kFinalizeThreads);
      if (!blocks.ok()) {
        return {WaveError::slab_size, blocks.error};
      }
      if (blocks.value > kInt32Max) {
        return {WaveError::finalizer_grid_x, SizeError::none};
      }
      w.finalize_blocks = blocks.value;
      for (int g0 = 0; g0 < groups;) {
        w.g0 = g0;
        w.ng = p.groups_per_wave < groups - g0 ? p.groups_per_wave : groups - g0;
        w.wave_pairs = static_cast<int64_t>(w.ng) * nb;
        if (w.wave_pairs > kInt32Max) {
          return {WaveError::leaf_grid_x, SizeError::none};
        }
        orient_leaf_grid(w, p.H);
        if (p.exact_tiles && w.active_rows % kQueryTile != 0) {
          return {WaveError::exact_tiles_rows, SizeError::none};
        }
        w.full_query_tiles = w.active_rows % kQueryTile == 0;
        w.square_pair = p.O == p.N;
        w.accumulate = g0 != 0;
        const WaveError visited = visit(static_cast<const LeafWave&>(w));
        if (visited != WaveError::none) {
          return {visited, SizeError::none};
        }
        g0 += w.ng;
      }
      q0 += w.active_rows;
    }
    b0 += nb;
  }
  return {WaveError::none, SizeError::none};
}

// The softmax scale, once per call: a correctly rounded square root and division.
inline float softmax_scale(int D) { return 1.0f / std::sqrt(static_cast<float>(D)); }

// ---------------------------------------------------------------- broadcast reduction

constexpr int kMaxPrefixRank = 16;

// Passed to the broadcast kernel by value. Entries from `rank` on are zero.
struct PrefixBroadcastPlan {
  int32_t rank;
  int32_t target_dims[kMaxPrefixRank];
  int32_t bias_dims[kMaxPrefixRank];  // 1 left of the bias prefix and where the bias broadcasts
  int64_t bias_strides[kMaxPrefixRank];  // row-major strides of bias_dims
};

enum class PrefixError { none, rank, bias_rank, broadcast, flattened, bias_product };

inline const char* prefix_error_message(PrefixError error) {
  switch (error) {
    case PrefixError::rank:
      return "target prefix rank must be in [1, 16]";
    case PrefixError::bias_rank:
      return "bias prefix rank cannot exceed target prefix rank";
    case PrefixError::broadcast:
      return "bias prefix must broadcast exactly to the positive target prefix";
    case PrefixError::flattened:
      return "flattened target prefix exceeds the CUDA int indexing contract";
    case PrefixError::bias_product:
      return "bias prefix product overflow";
    case PrefixError::none:
      break;
  }
  return "";
}

struct PrefixPlanResult {
  PrefixBroadcastPlan plan;
  int32_t target_count;  // T, the product of the target prefix
  int64_t bias_count;    // the product of bias_dims, the bias prefix's element count
  PrefixError error;
};

// Checks the two prefixes in order and fills the plan record.
inline PrefixPlanResult broadcast_plan(const std::vector<int64_t>& target, const std::vector<int64_t>& bias) {
  PrefixPlanResult r{};  // the whole record zeroed
  const int64_t rank = static_cast<int64_t>(target.size());
  const int64_t bias_rank = static_cast<int64_t>(bias.size());
  if (rank < 1 || rank > kMaxPrefixRank) {
    r.error = PrefixError::rank;
    return r;
  }
  if (bias_rank > rank) {
    r.error = PrefixError::bias_rank;
    return r;
  }
  int64_t product = 1;
  for (int64_t d = 0; d < rank; ++d) {
    const int64_t size = target[d];
    const int64_t j = d - (rank - bias_rank);
    int64_t bias_size = 1;
    bool ok = size >= 1 && size <= kInt32Max;
    if (j >= 0) {
      bias_size = bias[j];
      ok = ok && bias_size >= 1 && bias_size <= kInt32Max && (bias_size == 1 || bias_size == size);
    }
    if (!ok) {
      r.error = PrefixError::broadcast;
      return r;
    }
    if (product > kInt32Max / size) {
      r.error = PrefixError::flattened;
      return r;
    }
    product *= size;
    r.plan.target_dims[d] = static_cast<int32_t>(size);
    r.plan.bias_dims[d] = static_cast<int32_t>(bias_size);
  }
  r.target_count = static_cast<int32_t>(product);
  int64_t stride = 1;
  for (int64_t d = rank - 1; d >= 0; --d) {
    r.plan.bias_strides[d] = stride;
    const Sized next = checked_positive_product(stride, r.plan.bias_dims[d]);
    if (!next.ok()) {
      r.error = PrefixError::bias_product;
      return r;
    }
    stride = next.value;
  }
  r.bias_count = stride;
  r.plan.rank = static_cast<int32_t>(rank);
  return r;
}

// The broadcast kernel strides over its output with at most 65535 blocks.
constexpr int64_t broadcast_grid(int64_t total) {
  const int64_t blocks = total / kBroadcastThreads + (total % kBroadcastThreads != 0 ? 1 : 0);
  return blocks < kGridYZMax ? blocks : kGridYZMax;
}

}  // namespace dq
}  // namespace kestrovane
