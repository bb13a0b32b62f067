// The planted-fault kernels of the execution model's own tests.
#pragma once

#include <vector_types.h>

namespace kestrovane_faults {

enum class Fault {
  missing_arrival,
  partial_mask_shuffle,
  early_copy_read,
  out_of_window,
  shared_race,
  uninitialised_read,
  tail_store,
  misaligned_store,
  block_conflict,
  ordered_exchange,
};

// Runs the kernel of `fault` on the model; `src` holds at least 4 floats, `out` at least 64.
void launch(Fault fault, const float* src, float* out);

// Raises the probe kernel's dynamic shared-memory limit to `opt_in` (unless negative) and
// launches it: every thread writes its linear index to out. Returns the runtime's last error
// after the launch, or minus the error of a refused opt-in.
int probe_launch(dim3 grid, dim3 block, int dynamic_smem, int opt_in, float* out);

}  // namespace kestrovane_faults
