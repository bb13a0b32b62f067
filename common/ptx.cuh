// One thin wrapper per PTX primitive that the kernels use. Device code only.
// Add a primitive here once and call it everywhere; keep each wrapper a single
// instruction (or a fixed instruction group such as commit + wait).
#pragma once

#include <cstdint>

namespace kestrovane {
namespace ptx {

// ---------------------------------------------------------------- global memory

// Loads through the read-only (non-coherent) data path (ld.global.nc) are
// written with __ldg, so that the compiler sees ordinary loads of read-only
// data: it can schedule them early and fold constant offsets into the address.

// 32-bit load through the read-only data path (4-byte aligned).
__device__ __forceinline__ uint32_t ld_global_nc_b32(const void* address) {
  return __ldg(static_cast<const unsigned int*>(address));
}

// Plain 32-bit global store.
__device__ __forceinline__ void st_global_b32(void* address, uint32_t value) {
  asm volatile("st.global.b32 [%0], %1;" ::"l"(address), "r"(value) : "memory");
}

// 16-bit load through the read-only data path.
__device__ __forceinline__ uint16_t ld_global_nc_b16(const void* address) {
  return __ldg(static_cast<const unsigned short*>(address));
}

// FP32 load through the read-only data path.
__device__ __forceinline__ float ld_global_nc_f32(const float* address) { return __ldg(address); }

// Two adjacent FP32 values (8-byte aligned) through the read-only data path.
__device__ __forceinline__ float2 ld_global_nc_v2_f32(const float* address) {
  return __ldg(reinterpret_cast<const float2*>(address));
}

// ---------------------------------------------------------------- shared memory

__device__ __forceinline__ uint32_t smem_address(const void* pointer) {
  return static_cast<uint32_t>(__cvta_generic_to_shared(pointer));
}

// ---------------------------------------------------------------- cp.async

// 16-byte global-to-shared copy that bypasses L1 (.cg). With src_bytes < 16 the
// remaining destination bytes are zero-filled; src_bytes = 0 reads nothing.
__device__ __forceinline__ void cp_async_cg_16(uint32_t smem_dst, const void* global_src, uint32_t src_bytes) {
  asm volatile("cp.async.cg.shared.global [%0], [%1], 16, %2;" ::"r"(smem_dst), "l"(global_src), "r"(src_bytes)
               : "memory");
}

__device__ __forceinline__ void cp_async_commit() { asm volatile("cp.async.commit_group;" ::: "memory"); }

// Waits until at most `Pending` committed groups of this thread are still in flight.
template <int Pending>
__device__ __forceinline__ void cp_async_wait() {
  asm volatile("cp.async.wait_group %0;" ::"n"(Pending) : "memory");
}

// ---------------------------------------------------------------- ldmatrix / mma.sync

// Four 8x8 b16 matrices; lane l supplies the row address of matrix l / 8, row l % 8.
__device__ __forceinline__ void ldmatrix_x4(uint32_t (&r)[4], uint32_t smem_row) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%0, %1, %2, %3}, [%4];"
               : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3])
               : "r"(smem_row));
}

__device__ __forceinline__ void ldmatrix_x4_trans(uint32_t (&r)[4], uint32_t smem_row) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x4.trans.shared.b16 {%0, %1, %2, %3}, [%4];"
               : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3])
               : "r"(smem_row));
}

__device__ __forceinline__ void ldmatrix_x2(uint32_t (&r)[2], uint32_t smem_row) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x2.shared.b16 {%0, %1}, [%2];"
               : "=r"(r[0]), "=r"(r[1])
               : "r"(smem_row));
}

__device__ __forceinline__ void ldmatrix_x2_trans(uint32_t (&r)[2], uint32_t smem_row) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x2.trans.shared.b16 {%0, %1}, [%2];"
               : "=r"(r[0]), "=r"(r[1])
               : "r"(smem_row));
}

// D = A * B + C for one m16n8k16 tile: BF16 A (row) and B (col), FP32 accumulators in place.
__device__ __forceinline__ void mma_m16n8k16_bf16(float (&d)[4], const uint32_t (&a)[4], const uint32_t (&b)[2]) {
  asm volatile(
      "mma.sync.aligned.m16n8k16.row.col.f32.bf16.bf16.f32 {%0, %1, %2, %3}, {%4, %5, %6, %7}, {%8, %9}, "
      "{%0, %1, %2, %3};"
      : "+f"(d[0]), "+f"(d[1]), "+f"(d[2]), "+f"(d[3])
      : "r"(a[0]), "r"(a[1]), "r"(a[2]), "r"(a[3]), "r"(b[0]), "r"(b[1]));
}

// ---------------------------------------------------------------- approximate math

// 2^x, the hardware approximation (no flush-to-zero).
__device__ __forceinline__ float ex2_approx(float x) {
  float y;
  asm("ex2.approx.f32 %0, %1;" : "=f"(y) : "f"(x));
  return y;
}

// log2(x), the hardware approximation (no flush-to-zero).
__device__ __forceinline__ float lg2_approx(float x) {
  float y;
  asm("lg2.approx.f32 %0, %1;" : "=f"(y) : "f"(x));
  return y;
}

// 1/x, the hardware approximation (no flush-to-zero).
__device__ __forceinline__ float rcp_approx(float x) {
  float y;
  asm("rcp.approx.f32 %0, %1;" : "=f"(y) : "f"(x));
  return y;
}

// 1/sqrt(x), the hardware approximation (no flush-to-zero).
__device__ __forceinline__ float rsqrt_approx(float x) {
  float y;
  asm("rsqrt.approx.f32 %0, %1;" : "=f"(y) : "f"(x));
  return y;
}

// x / y, the approximate division.
__device__ __forceinline__ float div_approx(float x, float y) {
  float z;
  asm("div.approx.f32 %0, %1, %2;" : "=f"(z) : "f"(x), "f"(y));
  return z;
}

// 1/x, correctly rounded (round to nearest even, no flush-to-zero).
__device__ __forceinline__ float rcp_rn(float x) {
  float y;
  asm("rcp.rn.f32 %0, %1;" : "=f"(y) : "f"(x));
  return y;
}

}  // namespace ptx
}  // namespace kestrovane
