// The single-reconstruction leaf kernel: one thread block of two warpgroups owns one 64-key
// block of one head for one (outer group, batch) pair of a wave. For every 32-row query tile of
// the slab and every outer row of the group it forms S^T = K q^T and dP^T = V dO^T once with
// wgmma and feeds all four gradients from them:
//   - dV += P^T dO and dK += dS^T q on mma.sync, the wgmma accumulators reused in place as A
//     fragments, carried in registers across the tiles and stored once per slab;
//   - the group's dS summed over its four outer rows, one BF16 dBias partial per tile;
//   - dS K over the block's 64 keys, one BF16 dQ partial per (tile, outer row).
// Each output element has exactly one writer and every sum runs in a fixed order, so results
// do not depend on the grid orientation or on which wave a block belongs to.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>
#include <math_constants.h>

#include <cstdint>

#include "common/attention_backward.cuh"
#include "common/kernel_launch.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "common/score_gradient.cuh"
#include "common/smem_layout.h"
#include "dq_dbias/sr_plan.h"

namespace kestrovane {
namespace sr {

template <int T>
struct LeafTiles {
  static_assert(T == 16 || T == 32 || T == 64, "the single-reconstruction leaf serves tiers 16, 32, 64");
  static constexpr LeafLayout kLayout = leaf_layout(T);
  static constexpr Swizzle kSwizzle = swizzle_for_row(T);
  static constexpr int kSteps = T / 16;        // k-steps of S and dP
  static constexpr int kColumnBlocks = T / 8;  // 8-column blocks (16-byte chunks) of a row
  // The layout's offsets as scalar constants (device code reads no constexpr arrays).
  static constexpr uint32_t kK = kLayout.k;
  static constexpr uint32_t kV = kLayout.v;
  static constexpr uint32_t kQ = kLayout.q[0];              // stage s adds s * kStageStride
  static constexpr uint32_t kDo = kLayout.d_output[0];      // stage s adds s * kStageStride
  static constexpr uint32_t kStageStride = kLayout.q[1] - kLayout.q[0];
  static constexpr uint32_t kDs = kLayout.ds;
  static constexpr uint32_t kBias = kLayout.bias[0];        // stage s adds s * kBiasStageBytes
  static constexpr uint32_t kMask = kLayout.mask;
  static constexpr uint32_t kDbias = kLayout.dbias;
  static constexpr uint32_t kKeyRows = 2 * T * kKeyBlock;     // bytes of one outer row's K or V tile
  static constexpr uint32_t kQueryRows = 2 * T * kQueryTile;  // bytes of one outer row's q or dO tile
  static_assert(kLayout.v == kGroupRows * static_cast<int>(kKeyRows), "K tiles then V tiles");
  static_assert(kStageStride == kGroupRows * kQueryRows && kLayout.d_output[1] - kLayout.d_output[0] ==
                    static_cast<int>(kStageStride) && kLayout.bias[1] - kLayout.bias[0] == kBiasStageBytes,
                "stages alternate");
  static_assert(kLayout.k % 1024 == 0 && kLayout.v % 1024 == 0 && kLayout.q[0] % 1024 == 0 &&
                    kLayout.q[1] % 1024 == 0 && kLayout.d_output[0] % 1024 == 0 && kLayout.d_output[1] % 1024 == 0 &&
                    kQueryRows % swizzle_repeat_bytes(kSwizzle) == 0,
                "every swizzled tile must start on a swizzle repeat");
  static_assert(kLayout.bias[0] % 16 == 0 && kLayout.bias[1] % 16 == 0 && kLayout.ds % 16 == 0,
                "cp.async and ldmatrix rows are 16-byte aligned");
};

// Which block this is, and the outer rows of its group. With SquarePair (O == N) N stands for
// O and every outer row of a group exists (N is a multiple of 64).
template <bool KeyBlocksOnX, bool SquarePair>
struct LeafBlock {
  int kb;
  int h;
  int gl, bl;  // group and batch within the wave
  int64_t b;
  int64_t group_row;  // 4g: outer row of slot 0
  int outer;          // O, or N with SquarePair
  bool single;        // O == 1: only outer row 0 is staged and computed

