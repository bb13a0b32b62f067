// Included first into every kernel unit of an emulated build (g++ -include): the CUDA
// built-ins that the kernels use, as the CPU execution model provides them. Kernel
// sources read the same in both builds; only what a built-in means changes here.
#pragma once

// Block-scope __shared__ variables become statics of the module; the model maps each
// kernel's statics into the block's shared window ahead of the dynamic region.
#define __shared__ static
#define __launch_bounds__(...)
#define __grid_constant__
// (#pragma unroll is ignored by the host compiler, so the Makefile silences unknown pragmas and
// the unused constants that only a pragma names.)

#include <cuda_runtime.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "emulator/threads.h"

// The runtime's C++ overloads that take a kernel itself (nvcc declares them for its own units).
template <class T>
inline cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, T* kernel) {
  return ::cudaFuncGetAttributes(attributes, reinterpret_cast<const void*>(kernel));
}
template <class T>
inline cudaError_t cudaFuncSetAttribute(T* kernel, cudaFuncAttribute attribute, int value) {
  return ::cudaFuncSetAttribute(reinterpret_cast<const void*>(kernel), attribute, value);
}

#define threadIdx (::kestrovane_emu::current_thread_index())
#define blockIdx (::kestrovane_emu::current_block_index())
#define blockDim (::kestrovane_emu::current_block_dim())
#define gridDim (::kestrovane_emu::current_grid_dim())

inline void __syncthreads() { ::kestrovane_emu::sync_block(); }
inline void __syncwarp(unsigned mask = 0xffffffffu) { ::kestrovane_emu::sync_warp(mask); }

template <class To, class From>
inline To kestrovane_emu_bit_cast(From value) {
  static_assert(sizeof(To) == sizeof(From), "a bit cast keeps the width");
  To out;
  std::memcpy(&out, &value, sizeof out);
  return out;
}
template <class T>
inline T kestrovane_emu_shuffle(unsigned mask, T value, int mode, int operand, int width) {
  static_assert(sizeof(T) == 4, "the model shuffles 32-bit values");
  return kestrovane_emu_bit_cast<T>(
      ::kestrovane_emu::shuffle(mask, kestrovane_emu_bit_cast<uint32_t>(value), mode, operand, width));
}
template <class T>
inline T __shfl_sync(unsigned mask, T value, int src_lane, int width = 32) {
  return kestrovane_emu_shuffle(mask, value, ::kestrovane_emu::kShuffleIndex, src_lane, width);
}
template <class T>
inline T __shfl_xor_sync(unsigned mask, T value, int lane_mask, int width = 32) {
  return kestrovane_emu_shuffle(mask, value, ::kestrovane_emu::kShuffleXor, lane_mask, width);
}
template <class T>
inline T __shfl_down_sync(unsigned mask, T value, unsigned delta, int width = 32) {
  return kestrovane_emu_shuffle(mask, value, ::kestrovane_emu::kShuffleDown, static_cast<int>(delta), width);
}
template <class T>
inline T __shfl_up_sync(unsigned mask, T value, unsigned delta, int width = 32) {
  return kestrovane_emu_shuffle(mask, value, ::kestrovane_emu::kShuffleUp, static_cast<int>(delta), width);
}

// Global memory is host memory: a read-only load is a plain load of its width.
template <class T>
inline T __ldg(const T* address) {
  ::kestrovane_emu::check_global_alignment(address, sizeof(T));
  return *address;
}

inline size_t __cvta_generic_to_shared(const void* pointer) { return ::kestrovane_emu::shared_address(pointer); }

// Correctly rounded single-precision operations (the host's SSE arithmetic rounds each
// operation to nearest even; kernel units are built without contraction).
inline float __fmaf_rn(float a, float b, float c) { return std::fma(a, b, c); }
inline float __fmul_rn(float a, float b) { return a * b; }
inline float __fadd_rn(float a, float b) { return a + b; }
inline float __fsub_rn(float a, float b) { return a - b; }
inline float __fdiv_rn(float a, float b) { return a / b; }
inline float __uint_as_float(unsigned bits) { return kestrovane_emu_bit_cast<float>(bits); }
inline unsigned __float_as_uint(float f) { return kestrovane_emu_bit_cast<unsigned>(f); }
inline float __int_as_float(int bits) { return kestrovane_emu_bit_cast<float>(bits); }
inline int __float_as_int(float f) { return kestrovane_emu_bit_cast<int>(f); }
using std::fmaxf;
using std::fminf;
