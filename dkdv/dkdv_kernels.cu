// The dK/dV module's device code. Every kernel of the module is compiled in this one
// translation unit so that the module carries a single sm_90a cubin.
#include "dkdv/delta_true_fold.cuh"
#include "dkdv/dkdv_launch.h"
#include "dkdv/dkdv_mma.cuh"

namespace kestrovane {
namespace dkdv {

#define KESTROVANE_DKDV_LAUNCHERS(TIER)                                                    \
  template LaunchResult launch_dkdv<TIER, -1, false, false>(const DkdvLaunch&, cudaStream_t); \
  template LaunchResult launch_dkdv<TIER, -1, false, true>(const DkdvLaunch&, cudaStream_t);  \
  template LaunchResult launch_dkdv<TIER, -1, true, false>(const DkdvLaunch&, cudaStream_t);  \
  template LaunchResult launch_dkdv<TIER, -1, true, true>(const DkdvLaunch&, cudaStream_t);   \
  template LaunchResult launch_dkdv<TIER, 0, false, false>(const DkdvLaunch&, cudaStream_t);  \
  template LaunchResult launch_dkdv<TIER, 0, false, true>(const DkdvLaunch&, cudaStream_t);   \
  template LaunchResult launch_dkdv<TIER, 0, true, false>(const DkdvLaunch&, cudaStream_t);   \
  template LaunchResult launch_dkdv<TIER, 0, true, true>(const DkdvLaunch&, cudaStream_t);

KESTROVANE_DKDV_LAUNCHERS(16)
KESTROVANE_DKDV_LAUNCHERS(32)
KESTROVANE_DKDV_LAUNCHERS(64)
KESTROVANE_DKDV_LAUNCHERS(128)

#undef KESTROVANE_DKDV_LAUNCHERS

void launch_delta_true_fold(const DeltaTrueFold& fold, cudaStream_t stream) {
  kestrovane_delta_true_reduce_kernel<<<static_cast<unsigned>(fold.grid), kFoldThreads, 0, stream>>>(
      fold.partials, fold.out, fold.rows, fold.key_blocks, fold.N);
}

}  // namespace dkdv
}  // namespace kestrovane
