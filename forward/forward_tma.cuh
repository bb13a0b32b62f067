// Forward attention, TMA + wgmma family, head dimensions 16, 32 and 64 (D equals the tier).
//
// One block (one warpgroup of four warps) computes 64 query rows of one slice (b, o, h)
// with an online softmax over key tiles of 64. Thread 0 drives the copy engine: each key
// tile's K and V boxes land, swizzled, in a two-stage buffer and complete on their own
// transaction-counting barrier, so S can start as soon as K has arrived while V is still
// in flight. S = Q K^T is one wgmma m64n64k16 per 16 head dimensions (Q in registers, K
// straight from its swizzled stage); P V stays on mma.sync, reading V through ldmatrix.
// Scores, softmax, rounding points and epilogue are those of the cp.async kernel
// (forward/forward_softmax.cuh), so both families compute the same formulas.
//
// What the launcher relies on (the entry checks it before the device guard): D equals the
// tier; B*O*H <= 2^31-1 (the slice is a signed 32-bit tensor-map coordinate); k and v are
// 16-byte aligned (TMA global addresses); out and shadow_residual are 4-byte aligned (BF16
// pairs are stored as words); bias is 4-byte and mask 8-byte aligned (with N a multiple of 64
// a thread's two keys of an n-block are one aligned word of each).
#pragma once

#include <cuda.h>
#include <cuda_bf16.h>
#include <cuda_runtime_api.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/launch.h"
#include "common/ptx.cuh"
#include "common/smem_layout.h"
#include "common/tensor_map.h"
#include "forward/forward_launch.h"
#include "forward/forward_plan.h"
#include "forward/forward_softmax.cuh"
#include "forward/forward_tma_host.h"
#include "forward/query_fragments.cuh"

