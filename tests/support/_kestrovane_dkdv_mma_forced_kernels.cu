// Test-only kernels (never part of a deliverable): the cp.async + mma.sync dK/dV launchers of
// tiers 16, 32 and 64, which the entry never picks for D = 16, 32, 64 below the TMA path's
// slice limit. SquarePair is left out: its results equal the general instantiation's.
#include "dkdv/dkdv_launch.cuh"

namespace kestrovane {
namespace dkdv {

#define KESTROVANE_FORCED_DKDV_LAUNCHERS(TIER)                                                                 \
  template LaunchResult launch_dkdv<TIER, -1, false, false, false>(const DkdvLaunch&, const DkdvMaps&,        \
                                                                   cudaStream_t);                             \
  template LaunchResult launch_dkdv<TIER, -1, true, false, false>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t); \
  template LaunchResult launch_dkdv<TIER, 0, false, false, false>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t); \
  template LaunchResult launch_dkdv<TIER, 0, true, false, false>(const DkdvLaunch&, const DkdvMaps&, cudaStream_t);

KESTROVANE_FORCED_DKDV_LAUNCHERS(16)
KESTROVANE_FORCED_DKDV_LAUNCHERS(32)
KESTROVANE_FORCED_DKDV_LAUNCHERS(64)

#undef KESTROVANE_FORCED_DKDV_LAUNCHERS

}  // namespace dkdv
}  // namespace kestrovane
