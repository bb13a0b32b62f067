// Definitions of the single-reconstruction launchers (dq_dbias/sr_launch.h) for the kernel
// unit that instantiates them.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include "common/kernel_launch.cuh"
#include "common/launch.h"
#include "dq_dbias/sr_launch.h"
#include "dq_dbias/sr_leaf.cuh"
#include "dq_dbias/sr_plan.h"
#include "dq_dbias/sr_reduce.cuh"

namespace kestrovane {
namespace sr {

template <int HeadDimTier, bool KeyBlocksOnX>
bool opt_in_leaf_pair() {
  const int bytes = leaf_shared_bytes(HeadDimTier);
  const cudaError_t square = opt_in_dynamic_smem(
      reinterpret_cast<const void*>(kestrovane_sr_leaf_kernel<HeadDimTier, KeyBlocksOnX, true>), bytes);
  const cudaError_t general = opt_in_dynamic_smem(
      reinterpret_cast<const void*>(kestrovane_sr_leaf_kernel<HeadDimTier, KeyBlocksOnX, false>), bytes);
  return square == cudaSuccess && general == cudaSuccess;
}

template <int HeadDimTier, bool KeyBlocksOnX, bool SquarePair>
void launch_leaf_instance(const LeafCall& c, const Wave& w, const dim3& grid, cudaStream_t stream) {
  kestrovane::launch_kernel(
      kestrovane_sr_leaf_kernel<HeadDimTier, KeyBlocksOnX, SquarePair>, grid, kThreads, leaf_shared_bytes(HeadDimTier),
      stream, static_cast<const __nv_bfloat16*>(c.in.q), static_cast<const __nv_bfloat16*>(c.in.k),
      static_cast<const __nv_bfloat16*>(c.in.v), static_cast<const __nv_bfloat16*>(c.in.d_output), c.in.logsumexp,
      c.in.delta, c.in.mask, static_cast<const __nv_bfloat16*>(c.in.bias), static_cast<__nv_bfloat16*>(c.out_dk),
      static_cast<__nv_bfloat16*>(c.out_dv), c.dk_state, c.dv_state, static_cast<__nv_bfloat16*>(c.dq_partials),
      static_cast<__nv_bfloat16*>(c.workspace), c.N, c.O, c.BO, c.H, static_cast<int>(w.b0), static_cast<int>(w.nb),
      c.batches_per_wave, static_cast<int>(w.slab.q0), static_cast<int>(w.slab.active_rows), c.slab_rows,
      static_cast<int>(w.g0), c.head_dim, c.scale);
}

template <int HeadDimTier>
void launch_leaf(const LeafCall& call, const Wave& wave, const LeafGrid& grid, bool square_pair,
                 cudaStream_t stream) {
  // Grid sizes past the CUDA limits are passed on unclipped: the launch itself must fail.
  const dim3 blocks(static_cast<unsigned>(grid.x), static_cast<unsigned>(grid.y), static_cast<unsigned>(grid.z));
  if (grid.key_blocks_on_x) {
    square_pair ? launch_leaf_instance<HeadDimTier, true, true>(call, wave, blocks, stream)
                : launch_leaf_instance<HeadDimTier, true, false>(call, wave, blocks, stream);
  } else {
    square_pair ? launch_leaf_instance<HeadDimTier, false, true>(call, wave, blocks, stream)
                : launch_leaf_instance<HeadDimTier, false, false>(call, wave, blocks, stream);
  }
}

}  // namespace sr
}  // namespace kestrovane
