// One thin wrapper per PTX primitive that the kernels use. Device code only.
#pragma once

#include <cstdint>

namespace kestrovane {
namespace ptx {

// 32-bit load through the read-only (non-coherent) data path.
__device__ __forceinline__ uint32_t ld_global_nc_b32(const void* address) {
  uint32_t value;
  asm volatile("ld.global.nc.b32 %0, [%1];" : "=r"(value) : "l"(address));
  return value;
}

// Plain 32-bit global store.
__device__ __forceinline__ void st_global_b32(void* address, uint32_t value) {
  asm volatile("st.global.b32 [%0], %1;" ::"l"(address), "r"(value) : "memory");
}

}  // namespace ptx
}  // namespace kestrovane
