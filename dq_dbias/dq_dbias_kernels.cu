// The dQ/dBias module's device code and its launchers. Every kernel of the module is
// compiled in this one translation unit so that the module carries a single sm_90a cubin.
#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include "common/kernel_launch.cuh"
#include "common/launch.h"
#include "dq_dbias/dbias_fold.cuh"
#include "dq_dbias/dq_dbias_wg.cuh"
#include "dq_dbias/dq_launch.h"
#include "dq_dbias/dq_leaf.cuh"
#include "dq_dbias/dq_plan.h"
#include "dq_dbias/sr_launch.cuh"

namespace kestrovane {
namespace dq {

namespace {

template <int HeadDimTier, int SeqTail, bool FullQueryTiles, bool QueryTilesOnX, bool SquarePair>
const void* leaf_kernel() {
  return reinterpret_cast<const void*>(
      kestrovane_dq_dbias_leaf_kernel<HeadDimTier, SeqTail, FullQueryTiles, QueryTilesOnX, SquarePair>);
}

// Both opt-ins of a pair run; the pair fails if either did.
template <int HeadDimTier, int SeqTail, bool FullQueryTiles, bool QueryTilesOnX>
bool opt_in_pair() {
  const int smem = leaf_shared_bytes(HeadDimTier);
  const cudaError_t square =
      opt_in_dynamic_smem(leaf_kernel<HeadDimTier, SeqTail, FullQueryTiles, QueryTilesOnX, true>(), smem);
  const cudaError_t general =
      opt_in_dynamic_smem(leaf_kernel<HeadDimTier, SeqTail, FullQueryTiles, QueryTilesOnX, false>(), smem);
  return square == cudaSuccess && general == cudaSuccess;
}

template <int HeadDimTier, int SeqTail, bool FullQueryTiles, bool QueryTilesOnX, bool SquarePair>
void launch_leaf_instance(const DqLaunch& a, const LeafWave& w, cudaStream_t stream) {
  const dim3 grid(static_cast<unsigned>(w.grid_x), static_cast<unsigned>(w.grid_y), static_cast<unsigned>(w.grid_z));
  kestrovane::launch_kernel(
      kestrovane_dq_dbias_leaf_kernel<HeadDimTier, SeqTail, FullQueryTiles, QueryTilesOnX, SquarePair>, grid,
      kLeafThreads, leaf_shared_bytes(HeadDimTier), stream, static_cast<const __nv_bfloat16*>(a.in.q),
      static_cast<const __nv_bfloat16*>(a.in.k), static_cast<const __nv_bfloat16*>(a.in.v),
      static_cast<const __nv_bfloat16*>(a.in.d_output), a.in.logsumexp, a.in.delta, a.in.mask,
      static_cast<const __nv_bfloat16*>(a.in.bias), static_cast<__nv_bfloat16*>(a.out_dq),
      static_cast<__nv_bfloat16*>(a.workspace), a.N, a.O, a.H, w.b0, w.nb, a.batches_per_wave, w.q0, w.active_rows,
      a.slab_rows, w.g0, a.head_dim, a.scale);
}

template <int HeadDimTier, int SeqTail, bool FullQueryTiles>
void launch_leaf_tiles(const DqLaunch& a, const LeafWave& w, cudaStream_t stream) {
  if (w.query_tiles_on_x) {
    w.square_pair ? launch_leaf_instance<HeadDimTier, SeqTail, FullQueryTiles, true, true>(a, w, stream)
                  : launch_leaf_instance<HeadDimTier, SeqTail, FullQueryTiles, true, false>(a, w, stream);
  } else {
    w.square_pair ? launch_leaf_instance<HeadDimTier, SeqTail, FullQueryTiles, false, true>(a, w, stream)
                  : launch_leaf_instance<HeadDimTier, SeqTail, FullQueryTiles, false, false>(a, w, stream);
  }
}

}  // namespace

template <int HeadDimTier, int SeqTail>
bool opt_in_leaf_lane() {
  bool ok = opt_in_pair<HeadDimTier, SeqTail, true, true>();
  ok = opt_in_pair<HeadDimTier, SeqTail, true, false>() && ok;
  if constexpr (SeqTail == 0) {
    ok = opt_in_pair<HeadDimTier, SeqTail, false, true>() && ok;
    ok = opt_in_pair<HeadDimTier, SeqTail, false, false>() && ok;
  }
  return ok;
}

template <int HeadDimTier, int SeqTail>
void launch_leaf(const DqLaunch& call, const LeafWave& wave, cudaStream_t stream) {
  if constexpr (SeqTail == 0) {
    if (!wave.full_query_tiles) {
      launch_leaf_tiles<HeadDimTier, SeqTail, false>(call, wave, stream);
      return;
    }
  }
  launch_leaf_tiles<HeadDimTier, SeqTail, true>(call, wave, stream);
}

#define KESTROVANE_DQ_LANE(TIER, TAIL)        \
  template bool opt_in_leaf_lane<TIER, TAIL>(); \
  template void launch_leaf<TIER, TAIL>(const DqLaunch&, const LeafWave&, cudaStream_t);

KESTROVANE_DQ_LANE(16, -1)
KESTROVANE_DQ_LANE(16, 0)
KESTROVANE_DQ_LANE(32, -1)
KESTROVANE_DQ_LANE(32, 0)
KESTROVANE_DQ_LANE(64, -1)
KESTROVANE_DQ_LANE(64, 0)
KESTROVANE_DQ_LANE(128, -1)
KESTROVANE_DQ_LANE(128, 0)

#undef KESTROVANE_DQ_LANE

// The warpgroup lane: tiers 16, 32 and 64, four leaf instantiations each.
KESTROVANE_DQ_WG_TIER(16)
KESTROVANE_DQ_WG_TIER(32)
KESTROVANE_DQ_WG_TIER(64)

void launch_finalize(const void* workspace, float* out_dbias, const LeafWave& w, int N, int H, int batches_per_wave,
                     int slab_rows, cudaStream_t stream) {
  kestrovane::launch_kernel(kestrovane_dq_dbias_finalize_kernel, static_cast<unsigned>(w.finalize_blocks),
                            kFinalizeThreads, 0, stream, static_cast<const __nv_bfloat16*>(workspace), out_dbias,
                            w.slab_elems, N, H, w.b0, w.nb, batches_per_wave, w.q0, w.active_rows, slab_rows, w.ng,
                            w.accumulate);
}

void launch_broadcast_dbias(const BroadcastLaunch& b, cudaStream_t stream) {
  kestrovane::launch_kernel(kestrovane_reduce_broadcast_dbias_kernel, static_cast<unsigned>(broadcast_grid(b.total)),
                            kBroadcastThreads, 0, stream, b.per_batch_dbias, static_cast<__nv_bfloat16*>(b.out),
                            b.total, b.plane, b.target_count, b.plan);
}

}  // namespace dq
}  // namespace kestrovane

namespace kestrovane {
namespace sr {

// The single-reconstruction launchers: both orientations' opt-ins and the leaf launch of
// each tier, and the dQ reduce.
#define KESTROVANE_SR_TIER(TIER)                 \
  template bool opt_in_leaf_pair<TIER, true>();  \
  template bool opt_in_leaf_pair<TIER, false>(); \
  template void launch_leaf<TIER>(const LeafCall&, const Wave&, const LeafGrid&, bool, cudaStream_t);

KESTROVANE_SR_TIER(16)
KESTROVANE_SR_TIER(32)
KESTROVANE_SR_TIER(64)

#undef KESTROVANE_SR_TIER

void launch_dq_reduce(const DqReduce& r, cudaStream_t stream) {
  kestrovane::launch_kernel(kestrovane_sr_dq_reduce_kernel, static_cast<unsigned>(r.grid), kReduceThreads, 0, stream,
                            static_cast<const __nv_bfloat16*>(r.partials), static_cast<__nv_bfloat16*>(r.out), r.n,
                            r.stride, r.count, r.scale);
}

}  // namespace sr
}  // namespace kestrovane