namespace {

// Thread 0: the K and V boxes of key tile `tile` into stage `stage`; each barrier expects
// the whole box (the copy engine counts zero-filled rows past N as well).
__device__ __forceinline__ void issue_key_tile(const CUtensorMap* k_map, const CUtensorMap* v_map, uint32_t k_stage,
                                               uint32_t v_stage, uint32_t k_barrier, uint32_t v_barrier,
                                               uint32_t bytes, int tile, int slice) {
  using namespace kestrovane::ptx;
  using kestrovane::forward::kTileRows;
  mbarrier_arrive_expect_tx(k_barrier, bytes);
  tma_load_3d(k_stage, k_map, k_barrier, 0, kTileRows * tile, slice);
  mbarrier_arrive_expect_tx(v_barrier, bytes);
  tma_load_3d(v_stage, v_map, v_barrier, 0, kTileRows * tile, slice);
}

template <int HeadDimTier, bool QueryTilesOnX, bool FullTiles, bool SquarePair>
__global__ void __launch_bounds__(kestrovane::forward::kBlockThreads)
    kestrovane_triangle_forward_tma_kernel(const __grid_constant__ CUtensorMap k_map,
                                           const __grid_constant__ CUtensorMap v_map,
                                           const __nv_bfloat16* __restrict__ q, const float* __restrict__ mask,
                                           const __nv_bfloat16* __restrict__ bias, __nv_bfloat16* __restrict__ out,
                                           float* __restrict__ lse, __nv_bfloat16* __restrict__ shadow_residual, int N,
                                           int O, int H, float scale) {
  using namespace kestrovane::ptx;
  using kestrovane::Swizzle;
  using kestrovane::forward::kTileRows;
  constexpr int HD = HeadDimTier;
  static_assert(HD == 16 || HD == 32 || HD == 64, "the TMA kernels serve tiers 16, 32 and 64");
  constexpr Swizzle kSwizzle = kestrovane::swizzle_for_row(HD);
  constexpr kestrovane::forward::ForwardTmaLayout kLayout = kestrovane::forward::forward_tma_layout(HD);
  constexpr uint32_t kTileBytes = kLayout.tile_bytes;
  constexpr int kOutBlocks = HD / 8;
  static_assert(kLayout.k_stage0 % kestrovane::swizzle_repeat_bytes(kSwizzle) == 0 &&
                    kTileBytes % kestrovane::swizzle_repeat_bytes(kSwizzle) == 0,
                "every stage must start on a swizzle repeat");

  unsigned char* const smem_raw = kestrovane::dynamic_smem<1024>();
  __shared__ __align__(8) uint64_t k_barriers[2];
  __shared__ __align__(8) uint64_t v_barriers[2];

  const int tid = static_cast<int>(threadIdx.x);
  const int warp = tid / 32;
  const int lane = tid % 32;
  const int c = lane % 4;
  const int h = static_cast<int>(blockIdx.y);
  const int query_tile = static_cast<int>(QueryTilesOnX ? blockIdx.x : blockIdx.z);
  const int64_t bo = QueryTilesOnX ? blockIdx.z : blockIdx.x;
  const int b = static_cast<int>(bo) / (SquarePair ? N : O);  // B*O <= 2^31-1
  const int64_t slice = bo * H + h;
  const int q0 = kTileRows * query_tile;
  const int r0 = q0 + 16 * warp + lane / 4;
  const int key_tiles = (N + kTileRows - 1) / kTileRows;

  const uint32_t smem = smem_address(smem_raw);
  const uint32_t k_stage0 = smem + kLayout.k_stage0;
  const uint32_t v_stage0 = smem + kLayout.v_stage0;
  const uint32_t k_barrier0 = smem_address(&k_barriers[0]);
  const uint32_t v_barrier0 = smem_address(&v_barriers[0]);

  if (tid == 0) {
    mbarrier_init(k_barrier0, 1);
    mbarrier_init(k_barrier0 + 8, 1);
    mbarrier_init(v_barrier0, 1);
    mbarrier_init(v_barrier0 + 8, 1);
    // The copy engine completes these barriers: their initialisation must be visible to
    // it before the first copy is issued.
    fence_mbarrier_init();
    fence_proxy_async_shared();
    // Tile 0 is fetched while the query rows are staged (the stages do not overlap the
    // staging area, and no other thread touches a barrier before the block barrier below).
    issue_key_tile(&k_map, &v_map, k_stage0, v_stage0, k_barrier0, v_barrier0, kTileBytes, 0,
                   static_cast<int>(slice));
  }

  stage_query_rows<HD, FullTiles>(smem_raw + kLayout.q_staging, q + slice * N * HD, q0, N, HD);
  // Publishes the staged rows and the barrier initialisation to every thread.
  __syncthreads();
  uint32_t q_frag[HD / 16][4];
  load_query_fragments<HD>(smem + kLayout.q_staging, q_frag);

  const uint16_t* bias_rows = reinterpret_cast<const uint16_t*>(bias) + (int64_t{b} * H + h) * N * N;
  const ScoreSource source{mask + bo * N, bias_rows + int64_t{r0} * N, bias_rows + int64_t{r0 + 8} * N,
                           N, r0, c, scale};
  float m[2] = {kestrovane::kNegInf, kestrovane::kNegInf};
  float l[2] = {0.0f, 0.0f};
  float acc[kOutBlocks][4];
#pragma unroll
  for (int n = 0; n < kOutBlocks; ++n) {
    acc[n][0] = acc[n][1] = acc[n][2] = acc[n][3] = 0.0f;
  }

  // Lane part of the V addresses: ldmatrix lane l supplies key row 16k + (l mod 16) of
  // output chunk n + l / 16; 16k is a multiple of every swizzle period, so the row's
  // chunk XOR depends on the lane only.
  const uint32_t v_row = lane % 16;
  const uint32_t v_chunk = lane / 16;

  for (int t = 0; t < key_tiles; ++t) {
    const int key0 = t * kTileRows;
    const uint32_t stage = t & 1;
    const uint32_t parity = (t >> 1) & 1;
    const uint32_t k_stage = k_stage0 + stage * kTileBytes;
    const uint32_t v_stage = v_stage0 + stage * kTileBytes;
    kestrovane::ptx::wait_for_bulk_copies(k_barrier0 + 8 * stage, parity);
    float s[kKeyBlocks][4];
#pragma unroll
    for (int j = 0; j < kKeyBlocks; ++j) {
#pragma unroll
      for (int x = 0; x < 4; ++x) fence_operand(s[j][x]);
    }
    wgmma_fence();
    wgmma_m64n64k16_bf16_rs<false>(s, q_frag[0], kestrovane::wgmma_descriptor(kSwizzle, k_stage));
#pragma unroll
    for (int kk = 1; kk < HD / 16; ++kk) {
      wgmma_m64n64k16_bf16_rs<true>(s, q_frag[kk], kestrovane::wgmma_descriptor(kSwizzle, k_stage + 32 * kk));
    }
    wgmma_commit_group();

    // Stage (t+1) mod 2 was last read by tile t-1, which every thread finished before the
    // block barrier that closed it.
    if (tid == 0 && t + 1 < key_tiles) {
      const uint32_t next = stage ^ 1u;
      issue_key_tile(&k_map, &v_map, k_stage0 + next * kTileBytes, v_stage0 + next * kTileBytes,
                     k_barrier0 + 8 * next, v_barrier0 + 8 * next, kTileBytes, t + 1, static_cast<int>(slice));
    }

    // Mask and bias are in flight while S is formed.
    ScoreTerms terms;
    load_score_terms<!FullTiles, !FullTiles>(terms, source, key0);

    wgmma_wait_group<0>();
#pragma unroll
    for (int j = 0; j < kKeyBlocks; ++j) {
#pragma unroll
      for (int x = 0; x < 4; ++x) fence_operand(s[j][x]);
    }

    finish_scores<!FullTiles, !FullTiles>(s, terms, source, key0);
    softmax_tile<kOutBlocks>(s, m, l, acc);

    // O += P V with P rounded to BF16, key steps of 16 in ascending order; V is read out of
    // its swizzled stage, two output n-blocks per ldmatrix.
    kestrovane::ptx::wait_for_bulk_copies(v_barrier0 + 8 * stage, parity);
#pragma unroll
    for (int kk = 0; kk < kTileRows / 16; ++kk) {
      uint32_t a[4];
      probability_fragment(a, s, kk);
      const uint32_t row = 16 * kk + v_row;
#pragma unroll
      for (int n = 0; n < kOutBlocks; n += 2) {
        uint32_t vf[4];
        ldmatrix_x4_trans(vf, v_stage + kestrovane::swizzled_chunk_byte(kSwizzle, row, n + v_chunk));
        const uint32_t lo[2] = {vf[0], vf[1]};
        const uint32_t hi[2] = {vf[2], vf[3]};
        mma_m16n8k16_bf16(acc[n], a, lo);
        mma_m16n8k16_bf16(acc[n + 1], a, hi);
      }
    }
    // Every warp is done with both stages of tile t (its wgmma group was waited for, its
    // ldmatrix reads have returned) before thread 0 refills stage t mod 2 with tile t+2.
    __syncthreads();
  }

  store_rows<kOutBlocks, FullTiles>(acc, m, l, RowOutputs{out, shadow_residual, lse, bo, slice, h, H, N, HD, r0, c});
}

}  // namespace

