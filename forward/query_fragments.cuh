// The query block of a forward attention block, staged through shared memory once and
// then kept in registers as MMA A fragments for the whole key loop. Warp w owns query
// rows q0 + 16w .. q0 + 16w + 15; the staging area holds them at rows 16w .. 16w + 15
// with a pitch of HD + 8 elements, so the eight rows of every 8x8 ldmatrix block sit at
// eight distinct 16-byte positions modulo 128 bytes.
#pragma once

#include <cuda_bf16.h>

#include <cstdint>

#include "common/ptx.cuh"

namespace {

// The warp copies its 16 rows element by element (two-byte reads through the read-only
// path): columns at or past D read as zero, and without whole tiles a row past N reads
// row 0 of the slice instead (its results are never stored). Only this warp reads the
// rows back, so a warp-level barrier is enough before load_query_fragments.
template <int HD, bool FullTiles>
__device__ __forceinline__ void stage_query_rows(unsigned char* staging, const __nv_bfloat16* q_slice, int q0,
                                                 int N, int D) {
  constexpr int kPitch = HD + 8;
  const int warp = static_cast<int>(threadIdx.x) / 32;
  const int lane = static_cast<int>(threadIdx.x) % 32;
  uint16_t* rows = reinterpret_cast<uint16_t*>(staging) + 16 * warp * kPitch;
#pragma unroll
  for (int i = 0; i < HD / 2; ++i) {
    const int e = lane + 32 * i;
    const int row = e / HD;
    const int col = e % HD;
    int query = q0 + 16 * warp + row;
    if constexpr (!FullTiles) {
      if (query >= N) query = 0;
    }
    rows[row * kPitch + col] =
        col < D ? kestrovane::ptx::ld_global_nc_b16(q_slice + int64_t{query} * D + col) : uint16_t{0};
  }
}

// The warp's 16 x HD block as m16n8k16 A fragments, one group of four registers per 16
// head dimensions; wgmma takes the same registers as its per-warp A operand.
template <int HD>
__device__ __forceinline__ void load_query_fragments(uint32_t staging, uint32_t (&frag)[HD / 16][4]) {
  constexpr int kPitch = HD + 8;
  const int warp = static_cast<int>(threadIdx.x) / 32;
  const int lane = static_cast<int>(threadIdx.x) % 32;
#pragma unroll
  for (int kk = 0; kk < HD / 16; ++kk) {
    kestrovane::ptx::ldmatrix_x4(frag[kk], staging + ((16 * warp + lane % 16) * kPitch + 16 * kk + 8 * (lane / 16)) * 2);
  }
}

}  // namespace
