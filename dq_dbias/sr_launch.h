// Launchers of the single-reconstruction kernels. Plain types only: the entry unit passes
// data pointers and 32-bit sizes that its checks have bounded, the kernel unit never sees
// PyTorch. Each launcher only enqueues; the caller reads the launch status.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

#include "common/backward_inputs.h"
#include "dq_dbias/sr_plan.h"

namespace kestrovane {
namespace sr {

// What every leaf launch of a call shares.
struct LeafCall {
  BackwardInputs in;       // q, d_output and bias 16-byte aligned
  void* out_dk;            // BF16 [B,O,H,N,D], 4-byte aligned
  void* out_dv;            // BF16 [B,O,H,N,D], 4-byte aligned
  float* dk_state;         // FP32 [B,O,H,N,D] or unused (single slab), 8-byte aligned
  float* dv_state;
  void* dq_partials;       // BF16 [N/64][B][O][H][N][D], 16-byte aligned
  void* workspace;         // BF16 [groups_per_wave][batches_per_wave][H][slab_rows][N]
  int N;
  int O;
  int BO;  // B*O
  int H;
  int batches_per_wave;
  int slab_rows;
  int head_dim;
  float scale;
};

// Raises the dynamic shared-memory limit of the two SquarePair instantiations of one
// orientation; both calls are made. False if either failed (the runtime's last error is then
// cleared).
template <int HeadDimTier, bool KeyBlocksOnX>
bool opt_in_leaf_pair();

// One leaf launch: grid and orientation from leaf_grid, SquarePair = (O == N).
template <int HeadDimTier>
void launch_leaf(const LeafCall& call, const Wave& wave, const LeafGrid& grid, bool square_pair,
                 cudaStream_t stream);

struct DqReduce {
  const void* partials;  // dq_partials
  void* out;             // out_dq, 16-byte aligned
  int64_t n;             // out_dq.numel(), a multiple of 8
  int64_t stride;        // elements between key-block copies: q.numel()
  int count;             // key blocks
  float scale;
  int grid;              // reduce_grid(...)
};

void launch_dq_reduce(const DqReduce& reduce, cudaStream_t stream);

}  // namespace sr
}  // namespace kestrovane
