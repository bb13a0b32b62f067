// The rounding points of the kernels, written out so that each one is explicit:
// BF16 conversions round to nearest even, and a product followed by an add is
// two roundings unless a kernel asks for fma.
#pragma once

#include <cuda_bf16.h>

#include <cstdint>

namespace kestrovane {

// log2(e) and ln(2) as the FP32 constants the kernels use (bits 0x3FB8AA3B, 0x3F317218).
constexpr float kLog2e = 1.44269502162933349609375f;
constexpr float kLn2 = 0.693147182464599609375f;
constexpr float kNegInf = -__builtin_huge_valf();

__device__ __forceinline__ __nv_bfloat16 to_bf16(float x) { return __float2bfloat16_rn(x); }

// Two FP32 values rounded to BF16 (nearest even) and packed: lo in bits 0-15, hi in 16-31.
__device__ __forceinline__ uint32_t pack_bf16x2(float lo, float hi) {
  const __nv_bfloat162 pair = __floats2bfloat162_rn(lo, hi);
  return *reinterpret_cast<const uint32_t*>(&pair);
}

__device__ __forceinline__ float bf16_lo(uint32_t word) { return __uint_as_float(word << 16); }
__device__ __forceinline__ float bf16_hi(uint32_t word) { return __uint_as_float(word & 0xFFFF0000u); }

// Separately rounded FP32 operations: never contracted into an fma.
__device__ __forceinline__ float mul_rn(float a, float b) { return __fmul_rn(a, b); }
__device__ __forceinline__ float add_rn(float a, float b) { return __fadd_rn(a, b); }
__device__ __forceinline__ float sub_rn(float a, float b) { return __fsub_rn(a, b); }

}  // namespace kestrovane