namespace kestrovane {
namespace forward {

// Builds the k and v descriptors (in this frame; the launch copies them into its argument
// block), raises the chosen instantiation's shared-memory limit and queues it. Launch
// errors are left for the entry's cudaGetLastError check.
template <int HeadDimTier>
LaunchResult launch_forward_tma(const ForwardLaunch& p, cudaStream_t stream) {
  const int64_t slices = int64_t{p.B} * p.O * p.H;
  const TensorMapEncoder encode = tensor_map_encode_fn();
  CUtensorMap k_map;
  CUtensorMap v_map;
  LaunchResult result = make_kv_tensor_map(&k_map, p.k, HeadDimTier, p.N, slices, encode);
  if (!result.ok()) return result;
  result = make_kv_tensor_map(&v_map, p.v, HeadDimTier, p.N, slices, encode);
  if (!result.ok()) return result;
  const ForwardPlan plan = forward_plan(p.N, p.O, p.H, p.B);
  constexpr int kSmemBytes = forward_tma_layout(HeadDimTier).total;
  // D equals the tier on this path, so the tier's scale is the call's.
  const float scale = softmax_scale(HeadDimTier);
  return with_plan_flags(plan, [&](auto on_x, auto full, auto square) {
    const auto kernel = &kestrovane_triangle_forward_tma_kernel<HeadDimTier, decltype(on_x)::value,
                                                                decltype(full)::value, decltype(square)::value>;
    const cudaError_t opt_in = opt_in_dynamic_smem(reinterpret_cast<const void*>(kernel), kSmemBytes);
    if (opt_in != cudaSuccess) return opt_in_result(opt_in);
    // A configuration the runtime refuses leaves its error for the entry's check.
    kestrovane::launch_kernel(kernel, dim3(plan.grid_x, plan.grid_y, plan.grid_z), dim3(kBlockThreads), kSmemBytes,
                              stream, k_map, v_map, static_cast<const __nv_bfloat16*>(p.q), p.mask,
                              static_cast<const __nv_bfloat16*>(p.bias), static_cast<__nv_bfloat16*>(p.out), p.lse,
                              static_cast<__nv_bfloat16*>(p.shadow_residual), p.N, p.O, p.H, scale);
    return LaunchResult{};
  });
}

}  // namespace forward
}  // namespace kestrovane