  __device__ __forceinline__ LeafBlock(int N, int O, int b0, int nb, int g0) {
    kb = KeyBlocksOnX ? blockIdx.x : blockIdx.z;
    const int pair = KeyBlocksOnX ? blockIdx.z : blockIdx.x;
    h = blockIdx.y;
    gl = pair / nb;
    bl = pair % nb;
    b = static_cast<int64_t>(b0) + bl;
    group_row = static_cast<int64_t>(kGroupRows) * (static_cast<int64_t>(g0) + gl);
    outer = SquarePair ? N : O;
    single = !SquarePair && O == 1;
  }

  // Outer rows past O have weight 0 and read the last outer row's data.
  __device__ __forceinline__ bool live(int i) const { return SquarePair || group_row + i < outer; }
  __device__ __forceinline__ int64_t outer_row(int i) const {
    return live(i) ? group_row + i : static_cast<int64_t>(outer) - 1;
  }
  __device__ __forceinline__ int64_t batch_outer(int i) const { return b * outer + outer_row(i); }
  __device__ __forceinline__ int staged() const { return single ? 1 : kGroupRows; }
};

// 16-byte cp.async copies of query tile rows first_row.. into `stage`: the q rows and the
// d_output rows of head h for every staged outer row, then the bias rows for the block's keys,
// committed as one group. Chunks at or beyond head_dim are zero-filled without a read.
template <int T, bool KeyBlocksOnX, bool SquarePair>
__device__ __forceinline__ void issue_query_tile(uint32_t smem, int stage, int first_row,
                                                 const LeafBlock<KeyBlocksOnX, SquarePair>& block,
                                                 const __nv_bfloat16* __restrict__ q,
                                                 const __nv_bfloat16* __restrict__ d_output,
                                                 const __nv_bfloat16* __restrict__ bias, int N, int H,
                                                 int head_dim) {
  using L = LeafTiles<T>;
  constexpr int kChunks = kQueryTile * L::kColumnBlocks;  // per outer row and tensor
  const int tid = static_cast<int>(threadIdx.x);
#pragma unroll
  for (int i = 0; i < kGroupRows; ++i) {
    if (i < block.staged()) {
      const int64_t batch_outer = block.batch_outer(i);
      const int64_t q_row0 = ((batch_outer * H + block.h) * N + first_row) * head_dim;
      const int64_t do_row0 = ((batch_outer * N + first_row) * H + block.h) * head_dim;
      const uint32_t q_tile = smem + L::kQ + L::kStageStride * stage + L::kQueryRows * i;
      const uint32_t do_tile = smem + L::kDo + L::kStageStride * stage + L::kQueryRows * i;
      for (int e = tid; e < 2 * kChunks; e += kThreads) {
        const bool is_q = e < kChunks;
        const int c = e % kChunks;
        const int row = c / L::kColumnBlocks;
        const int chunk = c % L::kColumnBlocks;
        const bool inside = 8 * chunk < head_dim;
        const __nv_bfloat16* src =
            is_q ? q + q_row0 + static_cast<int64_t>(row) * head_dim + 8 * chunk
                 : d_output + do_row0 + static_cast<int64_t>(row) * H * head_dim + 8 * chunk;
        const uint32_t dst = (is_q ? q_tile : do_tile) + swizzled_chunk_byte(L::kSwizzle, row, chunk);
        ptx::cp_async_cg_16(dst, inside ? src : q, inside ? 16u : 0u);
      }
    }
  }
  {
    // 32 rows x 8 chunks of the block's 64 keys: one chunk per thread.
    const int row = tid / 8;
    const int chunk = tid % 8;
    const __nv_bfloat16* src =
        bias + ((block.b * H + block.h) * N + first_row + row) * N + kKeyBlock * block.kb + 8 * chunk;
    ptx::cp_async_cg_16(smem + L::kBias + kBiasStageBytes * stage + kPaddedRowBytes * row + 16 * chunk, src, 16u);
  }
  ptx::cp_async_commit();
}

// The logsumexp and delta terms of the thread's eight query columns in one tile (the wgmma
// accumulator's columns 8j + 2(l%4) + e), for one outer row.
struct RowTerms {
  float reference[4][2];  // logsumexp, or 0 for a fully masked row
  float delta[4][2];
  bool masked[4][2];      // logsumexp is -inf: P is 0
};

__device__ __forceinline__ void load_row_terms(RowTerms& t, const float* __restrict__ lse_row,
                                               const float* __restrict__ delta_row, int lane) {
#pragma unroll
  for (int j = 0; j < 4; ++j) {
#pragma unroll
    for (int e = 0; e < 2; ++e) {
      const int column = 8 * j + 2 * (lane % 4) + e;
      const float lse = __ldg(lse_row + column);
      t.masked[j][e] = lse == -CUDART_INF_F;
      t.reference[j][e] = t.masked[j][e] ? 0.0f : lse;
      t.delta[j][e] = __ldg(delta_row + column);
    }
  }
}

// Outer row i of the group for one query tile, on the calling warpgroup: S^T and dP^T by
// wgmma, then P and dS element by element, dS into the dBias and dS tiles, and dV/dK += the
// two 16-query halves on mma.sync. `First` marks the warpgroup's first row, whose dS opens the
// warpgroup's dBias tile; the second row's dS is added to it by the same thread.
template <int T, bool SquarePair, bool First>
__device__ __forceinline__ void outer_row_tile(float (&dv)[T / 8][4], float (&dk)[T / 8][4], uint32_t smem,
                                               unsigned char* smem_raw, int i, int stage, float weight,
                                               const float* __restrict__ lse_row,
                                               const float* __restrict__ delta_row, float scale, int wg,
                                               int warp, int lane) {
  using L = LeafTiles<T>;
  constexpr Swizzle kSwizzle = L::kSwizzle;
  const uint32_t k_tile = smem + L::kK + L::kKeyRows * i;
  const uint32_t v_tile = smem + L::kV + L::kKeyRows * i;
  const uint32_t q_tile = smem + L::kQ + L::kStageStride * stage + L::kQueryRows * i;
  const uint32_t do_tile = smem + L::kDo + L::kStageStride * stage + L::kQueryRows * i;

  // S^T = K q^T and dP^T = V dO^T of this outer row and tile.
  float s[4][4];
  float dp[4][4];
  // The copy loops' branches rejoin before the .aligned wgmma.
  __syncwarp();
  issue_score_products<L::kSteps>(s, dp, kSwizzle, k_tile, q_tile, v_tile, do_tile);
  // The row terms are in flight while the products run.
  RowTerms terms;
  load_row_terms(terms, lse_row, delta_row, lane);
  ptx::wgmma_wait_group<0>();
  fence_accumulators(s, dp);

  const float* mask_tile = reinterpret_cast<const float*>(smem_raw + L::kMask) + kKeyBlock * i;
  const unsigned short* bias_tile = reinterpret_cast<const unsigned short*>(smem_raw + L::kBias + kBiasStageBytes * stage);
  float* dbias_tile = reinterpret_cast<float*>(smem_raw + L::kDbias) + kQueryTile * kDbiasPitch * wg;
  unsigned short* ds_tile =
      reinterpret_cast<unsigned short*>(smem_raw + L::kDs) + kQueryTile * kPaddedKeys * i;

  // Accumulator element [j][x]: key 16w + l/4 + 8(x/2), query 8j + 2(l%4) + x%2.
#pragma unroll
  for (int x = 0; x < 4; ++x) {
    const int key = 16 * warp + lane / 4 + 8 * (x / 2);
    const float mask = mask_tile[key];
#pragma unroll
    for (int j = 0; j < 4; ++j) {
      const int query = 8 * j + 2 * (lane % 4) + (x & 1);
      const float bias = bf16_bits_to_float(bias_tile[kPaddedKeys * query + key]);
      float p = backward_probability(s[j][x], scale, mask, bias, terms.reference[j][x & 1]);
      p = terms.masked[j][x & 1] ? 0.0f : p;
      float ds = score_gradient(p, dp[j][x], terms.delta[j][x & 1]);
      if constexpr (!SquarePair) {
        // Rows past O enter nothing: their P and dS are exactly zero.
        ds = mul_rn(weight, ds);
        p = mul_rn(weight, p);
      }
      float* dbias = dbias_tile + kDbiasPitch * query + key;
      *dbias = First ? ds : add_rn(*dbias, ds);
      ds_tile[kPaddedKeys * query + key] = __bfloat16_as_ushort(to_bf16(ds));
      s[j][x] = p;
      dp[j][x] = ds;
    }
  }

  // The two 16-query halves in order. Two adjacent 8-query accumulator blocks are the A operand
  // of one m16n8k16 step; the B operands are read out of the swizzled q and dO tiles (chunk c8
  // of a row at the row's chunk-0 address XOR 16*c8, the tiles starting on a swizzle repeat).
#pragma unroll
  for (int half = 0; half < 2; ++half) {
    uint32_t p_op[4];
    uint32_t ds_op[4];
#pragma unroll
    for (int jj = 0; jj < 2; ++jj) {
      const int j = 2 * half + jj;
      p_op[2 * jj] = pack_bf16x2(s[j][0], s[j][1]);
      p_op[2 * jj + 1] = pack_bf16x2(s[j][2], s[j][3]);
      ds_op[2 * jj] = pack_bf16x2(dp[j][0], dp[j][1]);
      ds_op[2 * jj + 1] = pack_bf16x2(dp[j][2], dp[j][3]);
    }
    const uint32_t row = swizzled_row_byte(kSwizzle, 16 * half + (lane & 15));
    const uint32_t q_row = q_tile + row;
    const uint32_t do_row = do_tile + row;
    accumulate_half(
        dv, dk, p_op, ds_op, [q_row](int c8) { return q_row ^ (16u * c8); },
        [do_row](int c8) { return do_row ^ (16u * c8); });
  }
}

// Global offset of (key or query row n, column 0) of outer row i's slice in the logical layout.
template <bool KeyBlocksOnX, bool SquarePair>
__device__ __forceinline__ int64_t logical_row(const LeafBlock<KeyBlocksOnX, SquarePair>& block, int i, int H,
                                               int N, int64_t n, int head_dim) {
  return ((block.batch_outer(i) * H + block.h) * N + n) * head_dim;
}

// Visits the thread's dK/dV accumulator positions that exist in global memory: for the
// warpgroup's outer rows rr = 0, 1 with weight 1, column blocks c8 and key rows r = 0, 1 (keys
// 16w + l/4 + 8r of the block), the column pair 8c8 + 2(l%4) when it lies below head_dim.
// fn(rr, c8, r, at) gets the logical offset of the pair's first element.
template <int ColumnBlocks, bool KeyBlocksOnX, bool SquarePair, typename Fn>
__device__ __forceinline__ void for_owned_positions(const LeafBlock<KeyBlocksOnX, SquarePair>& block, int wg,
                                                    int warp, int lane, int first_key, int H, int N, int head_dim,
                                                    Fn&& fn) {
#pragma unroll
  for (int rr = 0; rr < 2; ++rr) {
    const int i = 2 * wg + rr;
    if (block.live(i)) {
#pragma unroll
      for (int c8 = 0; c8 < ColumnBlocks; ++c8) {
        const int column = 8 * c8 + 2 * (lane % 4);
        if (column < head_dim) {
#pragma unroll
          for (int r = 0; r < 2; ++r) {
            const int key = first_key + 16 * warp + lane / 4 + 8 * r;
            fn(rr, c8, r, logical_row(block, i, H, N, key, head_dim) + column);
          }
        }
      }
    }
  }
}

template <int T, bool KeyBlocksOnX, bool SquarePair>
__global__ void __launch_bounds__(kThreads, 2) kestrovane_sr_leaf_kernel(
    const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k, const __nv_bfloat16* __restrict__ v,
    const __nv_bfloat16* __restrict__ d_output, const float* __restrict__ logsumexp,
    const float* __restrict__ delta, const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias,
    __nv_bfloat16* __restrict__ out_dk, __nv_bfloat16* __restrict__ out_dv, float* __restrict__ dk_state,
    float* __restrict__ dv_state, __nv_bfloat16* __restrict__ dq_partials, __nv_bfloat16* __restrict__ workspace,
    int N, int O, int BO, int H, int b0, int nb, int batches_per_wave, int q0, int active_rows, int slab_rows,
    int g0, int head_dim, float scale) {
  using L = LeafTiles<T>;
  constexpr Swizzle kSwizzle = L::kSwizzle;
  constexpr int kColumnBlocks = L::kColumnBlocks;

  unsigned char* const smem_raw = kestrovane::dynamic_smem<1024>();
  const int tid = static_cast<int>(threadIdx.x);
  const int block_warp = tid / 32;
  const int warp = block_warp % 4;  // within the warpgroup: keys 16w .. 16w + 15
  const int wg = tid / 128;
  const int lane = tid % 32;
  const LeafBlock<KeyBlocksOnX, SquarePair> block(N, O, b0, nb, g0);
  const uint32_t smem = ptx::smem_address(smem_raw);
  const int first_key = kKeyBlock * block.kb;

  // K and V of the block's keys for every staged outer row, element by element, zero past
  // head_dim; the key mask of each staged row.
#pragma unroll
  for (int i = 0; i < kGroupRows; ++i) {
    if (i < block.staged()) {
      const int64_t key_row0 = logical_row(block, i, H, N, first_key, head_dim);
      const unsigned short* k_rows = reinterpret_cast<const unsigned short*>(k) + key_row0;
      const unsigned short* v_rows = reinterpret_cast<const unsigned short*>(v) + key_row0;
      unsigned short* k_tile = reinterpret_cast<unsigned short*>(smem_raw + L::kK + L::kKeyRows * i);
      unsigned short* v_tile = reinterpret_cast<unsigned short*>(smem_raw + L::kV + L::kKeyRows * i);
      for (int e = tid; e < kKeyBlock * T; e += kThreads) {
        const int r = e / T;
        const int c = e % T;
        const bool inside = c < head_dim;
        const int64_t at = static_cast<int64_t>(r) * head_dim + c;
        const uint32_t element = swizzled_element(kSwizzle, r, c);
        k_tile[element] = inside ? __ldg(k_rows + at) : static_cast<unsigned short>(0);
        v_tile[element] = inside ? __ldg(v_rows + at) : static_cast<unsigned short>(0);
      }
    }
  }
  if (tid < kKeyBlock * block.staged()) {
    const int i = tid / kKeyBlock;
    reinterpret_cast<float*>(smem_raw + L::kMask)[tid] =
        __ldg(mask + block.batch_outer(i) * N + first_key + tid % kKeyBlock);
  }

  // dV and dK of the warpgroup's two outer rows: [row][column block][m16n8 C fragment].
  float dv[2][kColumnBlocks][4];
  float dk[2][kColumnBlocks][4];
#pragma unroll
  for (int rr = 0; rr < 2; ++rr) {
    zero_accumulators(dv[rr], dk[rr]);
  }
  if (q0 != 0) {
    // The previous slab's sums, unscaled. Plain loads: this kernel writes the same addresses
    // at its end, so the non-coherent read-only path does not apply.
    for_owned_positions<kColumnBlocks>(
        block, wg, warp, lane, first_key, H, N, head_dim, [&](int rr, int c8, int r, int64_t at) {
          const float2 dv_pair = *reinterpret_cast<const float2*>(dv_state + at);
          const float2 dk_pair = *reinterpret_cast<const float2*>(dk_state + at);
          dv[rr][c8][2 * r] = dv_pair.x;
          dv[rr][c8][2 * r + 1] = dv_pair.y;
          dk[rr][c8][2 * r] = dk_pair.x;
          dk[rr][c8][2 * r + 1] = dk_pair.y;
        });
  }

  issue_query_tile<T>(smem, 0, q0, block, q, d_output, bias, N, H, head_dim);

  const int end = q0 + active_rows;
  int tile = 0;
  for (int t = q0; t < end; t += kQueryTile, ++tile) {
    const int stage = tile & 1;
    // Tile t has landed; the proxy fence makes it, and the prologue's stores, visible to
    // wgmma; after the barrier every warp is done with tile t-1, whose stage is refilled next.
    ptx::cp_async_wait<0>();
    ptx::fence_proxy_async_shared();
    __syncthreads();
    if (t + kQueryTile < end) {
      issue_query_tile<T>(smem, stage ^ 1, t + kQueryTile, block, q, d_output, bias, N, H, head_dim);
    }

    // The warpgroup's two outer rows, one after the other (in single-row mode only warpgroup
    // 0's first). The branches are uniform over each warpgroup.
    if (!(block.single && wg != 0)) {
      const int i0 = 2 * wg;
      const int64_t row0 = ((block.batch_outer(i0) * H + block.h) * N + t);
      outer_row_tile<T, SquarePair, true>(dv[0], dk[0], smem, smem_raw, i0, stage, block.live(i0) ? 1.0f : 0.0f,
                                          logsumexp + row0, delta + row0, scale, wg, warp, lane);
      if (!block.single) {
        const int i1 = i0 + 1;
        const int64_t row1 = ((block.batch_outer(i1) * H + block.h) * N + t);
        outer_row_tile<T, SquarePair, false>(dv[1], dk[1], smem, smem_raw, i1, stage,
                                             block.live(i1) ? 1.0f : 0.0f, logsumexp + row1, delta + row1, scale,
                                             wg, warp, lane);
      }
    }
    __syncthreads();

    // dBias partial of the tile: BF16((dS_0 + dS_1) + (dS_2 + dS_3)), warpgroup 0's tile first.
    {
      const float* dbias_tiles = reinterpret_cast<const float*>(smem_raw + L::kDbias);
      const int64_t partial_row0 =
          ((static_cast<int64_t>(block.gl) * batches_per_wave + block.bl) * H + block.h) * slab_rows + (t - q0);
      unsigned short* partial = reinterpret_cast<unsigned short*>(workspace);
#pragma unroll
      for (int step = 0; step < kQueryTile * kKeyBlock / kThreads; ++step) {
        const int e = tid + kThreads * step;
        const int r = e / kKeyBlock;
        const int c = e % kKeyBlock;
        float value = dbias_tiles[kDbiasPitch * r + c];
        if (!block.single) {
          value = add_rn(value, dbias_tiles[kQueryTile * kDbiasPitch + kDbiasPitch * r + c]);
        }
        partial[(partial_row0 + r) * N + first_key + c] = __bfloat16_as_ushort(to_bf16(value));
      }
    }

    // Unscaled dQ partial over the block's 64 keys: warp W takes outer row W/2 and query rows
    // 16(W%2) .. +15; four key steps in ascending order, FP32 from zero, BF16 once.
    {
      const int i = block_warp / 2;
      const int half = block_warp % 2;
      if (block.live(i)) {
        float acc[kColumnBlocks][4];
#pragma unroll
        for (int c8 = 0; c8 < kColumnBlocks; ++c8) {
#pragma unroll
          for (int x = 0; x < 4; ++x) {
            acc[c8][x] = 0.0f;
          }
        }
        const uint32_t ds_rows = smem + L::kDs + kQueryTile * kPaddedRowBytes * i +
                                 kPaddedRowBytes * (16 * half + (lane & 15)) + 16 * (lane >> 4);
        const uint32_t k_tile = smem + L::kK + L::kKeyRows * i;
#pragma unroll
        for (int ks = 0; ks < kKeyBlock / 16; ++ks) {
          uint32_t a[4];
          ptx::ldmatrix_x4(a, ds_rows + 32 * ks);
          const uint32_t key_row = k_tile + swizzled_row_byte(kSwizzle, 16 * ks + (lane & 15));
#pragma unroll
          for (int c8 = 0; c8 < kColumnBlocks; ++c8) {
            uint32_t b_frag[2];
            ptx::ldmatrix_x2_trans(b_frag, key_row ^ (16u * c8));
            ptx::mma_m16n8k16_bf16(acc[c8], a, b_frag);
          }
        }
        const int64_t batch_outer = block.batch_outer(i);
        const int64_t row0 =
            (((static_cast<int64_t>(block.kb) * BO + batch_outer) * H + block.h) * N + t + 16 * half + lane / 4) *
            head_dim;
#pragma unroll
        for (int c8 = 0; c8 < kColumnBlocks; ++c8) {
          const int column = 8 * c8 + 2 * (lane % 4);
          if (column < head_dim) {
            ptx::st_global_b32(dq_partials + row0 + column, pack_bf16x2(acc[c8][0], acc[c8][1]));
            ptx::st_global_b32(dq_partials + row0 + 8 * static_cast<int64_t>(head_dim) + column,
                               pack_bf16x2(acc[c8][2], acc[c8][3]));
          }
        }
      }
    }
  }

  // Each owned row once: on the last slab dV as accumulated and dK times the scale (FP32
  // product, then BF16); before it the unscaled FP32 sums for the next slab.
  const bool last_slab = end == N;
  for_owned_positions<kColumnBlocks>(
      block, wg, warp, lane, first_key, H, N, head_dim, [&](int rr, int c8, int r, int64_t at) {
        if (last_slab) {
          ptx::st_global_b32(out_dv + at, pack_bf16x2(dv[rr][c8][2 * r], dv[rr][c8][2 * r + 1]));
          ptx::st_global_b32(out_dk + at,
                             pack_bf16x2(mul_rn(dk[rr][c8][2 * r], scale), mul_rn(dk[rr][c8][2 * r + 1], scale)));
        } else {
          *reinterpret_cast<float2*>(dv_state + at) = make_float2(dv[rr][c8][2 * r], dv[rr][c8][2 * r + 1]);
          *reinterpret_cast<float2*>(dk_state + at) = make_float2(dk[rr][c8][2 * r], dk[rr][c8][2 * r + 1]);
        }
      });
}

}  // namespace sr
}  // namespace kestrovane
