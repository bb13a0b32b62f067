// Test-only kernels (never part of a deliverable): the warpgroup lane's launchers, which the
// host helper module calls directly to exercise the launcher's checks.
#include "dq_dbias/dq_dbias_wg.cuh"

namespace kestrovane {
namespace dq {

KESTROVANE_DQ_WG_TIER(16)
KESTROVANE_DQ_WG_TIER(32)
KESTROVANE_DQ_WG_TIER(64)

}  // namespace dq
}  // namespace kestrovane
