// Launchers of the warpgroup lane's leaf kernel. Plain types only: the entry unit passes data
// pointers and sizes, the kernel unit never sees PyTorch.
#pragma once

#include <cuda_runtime_api.h>

#include "dq_dbias/wg_plan.h"

namespace kestrovane {
namespace dq {

// What every leaf launch of one call shares (the wave adds its own integers).
struct WgLeafArgs {
  const void* q;           // BF16 [B,O,H,N,D]
  const void* k;           // BF16 [B,O,H,N,D]
  const void* v;           // BF16 [B,O,H,N,D]
  const void* d_output;    // BF16 [B,O,N,H,D]
  const float* logsumexp;  // FP32 [B,O,H,N]
  const float* delta;      // FP32 [B,O,H,N]
  const float* mask;       // FP32 [B,O,1,1,N]
  const void* bias;        // BF16 [B,1,H,N,N]
  void* out_dq;            // BF16 [B,O,H,N,D]
  void* workspace;         // BF16 [groups_per_wave][batches_per_wave][H][slab_rows][N]
  int N;
  int O;
  int H;
  int batches_per_wave;
  int slab_rows;
  int head_dim;  // at most HeadDimTier
  float scale;
};

// Raises the dynamic shared-memory limit of the tier's four instantiations, in two pairs
// (query blocks on grid x with and without SquarePair, then on grid z); both calls of a pair
// are always made. False when a call failed (the runtime's last error is then cleared).
template <int HeadDimTier>
bool wg_opt_in();

// Enqueues the leaf kernel of one group wave with that wave's grid and flags; a launch error
// is left for the caller's cudaGetLastError.
template <int HeadDimTier>
void launch_wg_leaf(const WgLeafArgs& args, const WgWave& wave, cudaStream_t stream);

}  // namespace dq
}  // namespace kestrovane
