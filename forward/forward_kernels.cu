// The forward module's device code. Every kernel of the module is compiled in
// this one translation unit so that the module carries a single sm_90a cubin.
#include "forward/forward_mma.cuh"
#include "forward/forward_tma.cuh"
#include "forward/pack_qkv.cuh"

namespace kestrovane {
namespace forward {

template LaunchResult launch_forward<16>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward<32>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward<64>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward<128>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward_tma<16>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward_tma<32>(const ForwardLaunch&, cudaStream_t);
template LaunchResult launch_forward_tma<64>(const ForwardLaunch&, cudaStream_t);

}  // namespace forward
}  // namespace kestrovane
