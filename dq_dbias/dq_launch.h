// Launchers of the dQ/dBias kernels. Plain types only: the entry unit passes data pointers
// and sizes, the kernel unit never sees PyTorch. Each launcher only enqueues; the caller
// reads the launch status and raises its own message.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

#include "common/backward_inputs.h"
#include "dq_dbias/dq_plan.h"

namespace kestrovane {
namespace dq {

// The tensors of one dQ/dBias call (checked by the entry) and its sizes.
struct DqLaunch {
  BackwardInputs in;
  void* out_dq;            // BF16 [B,O,H,N,D]
  float* out_dbias;        // FP32 [B,1,H,N,N]
  void* workspace;         // BF16 [groups_per_wave][batches_per_wave][H][slab_rows][N]
  int N, O, H, B;
  int slab_rows, groups_per_wave, batches_per_wave;
  int head_dim;
  float scale;
};

// Raises the dynamic shared-memory limit of every leaf instantiation of the lane
// (<HeadDimTier, SeqTail>) to the tier's bytes, in pairs by (FullQueryTiles, QueryTilesOnX,
// SquarePair): (1,1,1) (1,1,0); (1,0,1) (1,0,0); then with SeqTail 0 the same four with
// FullQueryTiles 0. Both calls of a pair are made; false when any failed (the runtime's
// last error is then cleared).
template <int HeadDimTier, int SeqTail>
bool opt_in_leaf_lane();

// Enqueues the leaf instantiation that the wave's flags select.
template <int HeadDimTier, int SeqTail>
void launch_leaf(const DqLaunch& call, const LeafWave& wave, cudaStream_t stream);

// Enqueues the fold of the wave's workspace partials into out_dbias.
void launch_finalize(const void* workspace, float* out_dbias, const LeafWave& wave, int N, int H,
                     int batches_per_wave, int slab_rows, cudaStream_t stream);

struct BroadcastLaunch {
  const float* per_batch_dbias;  // FP32 [T,1,H,N,N]
  void* out;                     // BF16, bias prefix then [1,H,N,N]
  int64_t total;                 // out's element count
  int64_t plane;                 // H x N x N
  int32_t target_count;          // T
  PrefixBroadcastPlan plan;
};

void launch_broadcast_dbias(const BroadcastLaunch& launch, cudaStream_t stream);

}  // namespace dq
}  // namespace kestrovane
