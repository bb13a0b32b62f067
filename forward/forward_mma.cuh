// The cp.async + mma.sync forward attention kernel, every head-dimension tier,
// and its launcher. One block of four warps computes 64 query rows of one
// (b, o, h) slice: K and V stream through a two-stage shared buffer in tiles of
// 64 keys (tile t + 1 is copied while tile t is computed), Q stays in registers,
// and an online softmax per row keeps the output in FP32 accumulators.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include <cstdint>
#include <type_traits>

#include "common/kernel_launch.cuh"
#include "common/launch.h"
#include "common/ptx.cuh"
#include "forward/forward_launch.h"
#include "forward/forward_plan.h"
#include "forward/forward_softmax.cuh"
#include "forward/query_fragments.cuh"

namespace {

using kestrovane::forward::kBlockThreads;
using kestrovane::forward::kTileRows;

// Copies key tile `tile` of K and V into one stage (64 rows of pitch HD + 8):
// 16-byte chunks, each thread HD / 16 chunks of each tensor. Chunks at or past
// the runtime head dimension are zero-filled without a read (D is a multiple of
// 8, so a chunk is wholly inside or outside), and without whole tiles keys past
// N read key 0 instead, whose scores are -inf anyway.
template <int HD, bool FullTiles>
__device__ __forceinline__ void copy_kv_tile(uint32_t k_stage, uint32_t v_stage, const __nv_bfloat16* k,
                                             const __nv_bfloat16* v, int tile, int N, int D) {
  constexpr int kChunksPerRow = HD / 8;
  constexpr int kPitch = HD + 8;
#pragma unroll
  for (int i = 0; i < HD / 16; ++i) {
    const int e = static_cast<int>(threadIdx.x) + kBlockThreads * i;
    const int row = e / kChunksPerRow;
    const int col = 8 * (e % kChunksPerRow);
    int key = tile * kTileRows + row;
    if constexpr (!FullTiles) {
      if (key >= N) key = 0;
    }
    const bool inside = col < D;
    const int64_t src = inside ? int64_t{key} * D + col : 0;
    const uint32_t dst = static_cast<uint32_t>((row * kPitch + col) * 2);
    kestrovane::ptx::cp_async_cg_16(k_stage + dst, k + src, inside ? 16u : 0u);
    kestrovane::ptx::cp_async_cg_16(v_stage + dst, v + src, inside ? 16u : 0u);
  }
}

// Blocks per multiprocessor that each instantiation is compiled to keep resident
// (its register budget): the most that build without spilling, within what the
// shared memory allows (tier 128: two blocks of 87040 bytes). The tail variants
// need more registers for their guarded scalar mask and bias loads.
constexpr int min_blocks_per_sm(int tier, bool full_tiles) {
  return full_tiles ? (tier == 16 ? 6 : tier == 32 ? 4 : tier == 64 ? 3 : 2) : (tier == 16 ? 4 : tier == 32 ? 3 : 2);
}

template <int HeadDimTier, bool QueryTilesOnX, bool FullTiles, bool SquarePair>
__global__ void __launch_bounds__(kBlockThreads, min_blocks_per_sm(HeadDimTier, FullTiles))
    kestrovane_triangle_forward_kernel(const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k,
                                       const __nv_bfloat16* __restrict__ v, const float* __restrict__ mask,
                                       const __nv_bfloat16* __restrict__ bias, __nv_bfloat16* __restrict__ out,
                                       float* __restrict__ lse, __nv_bfloat16* __restrict__ shadow_residual,
                                       int N, int O, int H, int B, int D, float scale) {
  using namespace kestrovane::ptx;
  constexpr int HD = HeadDimTier;
  constexpr int kPitch = HD + 8;  // 16 spare bytes per row: the 8 rows of an ldmatrix hit 8 distinct bank groups
  constexpr int kRegionBytes = kTileRows * kPitch * 2;
  constexpr int kKSteps = HD / 16;
  constexpr int kOutBlocks = HD / 8;
  (void)B;  // the batch index comes from bo / O

  // Q staging at 0, then K stage 0, V stage 0, K stage 1, V stage 1, one region each.
  unsigned char* const smem_raw = kestrovane::dynamic_smem<1024>();
  const uint32_t smem = smem_address(smem_raw);

  const int h = static_cast<int>(blockIdx.y);
  const int64_t bo = QueryTilesOnX ? blockIdx.z : blockIdx.x;
  const int query_tile = static_cast<int>(QueryTilesOnX ? blockIdx.x : blockIdx.z);
  const int outer = SquarePair ? N : O;
  const int64_t b = bo / outer;
  const int64_t slice = bo * H + h;
  const int64_t slice_offset = slice * N * D;  // D is the row pitch of q, k and v
  const int warp = static_cast<int>(threadIdx.x) / 32;
  const int lane = static_cast<int>(threadIdx.x) % 32;
  const int c = lane % 4;
  const int q0 = query_tile * kTileRows;
  const int r0 = q0 + 16 * warp + lane / 4;

  // The warp stages its own 16 query rows and keeps them as A fragments for the whole kernel.
  stage_query_rows<HD, FullTiles>(smem_raw, q + slice_offset, q0, N, D);
  __syncwarp();
  uint32_t q_frag[kKSteps][4];
  load_query_fragments<HD>(smem, q_frag);

  const uint16_t* bias_rows = reinterpret_cast<const uint16_t*>(bias) + (b * H + h) * N * N;
  const ScoreSource source{mask + bo * N, bias_rows + int64_t{r0} * N, bias_rows + int64_t{r0 + 8} * N,
                           N, r0, c, scale};
  // Lane offsets of the ldmatrix row addresses: K rows for two n-blocks of S at
  // once, V rows (transposed) for two output n-blocks of P V at once.
  const uint32_t k_lane = ((lane % 8 + 8 * (lane / 16)) * kPitch + 8 * ((lane / 8) % 2)) * 2;
  const uint32_t v_lane = ((lane % 16) * kPitch + 8 * (lane / 16)) * 2;

  float m[2] = {kestrovane::kNegInf, kestrovane::kNegInf};
  float l[2] = {0.0f, 0.0f};
  float acc[kOutBlocks][4];
#pragma unroll
  for (int n = 0; n < kOutBlocks; ++n) {
    acc[n][0] = acc[n][1] = acc[n][2] = acc[n][3] = 0.0f;
  }

  const __nv_bfloat16* k_slice = k + slice_offset;
  const __nv_bfloat16* v_slice = v + slice_offset;
  const int key_tiles = (N + kTileRows - 1) / kTileRows;
  copy_kv_tile<HD, FullTiles>(smem + kRegionBytes, smem + 2 * kRegionBytes, k_slice, v_slice, 0, N, D);
  cp_async_commit();

  // One key tile; only the tail kernels guard rows, and only their last tile keys.
  const auto key_tile = [&](int t, auto key_guard) {
    constexpr bool kRowGuard = !FullTiles;
    constexpr bool kKeyGuard = decltype(key_guard)::value;
    const int key0 = t * kTileRows;
    ScoreTerms terms;
    load_score_terms<kRowGuard, kKeyGuard>(terms, source, key0);

    // Tile t has landed for every thread, and every warp is done with the other
    // stage (tile t - 1), so it can be refilled while tile t is computed.
    cp_async_wait<0>();
    __syncthreads();
    if (t + 1 < key_tiles) {
      const uint32_t next = smem + (1 + 2 * ((t + 1) % 2)) * kRegionBytes;
      copy_kv_tile<HD, FullTiles>(next, next + kRegionBytes, k_slice, v_slice, t + 1, N, D);
      cp_async_commit();
    }
    const uint32_t k_stage = smem + (1 + 2 * (t % 2)) * kRegionBytes;
    const uint32_t v_stage = k_stage + kRegionBytes;

    // S = Q K^T, one fresh FP32 accumulator per n-block, k-steps in ascending order.
    float s[kKeyBlocks][4];
#pragma unroll
    for (int j = 0; j < kKeyBlocks; ++j) {
      s[j][0] = s[j][1] = s[j][2] = s[j][3] = 0.0f;
    }
#pragma unroll
    for (int j = 0; j < kKeyBlocks; j += 2) {
#pragma unroll
      for (int kk = 0; kk < kKSteps; ++kk) {
        uint32_t kf[4];
        ldmatrix_x4(kf, k_stage + k_lane + (8 * j * kPitch + 16 * kk) * 2);
        const uint32_t lo[2] = {kf[0], kf[1]};
        const uint32_t hi[2] = {kf[2], kf[3]};
        mma_m16n8k16_bf16(s[j], q_frag[kk], lo);
        mma_m16n8k16_bf16(s[j + 1], q_frag[kk], hi);
      }
    }

    finish_scores<kRowGuard, kKeyGuard>(s, terms, source, key0);
    softmax_tile<kOutBlocks>(s, m, l, acc);

    // O += P V with P rounded to BF16, key steps of 16 in ascending order.
#pragma unroll
    for (int kk = 0; kk < kTileRows / 16; ++kk) {
      uint32_t a[4];
      probability_fragment(a, s, kk);
#pragma unroll
      for (int n = 0; n < kOutBlocks; n += 2) {
        uint32_t vf[4];
        ldmatrix_x4_trans(vf, v_stage + v_lane + (16 * kk * kPitch + 8 * n) * 2);
        const uint32_t lo[2] = {vf[0], vf[1]};
        const uint32_t hi[2] = {vf[2], vf[3]};
        mma_m16n8k16_bf16(acc[n], a, lo);
        mma_m16n8k16_bf16(acc[n + 1], a, hi);
      }
    }
  };

  const int full_key_tiles = FullTiles ? key_tiles : key_tiles - 1;
  for (int t = 0; t < full_key_tiles; ++t) {
    key_tile(t, std::false_type{});
  }
  if constexpr (!FullTiles) {
    key_tile(key_tiles - 1, std::true_type{});
  }

  store_rows<kOutBlocks, FullTiles>(acc, m, l, RowOutputs{out, shadow_residual, lse, bo, slice, h, H, N, D, r0, c});
}

}  // namespace

