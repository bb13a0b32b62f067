// dK/dV backward on the TMA + wgmma path, head dimensions 16, 32 and 64 (D equals the tier).
//
// The thread block is one warpgroup. Thread 0 drives the copy engine: the key block's K and V
// rows land once, swizzled, and stay in shared memory for the whole call; then every 32-row
// query tile of the slice (q and d_output, double-buffered) arrives on the transaction
// barrier of its buffer. S^T = K q^T and dP^T = V dO^T are one wgmma chain per tile, both
// operands read in place from the swizzled tiles; each thread then holds the same elements
// that the four mma.sync fragments of the cp.async path hold, so P, dS, the dV/dK products
// and the epilogue are that path's (dkdv_tile.cuh).
//
// What the launcher relies on: the four tensor maps describe q, d_output, k and v of this
// call (encoded with boxes of 32 query rows and 64 key rows, the swizzle whose span is one
// row, zero fill past N); B*O*H <= 2^31-1, so the slice is a signed 32-bit coordinate.
#pragma once

#include <cuda.h>
#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/ptx.cuh"
#include "common/smem_layout.h"
#include "dkdv/delta_true_fold.cuh"
#include "dkdv/dkdv_plan.h"
#include "dkdv/dkdv_tile.cuh"

namespace kestrovane {
namespace dkdv {

// The plan's layout of the TMA path as compile-time constants of one tier.
template <int HeadDimTier>
struct TmaTiles {
  static_assert(HeadDimTier == 16 || HeadDimTier == 32 || HeadDimTier == 64, "the TMA path serves tiers 16, 32, 64");
  static constexpr TmaLayout kLayout = tma_layout(HeadDimTier);
  static constexpr Swizzle kSwizzle = swizzle_for_row(HeadDimTier);
  static constexpr uint32_t kKBlock = kLayout.k_block;
  static constexpr uint32_t kVBlock = kLayout.v_block;
  static constexpr uint32_t kQTile = kLayout.q_tile[0];    // of buffer 0; buffer b adds b * kBufferStride
  static constexpr uint32_t kDoTile = kLayout.do_tile[0];  // of buffer 0
  static constexpr uint32_t kBufferStride = kLayout.q_tile[1] - kLayout.q_tile[0];
  static constexpr uint32_t kPartials = kLayout.partials;
  static constexpr uint32_t kKvBytes = kLayout.kv_bytes;
  static constexpr uint32_t kTileBytes = kLayout.tile_bytes;
  static constexpr int kSteps = HeadDimTier / 16;        // k-steps of S and dP
  static constexpr int kColumnBlocks = HeadDimTier / 8;  // 8-column blocks of dK and dV
  static_assert(kLayout.do_tile[1] - kLayout.do_tile[0] == static_cast<int>(kBufferStride), "buffers alternate");
  static_assert(kLayout.partials == shared_bytes(HeadDimTier, true, false), "tile area and plan disagree");
  static_assert(kVBlock % swizzle_repeat_bytes(kSwizzle) == 0 && kQTile % swizzle_repeat_bytes(kSwizzle) == 0 &&
                    kDoTile % swizzle_repeat_bytes(kSwizzle) == 0 &&
                    kBufferStride % swizzle_repeat_bytes(kSwizzle) == 0,
                "every tile must start on a swizzle repeat");
};

// Thread 0: one arrival announcing the tile's bytes on its buffer's barrier, then the q rows
// first_row.. of the slice and the same rows of head h of d_output. Rows past N arrive as
// zeros and still count towards the transaction bytes.
__device__ __forceinline__ void issue_query_tile(const CUtensorMap* q_map, const CUtensorMap* do_map, uint32_t q_tile,
                                                 uint32_t do_tile, uint32_t barrier, uint32_t bytes, int first_row,
                                                 int slice, int h, int batch_outer) {
  ptx::mbarrier_arrive_expect_tx(barrier, bytes);
  ptx::tma_load_3d(q_tile, q_map, barrier, 0, first_row, slice);
  ptx::tma_load_4d(do_tile, do_map, barrier, 0, h, first_row, batch_outer);
}

template <int HeadDimTier, int SeqTail, bool KeyBlocksOnX, bool DeltaTrue, bool SquarePair>
__device__ __forceinline__ void tma_path_body(const CUtensorMap* q_map, const CUtensorMap* do_map,
                                              const CUtensorMap* k_map, const CUtensorMap* v_map,
                                              const float* __restrict__ logsumexp, const float* __restrict__ delta,
                                              const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias,
                                              __nv_bfloat16* __restrict__ out_dk, __nv_bfloat16* __restrict__ out_dv,
                                              float* __restrict__ partials, int key_blocks, int N, int O, int H, int D,
                                              float scale) {
  using L = TmaTiles<HeadDimTier>;
  constexpr Swizzle kSwizzle = L::kSwizzle;

  unsigned char* const smem_raw = kestrovane::dynamic_smem<1024>();
  __shared__ __align__(8) uint64_t kv_barrier;
  __shared__ __align__(8) uint64_t qdo_barriers[2];

  const int tid = static_cast<int>(threadIdx.x);
  const int warp = tid / 32;
  const int lane = tid % 32;
  const KeyBlock block = decode_key_block<KeyBlocksOnX, SquarePair>(N, O, H);
  const int slice = static_cast<int>(block.slice);
  const int batch_outer = static_cast<int>(block.batch_outer);
  const uint32_t smem = ptx::smem_address(smem_raw);
  const uint32_t k_block = smem + L::kKBlock;
  const uint32_t v_block = smem + L::kVBlock;
  const uint32_t kv_bar = ptx::smem_address(&kv_barrier);
  const uint32_t qdo_bar0 = ptx::smem_address(&qdo_barriers[0]);

  if (tid == 0) {
    ptx::mbarrier_init(kv_bar, 1);
    // The copy engine completes the barrier: its initialisation must be visible to it
    // before the first copy is issued.
    ptx::fence_mbarrier_init();
    ptx::fence_proxy_async_shared();
    ptx::mbarrier_arrive_expect_tx(kv_bar, L::kKvBytes);
    ptx::tma_load_3d(k_block, k_map, kv_bar, 0, block.first_key, slice);
    ptx::tma_load_3d(v_block, v_map, kv_bar, 0, block.first_key, slice);
  }
  // Publishes the initialisation before anyone waits on the barrier.
  __syncthreads();
  ptx::wait_for_bulk_copies(kv_bar, 0);

  if (tid == 0) {
    ptx::mbarrier_init(qdo_bar0, 1);
    ptx::mbarrier_init(qdo_bar0 + 8, 1);
    ptx::fence_mbarrier_init();
    ptx::fence_proxy_async_shared();
  }
  __syncthreads();
  // The key block has landed before the first query tile is requested.
  if (tid == 0) {
    issue_query_tile(q_map, do_map, smem + L::kQTile, smem + L::kDoTile, qdo_bar0,
                     L::kTileBytes, 0, slice, block.h, batch_outer);
  }

  const ThreadKeys<SeqTail> keys(block, mask + block.batch_outer * N, warp, lane, N);
  const SliceRows rows(block, logsumexp, delta, bias, key_blocks, N, H);
  float* partial_buffers = reinterpret_cast<float*>(smem_raw + L::kPartials);

  float dk[L::kColumnBlocks][4];
  float dv[L::kColumnBlocks][4];
  zero_accumulators(dv, dk);

  int tile = 0;
  for (int qs = 0; qs < N; qs += kQueryTile, ++tile) {
    const uint32_t buffer = tile & 1;
    // Tile t has landed (phase t/2 of its buffer's barrier), and every warp is done with
    // tile t-1, whose buffer is refilled next.
    ptx::wait_for_bulk_copies(qdo_bar0 + 8 * buffer, (tile >> 1) & 1);
    __syncthreads();
    if (tid == 0 && qs + kQueryTile < N) {
      const uint32_t next = L::kBufferStride * (buffer ^ 1);
      issue_query_tile(q_map, do_map, smem + L::kQTile + next, smem + L::kDoTile + next,
                       qdo_bar0 + 8 * (buffer ^ 1), L::kTileBytes, qs + kQueryTile, slice, block.h,
                       batch_outer);
    }
    if (DeltaTrue && tile > 0 && warp == 0) {
      fold_tile<SeqTail>(partial_buffers, tile - 1, lane, partials, rows.partial_base, N);
    }
    const uint32_t q_tile = smem + L::kQTile + L::kBufferStride * buffer;
    const uint32_t do_tile = smem + L::kDoTile + L::kBufferStride * buffer;

    // S^T = K q^T and dP^T = V dO^T, once per tile.
    float s[4][4];
    float dp[4][4];
    // The producer's and the folding warp's branches rejoin before the .aligned wgmma.
    __syncwarp();
    issue_score_products<L::kSteps>(s, dp, kSwizzle, k_block, q_tile, v_block, do_tile);

    // Row statistics and bias of the first half are in flight while the products run, those
    // of the second half while the first half's dV and dK products run.
    HalfTerms terms;
    load_half_terms(terms, keys, rows.lse, rows.delta, rows.bias, qs + 2 * (lane % 4), N);

    ptx::wgmma_wait_group<0>();
    fence_accumulators(s, dp);

    // The two 16-query halves in order, as on the cp.async path: the B operands of dV and
    // dK are read out of the swizzled tiles, chunk c8 of row r at chunk position c8 ^ s(r).
#pragma unroll
    for (int s2 = 0; s2 < 2; ++s2) {
      float s_half[2][4];
      float dp_half[2][4];
#pragma unroll
      for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
        for (int e = 0; e < 4; ++e) {
          s_half[jj][e] = s[2 * s2 + jj][e];
          dp_half[jj][e] = dp[2 * s2 + jj][e];
        }
      }
      uint32_t p_op[4];
      uint32_t ds_op[4];
      half_gradients<DeltaTrue>(s_half, dp_half, terms, keys, scale, partial_buffers + buffer * kPartialBufferFloats,
                                warp, lane, s2, p_op, ds_op);
      if (s2 == 0) {
        load_half_terms(terms, keys, rows.lse, rows.delta, rows.bias, qs + 16 + 2 * (lane % 4), N);
      }
      // Chunk c8 of the row sits at the row's chunk-0 address XOR 16*c8 (the tiles start on
      // a swizzle repeat): one register per tile row, whatever the number of blocks.
      const uint32_t row = swizzled_row_byte(kSwizzle, 16 * s2 + (lane & 15));
      const uint32_t q_row = q_tile + row;
      const uint32_t do_row = do_tile + row;
      accumulate_half(
          dv, dk, p_op, ds_op, [q_row](int c8) { return q_row ^ (16u * c8); },
          [do_row](int c8) { return do_row ^ (16u * c8); });
    }
  }
  finish_key_block<DeltaTrue>(dv, dk, keys, block, rows, partial_buffers, tile - 1, partials, warp, lane, N, D, scale,
                              out_dk, out_dv);
}

}  // namespace dkdv
}  // namespace kestrovane
