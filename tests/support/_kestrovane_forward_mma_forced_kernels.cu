// Test-only kernels (never part of a deliverable): the cp.async + mma.sync forward launchers
// of tiers 16, 32 and 64, which the entry never picks for D = 16, 32, 64 below the TMA
// path's slice limit.
#include "forward/forward_mma.cuh"

namespace kestrovane {
namespace forward {

template LaunchResult launch_forward<16>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward<32>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward<64>(const ForwardLaunch&, cudaStream_t);

}  // namespace forward
}  // namespace kestrovane
