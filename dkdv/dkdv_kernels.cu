// The dK/dV module's device code. Every kernel of the module is compiled in this one
// translation unit so that the module carries a single sm_90a cubin.
#include "common/kernel_launch.cuh"
#include "dkdv/delta_true_fold.cuh"
#include "dkdv/dkdv_launch.cuh"
#include "dkdv/dkdv_launch.h"

namespace kestrovane {
namespace dkdv {

// Every (SeqTail, DeltaTrue, SquarePair) of one tier and family.
#define KESTROVANE_DKDV_LAUNCHERS(TIER, TMA)                                                                   \
  template LaunchResult launch_dkdv<TIER, -1, false, false, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t); \
  template LaunchResult launch_dkdv<TIER, -1, false, true, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);  \
  template LaunchResult launch_dkdv<TIER, -1, true, false, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);  \
  template LaunchResult launch_dkdv<TIER, -1, true, true, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);   \
  template LaunchResult launch_dkdv<TIER, 0, false, false, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);  \
  template LaunchResult launch_dkdv<TIER, 0, false, true, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);   \
  template LaunchResult launch_dkdv<TIER, 0, true, false, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);   \
  template LaunchResult launch_dkdv<TIER, 0, true, true, TMA>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);

KESTROVANE_DKDV_LAUNCHERS(16, false)
KESTROVANE_DKDV_LAUNCHERS(32, false)
KESTROVANE_DKDV_LAUNCHERS(64, false)
KESTROVANE_DKDV_LAUNCHERS(128, false)
KESTROVANE_DKDV_LAUNCHERS(16, true)
KESTROVANE_DKDV_LAUNCHERS(32, true)
KESTROVANE_DKDV_LAUNCHERS(64, true)

#undef KESTROVANE_DKDV_LAUNCHERS

void launch_delta_true_fold(const DeltaTrueFold& fold, cudaStream_t stream) {
  kestrovane::launch_kernel(kestrovane_delta_true_reduce_kernel, static_cast<unsigned>(fold.grid), kFoldThreads, 0,
                            stream, fold.partials, fold.out, fold.rows, fold.key_blocks, fold.N);
}

}  // namespace dkdv
}  // namespace kestrovane
