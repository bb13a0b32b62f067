// Forward attention, TMA + wgmma family, head dimensions 16, 32 and 64 (D equals the tier).
//
// One block (one warpgroup of four warps) computes 64 query rows of one slice (b, o, h)
// with an online softmax over key tiles of 64. Thread 0 drives the copy engine: each key
// tile's K and V boxes land, swizzled, in a two-stage buffer and complete on their own
// transaction-counting barrier, so S can start as soon as K has arrived while V is still
// in flight. S = Q K^T is one wgmma m64n64k16 per 16 head dimensions (Q in registers, K
// straight from its swizzled stage); P V stays on mma.sync, reading V through ldmatrix.
// Scores, softmax, rounding points and epilogue are those of the cp.async kernel
// (forward/online_softmax.cuh), so both families compute the same formulas.
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

#include "common/launch.h"
#include "common/ptx.cuh"
#include "common/smem_layout.h"
#include "common/tensor_map.h"
#include "forward/forward_geometry.h"
#include "forward/forward_launch.h"
#include "forward/forward_tma_host.h"
#include "forward/online_softmax.cuh"

namespace kestrovane {
namespace forward {
namespace {

// Barrier wait, then the fence that orders the copy engine's writes before this thread's
// generic-proxy reads (ldmatrix) and wgmma operand reads of the stage. The warp leaves the
// wait loop converged: the .aligned instructions that follow need every lane.
__device__ __forceinline__ void wait_for_stage(uint32_t barrier, uint32_t parity) {
  ptx::mbarrier_wait_parity(barrier, parity);
  __syncwarp();
  ptx::fence_proxy_async_shared();
}

// Thread 0: the K and V boxes of key tile `tile` into stage `stage`; each barrier expects
// the whole box (the copy engine counts zero-filled rows past N as well).
__device__ __forceinline__ void issue_key_tile(const CUtensorMap* k_map, const CUtensorMap* v_map, uint32_t k_stage,
                                               uint32_t v_stage, uint32_t k_barrier, uint32_t v_barrier,
                                               uint32_t bytes, int tile, int slice) {
  ptx::mbarrier_arrive_expect_tx(k_barrier, bytes);
  ptx::tma_load_3d(k_stage, k_map, k_barrier, 0, kForwardTileRows * tile, slice);
  ptx::mbarrier_arrive_expect_tx(v_barrier, bytes);
  ptx::tma_load_3d(v_stage, v_map, v_barrier, 0, kForwardTileRows * tile, slice);
}

template <int HD, bool QueryTilesOnX, bool FullTiles, bool SquarePair>
__global__ void __launch_bounds__(kForwardThreads)
    kestrovane_triangle_forward_tma_kernel(const __grid_constant__ CUtensorMap k_map,
                                           const __grid_constant__ CUtensorMap v_map,
                                           const __nv_bfloat16* __restrict__ q, const float* __restrict__ mask,
                                           const __nv_bfloat16* __restrict__ bias, __nv_bfloat16* __restrict__ out,
                                           float* __restrict__ lse, __nv_bfloat16* __restrict__ shadow_residual, int N,
                                           int O, int H, float scale) {
  static_assert(HD == 16 || HD == 32 || HD == 64, "the TMA kernels serve tiers 16, 32 and 64");
  constexpr Swizzle kSwizzle = swizzle_for_row(HD);
  constexpr ForwardTmaLayout kLayout = forward_tma_layout(HD);
  constexpr uint32_t kTileBytes = kLayout.tile_bytes;
  constexpr int kOutputBlocks = HD / 8;
  static_assert(kLayout.k_stage0 % swizzle_repeat_bytes(kSwizzle) == 0 &&
                    kTileBytes % swizzle_repeat_bytes(kSwizzle) == 0,
                "every stage must start on a swizzle repeat");

  extern __shared__ __align__(1024) unsigned char smem_raw[];
  __shared__ __align__(8) uint64_t k_barriers[2];
  __shared__ __align__(8) uint64_t v_barriers[2];

  const int tid = threadIdx.x;
  const int warp = tid / 32;
  const int lane = tid % 32;
  const int h = blockIdx.y;
  const int query_tile = QueryTilesOnX ? blockIdx.x : blockIdx.z;
  const int64_t bo = QueryTilesOnX ? blockIdx.z : blockIdx.x;
  const int b = static_cast<int>(bo) / (SquarePair ? N : O);
  const int64_t slice = bo * H + h;
  const int q0 = kForwardTileRows * query_tile;
  const int r0 = q0 + 16 * warp + lane / 4;
  const int key_tiles = (N + kForwardTileRows - 1) / kForwardTileRows;

  const uint32_t smem = ptx::smem_address(smem_raw);
  const uint32_t k_stage0 = smem + kLayout.k_stage0;
  const uint32_t v_stage0 = smem + kLayout.v_stage0;
  const uint32_t k_barrier0 = ptx::smem_address(&k_barriers[0]);
  const uint32_t v_barrier0 = ptx::smem_address(&v_barriers[0]);

  if (tid == 0) {
    ptx::mbarrier_init(k_barrier0, 1);
    ptx::mbarrier_init(k_barrier0 + 8, 1);
    ptx::mbarrier_init(v_barrier0, 1);
    ptx::mbarrier_init(v_barrier0 + 8, 1);
    // The copy engine completes these barriers: their initialisation must be visible to
    // it before the first copy is issued.
    ptx::fence_mbarrier_init();
    ptx::fence_proxy_async_shared();
    // Tile 0 is fetched while the query rows are staged (the stages do not overlap the
    // staging area, and no other thread touches a barrier before the block barrier below).
    issue_key_tile(&k_map, &v_map, k_stage0, v_stage0, k_barrier0, v_barrier0, kTileBytes, 0,
                   static_cast<int>(slice));
  }

  auto* staging = reinterpret_cast<__nv_bfloat16*>(smem_raw + kLayout.q_staging);
  stage_query_rows<HD, FullTiles>(q + slice * N * HD, q0, N, HD, staging);
  // Publishes the staged rows and the barrier initialisation to every thread.
  __syncthreads();
  uint32_t q_frag[HD / 16][4];
  load_query_fragments<HD>(smem + kLayout.q_staging, q_frag);

  const ScoreRows<FullTiles> rows(mask, bias, bo, int64_t{b} * H + h, r0, N, scale);
  RowState<HD> state;

  // Lane-fixed part of the V addresses: ldmatrix lane l supplies key row 16k + (l mod 16)
  // of output chunk n + l / 16, and since 16k is a multiple of every swizzle period, the
  // row's chunk XOR depends on the lane only.
  const uint32_t v_row = lane % 16;
  const uint32_t v_chunk = lane / 16;

  for (int t = 0; t < key_tiles; ++t) {
    const uint32_t stage = t & 1;
    const uint32_t parity = (t >> 1) & 1;
    const uint32_t k_stage = k_stage0 + stage * kTileBytes;
    const uint32_t v_stage = v_stage0 + stage * kTileBytes;

    wait_for_stage(k_barrier0 + 8 * stage, parity);
    float s[kScoreValues];
#pragma unroll
    for (int i = 0; i < kScoreValues; ++i) ptx::fence_operand(s[i]);
    ptx::wgmma_fence();
    ptx::wgmma_m64n64k16_bf16_rs<false>(s, q_frag[0], wgmma_descriptor(kSwizzle, k_stage));
#pragma unroll
    for (int k = 1; k < HD / 16; ++k) {
      ptx::wgmma_m64n64k16_bf16_rs<true>(s, q_frag[k], wgmma_descriptor(kSwizzle, k_stage + 32 * k));
    }
    ptx::wgmma_commit_group();

    // Stage (t+1) mod 2 was last read by tile t-1, which every thread finished before the
    // block barrier that closed it.
    if (tid == 0 && t + 1 < key_tiles) {
      const uint32_t next = stage ^ 1u;
      issue_key_tile(&k_map, &v_map, k_stage0 + next * kTileBytes, v_stage0 + next * kTileBytes,
                     k_barrier0 + 8 * next, v_barrier0 + 8 * next, kTileBytes, t + 1, static_cast<int>(slice));
    }
    const int key_base = kForwardTileRows * t + 2 * (lane % 4);
    TileTerms terms;
    load_tile_terms<FullTiles>(terms, rows, key_base);

    ptx::wgmma_wait_group<0>();
#pragma unroll
    for (int i = 0; i < kScoreValues; ++i) ptx::fence_operand(s[i]);

    apply_scores<FullTiles>(s, terms, rows, key_base);
    online_softmax_step<HD>(s, state);
    uint32_t p[4][4];
    pack_probabilities(s, p);

    wait_for_stage(v_barrier0 + 8 * stage, parity);
#pragma unroll
    for (int k = 0; k < 4; ++k) {
      const uint32_t row = 16 * k + v_row;
#pragma unroll
      for (int n = 0; n < kOutputBlocks; n += 2) {
        // Matrices 0/1: keys 16k..16k+15 of chunk n; 2/3: the same keys of chunk n + 1.
        uint32_t v_frag[4];
        ptx::ldmatrix_x4_trans(v_frag, v_stage + swizzled_chunk_byte(kSwizzle, row, n + v_chunk));
        ptx::mma_m16n8k16_bf16(state.acc[n], p[k], {v_frag[0], v_frag[1]});
        ptx::mma_m16n8k16_bf16(state.acc[n + 1], p[k], {v_frag[2], v_frag[3]});
      }
    }
    // Every warp is done with both stages of tile t (its wgmma group was waited for, its
    // ldmatrix reads have returned) before thread 0 refills stage t mod 2 with tile t+2.
    __syncthreads();
  }

  store_rows<HD, FullTiles>(state, out, shadow_residual, lse, bo, slice, r0, N, H, h, HD);
}

template <int HD, bool QueryTilesOnX, bool FullTiles, bool SquarePair>
LaunchResult launch_tma_instance(const ForwardGeometry& geometry, const CUtensorMap& k_map,
                                 const CUtensorMap& v_map, const ForwardLaunch& p, cudaStream_t stream) {
  constexpr int kBytes = forward_tma_layout(HD).total;
  const auto kernel = &kestrovane_triangle_forward_tma_kernel<HD, QueryTilesOnX, FullTiles, SquarePair>;
  const cudaError_t opt_in = opt_in_dynamic_smem(reinterpret_cast<const void*>(kernel), kBytes);
  if (opt_in != cudaSuccess) return opt_in_result(opt_in);
  kernel<<<dim3(geometry.grid_x, geometry.grid_y, geometry.grid_z), dim3(kForwardThreads), kBytes, stream>>>(
      k_map, v_map, static_cast<const __nv_bfloat16*>(p.q), p.mask, static_cast<const __nv_bfloat16*>(p.bias),
      static_cast<__nv_bfloat16*>(p.out), p.lse, static_cast<__nv_bfloat16*>(p.shadow_residual), p.N, p.O, p.H,
      forward_tma_scale(HD));
  return {};
}

}  // namespace

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
  const ForwardGeometry geometry = forward_geometry(p.N, p.O, p.H, p.B);
  return with_forward_flags(geometry, [&](auto on_x, auto full, auto square) {
    return launch_tma_instance<HeadDimTier, decltype(on_x)::value, decltype(full)::value, decltype(square)::value>(
        geometry, k_map, v_map, p, stream);
  });
}

}  // namespace forward
}  // namespace kestrovane
