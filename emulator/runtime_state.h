// What the model's runtime keeps between calls: the last error of the calling thread and
// each kernel's shared-memory attributes.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

namespace kestrovane_emu {

// Records `error` as the runtime's last error (the next cudaGetLastError returns and clears it).
void set_last_error(cudaError_t error);

uint32_t kernel_static_shared_bytes(const void* kernel);
void set_kernel_max_dynamic_smem(const void* kernel, int bytes);
int kernel_max_dynamic_smem(const void* kernel);

}  // namespace kestrovane_emu
