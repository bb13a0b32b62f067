// One thin wrapper per PTX primitive that the kernels use. Device code only.
// Add a primitive here once and call it everywhere; keep each wrapper a single
// instruction (or a fixed instruction group such as commit + wait).
#pragma once

#include <cstdint>

#if defined(KESTROVANE_EMULATED)
// The CPU execution model's twin of every wrapper below, with the same signatures.
#include "emulator/ptx.h"
#else

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

// Two 32-bit words (8-byte aligned) through the read-only data path.
__device__ __forceinline__ uint2 ld_global_nc_v2_b32(const void* address) {
  return __ldg(static_cast<const uint2*>(address));
}

// Four FP32 values (16-byte aligned) through the read-only data path.
__device__ __forceinline__ float4 ld_global_nc_v4_f32(const float* address) {
  return __ldg(reinterpret_cast<const float4*>(address));
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

// ---------------------------------------------------------------- mbarrier

// Initialises a shared-memory barrier whose phases complete after `count` arrivals
// (plus whatever transaction bytes the arrivals announce).
__device__ __forceinline__ void mbarrier_init(uint32_t barrier, uint32_t count) {
  asm volatile("mbarrier.init.shared::cta.b64 [%0], %1;" ::"r"(barrier), "r"(count) : "memory");
}

// Orders the preceding mbarrier.init operations before later uses of the barriers
// by other threads and by the copy engine.
__device__ __forceinline__ void fence_mbarrier_init() {
  asm volatile("fence.mbarrier_init.release.cluster;" ::: "memory");
}

// One arrival that also announces `bytes` of copy-engine transactions for the current phase.
__device__ __forceinline__ void mbarrier_arrive_expect_tx(uint32_t barrier, uint32_t bytes) {
  asm volatile("mbarrier.arrive.expect_tx.shared::cta.b64 _, [%0], %1;" ::"r"(barrier), "r"(bytes) : "memory");
}

// True once the phase of parity `parity` has completed (the hardware may suspend
// the thread for a while before answering false).
__device__ __forceinline__ bool mbarrier_try_wait_parity(uint32_t barrier, uint32_t parity) {
  uint32_t done;
  asm volatile(
      "{\n"
      ".reg .pred complete;\n"
      "mbarrier.try_wait.parity.shared::cta.b64 complete, [%1], %2;\n"
      "selp.u32 %0, 1, 0, complete;\n"
      "}"
      : "=r"(done)
      : "r"(barrier), "r"(parity)
      : "memory");
  return done != 0;
}

__device__ __forceinline__ void mbarrier_wait_parity(uint32_t barrier, uint32_t parity) {
  while (!mbarrier_try_wait_parity(barrier, parity)) {
  }
}

// ---------------------------------------------------------------- bulk tensor copies (TMA)

// Copies the box of a 3-D tensor map at coordinates (c0, c1, c2), innermost first, into
// shared memory at `smem_dst`; completion is signalled as transaction bytes on `barrier`.
// `tensor_map` is the generic address of a CUtensorMap kernel parameter (grid constant).
__device__ __forceinline__ void tma_load_3d(uint32_t smem_dst, const void* tensor_map, uint32_t barrier, int c0,
                                            int c1, int c2) {
  asm volatile(
      "cp.async.bulk.tensor.3d.shared::cluster.global.tile.mbarrier::complete_tx::bytes [%0], [%1, {%3, %4, %5}], "
      "[%2];" ::"r"(smem_dst),
      "l"(tensor_map), "r"(barrier), "r"(c0), "r"(c1), "r"(c2)
      : "memory");
}

// The same for a 4-D tensor map at coordinates (c0, c1, c2, c3), innermost first.
__device__ __forceinline__ void tma_load_4d(uint32_t smem_dst, const void* tensor_map, uint32_t barrier, int c0,
                                            int c1, int c2, int c3) {
  asm volatile(
      "cp.async.bulk.tensor.4d.shared::cluster.global.tile.mbarrier::complete_tx::bytes [%0], [%1, {%3, %4, %5, %6}], "
      "[%2];" ::"r"(smem_dst),
      "l"(tensor_map), "r"(barrier), "r"(c0), "r"(c1), "r"(c2), "r"(c3)
      : "memory");
}

// ---------------------------------------------------------------- proxy fences

// Orders shared-memory accesses of the generic proxy (ordinary loads, stores, ldmatrix)
// against those of the async proxy (bulk copies, wgmma operand reads), both ways.
__device__ __forceinline__ void fence_proxy_async_shared() {
  asm volatile("fence.proxy.async.shared::cta;" ::: "memory");
}

// Waits for the phase of parity `parity` of a barrier that bulk copies complete, leaves the
// warp converged (the .aligned instructions that follow need every lane), then orders the
// copy engine's writes before this thread's generic-proxy reads (ldmatrix) and the
// warpgroup's wgmma operand reads.
__device__ __forceinline__ void wait_for_bulk_copies(uint32_t barrier, uint32_t parity) {
  mbarrier_wait_parity(barrier, parity);
  __syncwarp();
  fence_proxy_async_shared();
}

// ---------------------------------------------------------------- wgmma

// Orders earlier register accesses of the warpgroup before the wgmma.mma_async that follow.
__device__ __forceinline__ void wgmma_fence() { asm volatile("wgmma.fence.sync.aligned;" ::: "memory"); }

__device__ __forceinline__ void wgmma_commit_group() { asm volatile("wgmma.commit_group.sync.aligned;" ::: "memory"); }

// Waits until at most `Pending` committed wgmma groups of the warpgroup are in flight.
template <int Pending>
__device__ __forceinline__ void wgmma_wait_group() {
  asm volatile("wgmma.wait_group.sync.aligned %0;" ::"n"(Pending) : "memory");
}

// Pins a register that an in-flight wgmma writes, so that the compiler neither reads
// it before the wait nor moves the write of an earlier value past the wgmma that writes it.
__device__ __forceinline__ void fence_operand(float& value) { asm volatile("" : "+f"(value)::"memory"); }

// D (64x64 FP32) = A * B (+ D when Accumulate): A is 64x16 BF16 in registers (per warp
// the m16n8k16 A fragment of its 16 rows), B is 16x64 BF16 read K-major from shared memory
// through the matrix descriptor `b_desc`. Per thread D is eight m16n8 accumulators, one per
// block of 8 columns: d[j] = (row g, 8j+2c), (g, 8j+2c+1), (g+8, 8j+2c), (g+8, 8j+2c+1).
template <bool Accumulate>
__device__ __forceinline__ void wgmma_m64n64k16_bf16_rs(float (&d)[8][4], const uint32_t (&a)[4], uint64_t b_desc) {
  asm volatile(
      "{\n"
      ".reg .pred accumulate;\n"
      "setp.ne.b32 accumulate, %37, 0;\n"
      "wgmma.mma_async.sync.aligned.m64n64k16.f32.bf16.bf16 "
      "{%0, %1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12, %13, %14, %15, "
      "%16, %17, %18, %19, %20, %21, %22, %23, %24, %25, %26, %27, %28, %29, %30, %31}, "
      "{%32, %33, %34, %35}, %36, accumulate, 1, 1, 0;\n"
      "}"
      : "+f"(d[0][0]), "+f"(d[0][1]), "+f"(d[0][2]), "+f"(d[0][3]), "+f"(d[1][0]), "+f"(d[1][1]), "+f"(d[1][2]),
        "+f"(d[1][3]), "+f"(d[2][0]), "+f"(d[2][1]), "+f"(d[2][2]), "+f"(d[2][3]), "+f"(d[3][0]), "+f"(d[3][1]),
        "+f"(d[3][2]), "+f"(d[3][3]), "+f"(d[4][0]), "+f"(d[4][1]), "+f"(d[4][2]), "+f"(d[4][3]), "+f"(d[5][0]),
        "+f"(d[5][1]), "+f"(d[5][2]), "+f"(d[5][3]), "+f"(d[6][0]), "+f"(d[6][1]), "+f"(d[6][2]), "+f"(d[6][3]),
        "+f"(d[7][0]), "+f"(d[7][1]), "+f"(d[7][2]), "+f"(d[7][3])
      : "r"(a[0]), "r"(a[1]), "r"(a[2]), "r"(a[3]), "l"(b_desc), "r"(Accumulate ? 1u : 0u));
}

// D (64x32 FP32) = A * B (+ D when Accumulate): A is 64x16 BF16 and B is 16x32 BF16, both read
// K-major (neither transposed) from shared memory through the matrix descriptors `a_desc`
// and `b_desc`. Per thread D is four m16n8 accumulators, one per block of 8 columns, laid out
// as in wgmma_m64n64k16_bf16_rs: warp w holds rows 16w..16w+15.
template <bool Accumulate>
__device__ __forceinline__ void wgmma_m64n32k16_bf16_ss(float (&d)[4][4], uint64_t a_desc, uint64_t b_desc) {
  asm volatile(
      "{\n"
      ".reg .pred accumulate;\n"
      "setp.ne.b32 accumulate, %18, 0;\n"
      "wgmma.mma_async.sync.aligned.m64n32k16.f32.bf16.bf16 "
      "{%0, %1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12, %13, %14, %15}, "
      "%16, %17, accumulate, 1, 1, 0, 0;\n"
      "}"
      : "+f"(d[0][0]), "+f"(d[0][1]), "+f"(d[0][2]), "+f"(d[0][3]), "+f"(d[1][0]), "+f"(d[1][1]), "+f"(d[1][2]),
        "+f"(d[1][3]), "+f"(d[2][0]), "+f"(d[2][1]), "+f"(d[2][2]), "+f"(d[2][3]), "+f"(d[3][0]), "+f"(d[3][1]),
        "+f"(d[3][2]), "+f"(d[3][3])
      : "l"(a_desc), "l"(b_desc), "r"(Accumulate ? 1u : 0u));
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

#endif  // KESTROVANE_EMULATED