namespace kestrovane {
namespace forward {

template <int HeadDimTier>
LaunchResult launch_forward(const ForwardLaunch& p, cudaStream_t stream) {
  const ForwardPlan plan = forward_plan(p.N, p.O, p.H, p.B);
  const int smem_bytes = mma_smem_bytes(HeadDimTier);
  const float scale = softmax_scale(p.D);
  return with_plan_flags(plan, [&](auto on_x, auto full, auto square) {
    const auto kernel = &kestrovane_triangle_forward_kernel<HeadDimTier, decltype(on_x)::value,
                                                            decltype(full)::value, decltype(square)::value>;
    const cudaError_t opt_in = opt_in_dynamic_smem(reinterpret_cast<const void*>(kernel), smem_bytes);
    if (opt_in != cudaSuccess) return opt_in_result(opt_in);
    // A configuration the runtime refuses leaves its error for the entry's check.
    kestrovane::launch_kernel(kernel, dim3(plan.grid_x, plan.grid_y, plan.grid_z), dim3(kBlockThreads), smem_bytes,
                              stream, static_cast<const __nv_bfloat16*>(p.q), static_cast<const __nv_bfloat16*>(p.k),
                              static_cast<const __nv_bfloat16*>(p.v), p.mask, static_cast<const __nv_bfloat16*>(p.bias),
                              static_cast<__nv_bfloat16*>(p.out), p.lse, static_cast<__nv_bfloat16*>(p.shadow_residual),
                              p.N, p.O, p.H, p.B, p.D, scale);
    return LaunchResult{};
  });
}

}  // namespace forward
}  // namespace kestrovane
