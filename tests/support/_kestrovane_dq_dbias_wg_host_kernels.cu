// Test-only kernels (never part of a deliverable): every instantiation of the warpgroup lane's
// leaf kernel, compiled here so that ptxas checks them all.
#include "dq_dbias/dq_dbias_wg.cuh"

namespace kestrovane {
namespace dq_dbias {

template bool wg_opt_in<16>();
template bool wg_opt_in<32>();
template bool wg_opt_in<64>();
template void launch_wg_leaf<16>(const WgLeafArgs&, const WgWave&, cudaStream_t);
template void launch_wg_leaf<32>(const WgLeafArgs&, const WgWave&, cudaStream_t);
template void launch_wg_leaf<64>(const WgLeafArgs&, const WgWave&, cudaStream_t);

}  // namespace dq_dbias
}  // namespace kestrovane
