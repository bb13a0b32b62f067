// The emulated twin of the library's PTX wrappers: the same functions with the same
// signatures, each carried out by the CPU execution model with the semantics that the
// PTX ISA gives the instruction the real wrapper issues.
#pragma once

#include <vector_types.h>

#include <cstdint>
#include <cstring>

#include "emulator/threads.h"

namespace kestrovane_emu {

void cp_async_16(uint32_t smem_dst, const void* global_src, uint32_t src_bytes);
void cp_async_commit();
void cp_async_wait(int pending);

void ldmatrix(int count, bool trans, uint32_t smem_row, uint32_t* out);
void mma_m16n8k16(float* d, const uint32_t* a, const uint32_t* b);

void mbarrier_init(uint32_t barrier, uint32_t count);
void fence_mbarrier_init();
void mbarrier_arrive_expect_tx(uint32_t barrier, uint32_t bytes);
bool mbarrier_try_wait_parity(uint32_t barrier, uint32_t parity);
void tma_load(int rank, uint32_t smem_dst, const void* tensor_map, uint32_t barrier, const int32_t* coords);
void fence_proxy_async_shared();

void wgmma_fence();
void wgmma_commit_group();
void wgmma_wait_group(int pending);
void wgmma(int n, float* d, const uint32_t* a_regs, uint64_t a_desc, uint64_t b_desc, bool accumulate);

float ex2_approx(float x);
float lg2_approx(float x);
float rcp_approx(float x);
float rsqrt_approx(float x);
float div_approx(float x, float y);
float rcp_rn(float x);

template <class T>
inline T load_global(const void* address) {
  check_global_alignment(address, sizeof(T));
  T value;
  std::memcpy(&value, address, sizeof(T));
  return value;
}

}  // namespace kestrovane_emu

namespace kestrovane {
namespace ptx {

namespace emu = ::kestrovane_emu;

inline uint32_t ld_global_nc_b32(const void* address) { return emu::load_global<uint32_t>(address); }
inline void st_global_b32(void* address, uint32_t value) {
  emu::check_global_alignment(address, 4);
  std::memcpy(address, &value, 4);
}
inline uint16_t ld_global_nc_b16(const void* address) { return emu::load_global<uint16_t>(address); }
inline float ld_global_nc_f32(const float* address) { return emu::load_global<float>(address); }
inline float2 ld_global_nc_v2_f32(const float* address) { return emu::load_global<float2>(address); }
inline uint2 ld_global_nc_v2_b32(const void* address) { return emu::load_global<uint2>(address); }
inline float4 ld_global_nc_v4_f32(const float* address) { return emu::load_global<float4>(address); }

inline uint32_t smem_address(const void* pointer) { return emu::shared_address(pointer); }

inline void cp_async_cg_16(uint32_t smem_dst, const void* global_src, uint32_t src_bytes) {
  emu::cp_async_16(smem_dst, global_src, src_bytes);
}
inline void cp_async_commit() { emu::cp_async_commit(); }
template <int Pending>
inline void cp_async_wait() {
  emu::cp_async_wait(Pending);
}

inline void ldmatrix_x4(uint32_t (&r)[4], uint32_t smem_row) { emu::ldmatrix(4, false, smem_row, r); }
inline void ldmatrix_x4_trans(uint32_t (&r)[4], uint32_t smem_row) { emu::ldmatrix(4, true, smem_row, r); }
inline void ldmatrix_x2(uint32_t (&r)[2], uint32_t smem_row) { emu::ldmatrix(2, false, smem_row, r); }
inline void ldmatrix_x2_trans(uint32_t (&r)[2], uint32_t smem_row) { emu::ldmatrix(2, true, smem_row, r); }

inline void mma_m16n8k16_bf16(float (&d)[4], const uint32_t (&a)[4], const uint32_t (&b)[2]) {
  emu::mma_m16n8k16(d, a, b);
}

inline void mbarrier_init(uint32_t barrier, uint32_t count) { emu::mbarrier_init(barrier, count); }
inline void fence_mbarrier_init() { emu::fence_mbarrier_init(); }
inline void mbarrier_arrive_expect_tx(uint32_t barrier, uint32_t bytes) {
  emu::mbarrier_arrive_expect_tx(barrier, bytes);
}
inline bool mbarrier_try_wait_parity(uint32_t barrier, uint32_t parity) {
  return emu::mbarrier_try_wait_parity(barrier, parity);
}
inline void mbarrier_wait_parity(uint32_t barrier, uint32_t parity) {
  while (!mbarrier_try_wait_parity(barrier, parity)) {
  }
}

inline void tma_load_3d(uint32_t smem_dst, const void* tensor_map, uint32_t barrier, int c0, int c1, int c2) {
  const int32_t coords[3] = {c0, c1, c2};
  emu::tma_load(3, smem_dst, tensor_map, barrier, coords);
}
inline void tma_load_4d(uint32_t smem_dst, const void* tensor_map, uint32_t barrier, int c0, int c1, int c2,
                        int c3) {
  const int32_t coords[4] = {c0, c1, c2, c3};
  emu::tma_load(4, smem_dst, tensor_map, barrier, coords);
}

inline void fence_proxy_async_shared() { emu::fence_proxy_async_shared(); }

inline void wait_for_bulk_copies(uint32_t barrier, uint32_t parity) {
  mbarrier_wait_parity(barrier, parity);
  emu::sync_warp(0xffffffffu);
  fence_proxy_async_shared();
}

inline void wgmma_fence() { emu::wgmma_fence(); }
inline void wgmma_commit_group() { emu::wgmma_commit_group(); }
template <int Pending>
inline void wgmma_wait_group() {
  emu::wgmma_wait_group(Pending);
}
// The accumulators are written by the model itself when their group retires.
inline void fence_operand(float&) {}

template <bool Accumulate>
inline void wgmma_m64n64k16_bf16_rs(float (&d)[8][4], const uint32_t (&a)[4], uint64_t b_desc) {
  emu::wgmma(64, &d[0][0], a, 0, b_desc, Accumulate);
}
template <bool Accumulate>
inline void wgmma_m64n32k16_bf16_ss(float (&d)[4][4], uint64_t a_desc, uint64_t b_desc) {
  emu::wgmma(32, &d[0][0], nullptr, a_desc, b_desc, Accumulate);
}

inline float ex2_approx(float x) { return emu::ex2_approx(x); }
inline float lg2_approx(float x) { return emu::lg2_approx(x); }
inline float rcp_approx(float x) { return emu::rcp_approx(x); }
inline float rsqrt_approx(float x) { return emu::rsqrt_approx(x); }
inline float div_approx(float x, float y) { return emu::div_approx(x, y); }
inline float rcp_rn(float x) { return emu::rcp_rn(x); }

}  // namespace ptx
}  // namespace kestrovane
