// Launchers of the warpgroup lane's leaf kernel. Plain types only: the entry unit passes the
// call's launch record, the kernel unit never sees PyTorch.
#pragma once

#include <cuda_runtime_api.h>

#include "dq_dbias/dq_launch.h"
#include "dq_dbias/wg_plan.h"

namespace kestrovane {
namespace dq {

// Raises the dynamic shared-memory limit of the tier's four instantiations, in two pairs
// (query blocks on grid x with and without SquarePair, then on grid z); both calls of a pair
// are always made. False when a call failed (the runtime's last error is then cleared).
template <int HeadDimTier>
bool wg_opt_in();

// Enqueues the leaf kernel of one group wave with that wave's grid and flags; a launch error
// is left for the caller's cudaGetLastError.
template <int HeadDimTier>
void launch_wg_leaf(const DqLaunch& call, const WgWave& wave, cudaStream_t stream);

}  // namespace dq
}  // namespace kestrovane
