// The one way kernels are launched and find their dynamic shared memory. Kernel units
// include this; in an emulated build (KESTROVANE_EMULATED) the same calls go to the CPU
// execution model, so launch sites and kernels read the same in both builds.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <utility>

#if defined(KESTROVANE_EMULATED)
#include "emulator/launch.h"
#include "emulator/threads.h"
#endif

namespace kestrovane {

// Queues `kernel` on `stream` with the given configuration; the caller reads
// cudaGetLastError afterwards, as after a <<<>>> launch.
template <class... Params, class... Args>
inline void launch_kernel(void (*kernel)(Params...), dim3 grid, dim3 block, size_t dynamic_smem,
                          cudaStream_t stream, Args&&... args) {
#if defined(KESTROVANE_EMULATED)
  (void)stream;  // the model runs every launch to completion on the calling thread
  kestrovane_emu::launch(kernel, grid, block, dynamic_smem, std::forward<Args>(args)...);
#else
  kernel<<<grid, block, dynamic_smem, stream>>>(std::forward<Args>(args)...);
#endif
}

// The block's dynamic shared memory, aligned to `Align` bytes (16 or 1024: the 128-byte
// swizzle needs tiles on 1024-byte boundaries).
template <int Align>
__device__ __forceinline__ unsigned char* dynamic_smem() {
  static_assert(Align == 16 || Align == 1024, "dynamic shared memory is aligned to 16 or 1024 bytes");
#if defined(KESTROVANE_EMULATED)
  return kestrovane_emu::dynamic_shared_memory();
#else
  if constexpr (Align == 1024) {
    extern __shared__ __align__(1024) unsigned char kestrovane_dynamic_smem_1024[];
    return kestrovane_dynamic_smem_1024;
  } else {
    extern __shared__ __align__(16) unsigned char kestrovane_dynamic_smem_16[];
    return kestrovane_dynamic_smem_16;
  }
#endif
}

}  // namespace kestrovane
