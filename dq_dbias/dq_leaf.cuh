// The dQ/dBias leaf kernel of the exact-tiles and general lanes.
//
// One thread block owns one 32-row query tile of one head for one (outer group, batch)
// pair of a wave; its four warps take the group's four outer rows. The block walks every
// key of the sequence in blocks of 32: each warp recomputes S = Q K^T and dP = dO V^T of its
// row on mma.sync, forms P and dS, stages dS in FP32 and accumulates dQ += dS K in
// registers; then the block sums the four warps' dS of each (query, key) in one fixed tree,
// rounds it to BF16 and writes it as its group's dBias partial. dQ rows are written once at
// the end. Nothing is atomic and no value depends on the wave, slab or grid orientation the
// block ran in.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>
#include <math_constants.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "common/score_gradient.cuh"
#include "dq_dbias/dq_plan.h"

namespace kestrovane {
namespace dq {

// Shared memory of the leaf (byte offsets; BF16 rows of HeadDimTier elements plus eight of
// padding). The padding of the Q tiles holds the bias tile: key j of tile row r sits in warp
// (j / 8)'s Q tile, row r, column HeadDimTier + j % 8.
template <int HeadDimTier>
struct LeafLayout {
  static constexpr int kPitch = leaf_pitch(HeadDimTier);
  static constexpr int kRowBytes = 2 * kPitch;
  static constexpr int kQTiles = 0;                        // warp w at w x 32 rows
  static constexpr int kDoTiles = 128 * kRowBytes;         // warp w at w x 32 rows
  static constexpr int kKvBlocks = 256 * kRowBytes;        // warp w at w x 64 rows: K, then V
  static constexpr int kStaging = 512 * kRowBytes;         // FP32 [4][32][32]
  static constexpr int kSteps = HeadDimTier / 16;          // k-steps of S and dP
  static constexpr int kColumnBlocks = HeadDimTier / 8;    // 8-column blocks of dQ
  static_assert(kStaging + 4 * kQueryTile * kKeyBlock * 4 == leaf_shared_bytes(HeadDimTier),
                "leaf layout and plan disagree");
};

// A warp's 32 x HeadDimTier tile (row r from element row_offset(r) of `source`), one BF16
// element per load; columns at or beyond head_dim are zero. A row's offset is formed once
// per row, and consecutive lanes read consecutive elements.
template <int HeadDimTier, typename RowOffset>
__device__ __forceinline__ void load_warp_tile(unsigned char* tile, const unsigned short* __restrict__ source,
                                               RowOffset row_offset, int lane, int head_dim) {
  using L = LeafLayout<HeadDimTier>;
  constexpr int kLanesPerRow = HeadDimTier < 32 ? HeadDimTier : 32;
  constexpr int kRowsPerPass = 32 / kLanesPerRow;
  constexpr int kColumnsPerLane = HeadDimTier / kLanesPerRow;
  unsigned short* to = reinterpret_cast<unsigned short*>(tile);
#pragma unroll 4
  for (int pass = 0; pass < kQueryTile / kRowsPerPass; ++pass) {
    const int r = pass * kRowsPerPass + lane / kLanesPerRow;
    const unsigned short* row = source + row_offset(r);
#pragma unroll
    for (int j = 0; j < kColumnsPerLane; ++j) {
      const int c = lane % kLanesPerRow + kLanesPerRow * j;
      to[r * L::kPitch + c] = c < head_dim ? ptx::ld_global_nc_b16(row + c) : 0;
    }
  }
}

// Identity of a block and its warp.
struct LeafBlock {
  int h;
  int tile_row;       // first query row of the tile
  int64_t gl, bl;     // group and batch within the wave
  int64_t batch;
  int64_t outer;        // the warp's outer row, clamped into range for loading
  bool outer_live;      // the warp's outer row exists (weight 1, stores dQ)
  int64_t batch_outer;  // batch x O + outer
  int64_t slice;        // batch_outer x H + h
};

template <bool QueryTilesOnX, bool SquarePair>
__device__ __forceinline__ LeafBlock decode_leaf_block(int N, int O, int H, int b0, int nb, int q0, int g0, int warp) {
  LeafBlock block;
  const int64_t wave_pair = QueryTilesOnX ? blockIdx.z : blockIdx.x;
  const int tile = QueryTilesOnX ? blockIdx.x : blockIdx.z;
  block.h = blockIdx.y;
  block.tile_row = q0 + kQueryTile * tile;
  block.gl = wave_pair / nb;
  block.bl = wave_pair % nb;
  block.batch = b0 + block.bl;
  const int64_t outer_count = SquarePair ? N : O;
  const int64_t outer = kGroupRows * (g0 + block.gl) + warp;
  block.outer_live = outer < outer_count;
  block.outer = block.outer_live ? outer : outer_count - 1;
  block.batch_outer = block.batch * outer_count + block.outer;
  block.slice = block.batch_outer * H + block.h;
  return block;
}

// Element i (0..7) of this thread in a 32 x 32 (query row, key) tile of key block kb: thread
// t takes elements t + 128 i, row-major, so consecutive threads touch consecutive keys.
// `live`: the row lies in the slab and the key below N.
struct TileElement {
  int e;  // row x 32 + key within the tile
  int r;
  int j;
  bool live;
};

template <int SeqTail, bool FullQueryTiles>
__device__ __forceinline__ TileElement tile_element(int i, int tile_row, int kb, int N, int slab_end) {
  TileElement t;
  t.e = static_cast<int>(threadIdx.x) + kLeafThreads * i;
  t.r = t.e / kKeyBlock;
  t.j = t.e % kKeyBlock;
  t.live = (FullQueryTiles || tile_row + t.r < slab_end) && (SeqTail == -1 || kb + t.j < N);
  return t;
}

// Stages key block kb: each warp its own K and V rows (keys past N repeat key N-1 in the
// general lane), all threads the 32 x 32 bias tile of the block's query rows (zero where
// the row lies outside the slab or the key past N).
template <int HeadDimTier, int SeqTail, bool FullQueryTiles>
__device__ __forceinline__ void stage_key_block(unsigned char* smem, const unsigned short* __restrict__ k,
                                                const unsigned short* __restrict__ v,
                                                const unsigned short* __restrict__ bias_rows, const LeafBlock& block,
                                                int kb, int warp, int lane, int N, int slab_end, int head_dim) {
  using L = LeafLayout<HeadDimTier>;
  unsigned char* k_block = smem + L::kKvBlocks + warp * 64 * L::kRowBytes;
  const int64_t slice_row = block.slice * N;
  auto key_offset = [&](int r) {
    int key = kb + r;
    if (SeqTail == 0 && key >= N) {
      key = N - 1;
    }
    return (slice_row + key) * head_dim;
  };
  load_warp_tile<HeadDimTier>(k_block, k, key_offset, lane, head_dim);
  load_warp_tile<HeadDimTier>(k_block + 32 * L::kRowBytes, v, key_offset, lane, head_dim);
#pragma unroll
  for (int i = 0; i < kQueryTile * kKeyBlock / kLeafThreads; ++i) {
    const TileElement t = tile_element<SeqTail, FullQueryTiles>(i, block.tile_row, kb, N, slab_end);
    const int64_t at = static_cast<int64_t>(block.tile_row + t.r) * N + kb + t.j;
    const unsigned short bits = t.live ? ptx::ld_global_nc_b16(bias_rows + at) : 0;
    unsigned short* to = reinterpret_cast<unsigned short*>(smem + L::kQTiles + (t.j / 8) * 32 * L::kRowBytes +
                                                           t.r * L::kRowBytes);
    to[HeadDimTier + t.j % 8] = bits;
  }
}

template <int HeadDimTier, int SeqTail, bool FullQueryTiles, bool QueryTilesOnX, bool SquarePair>
__global__ void __launch_bounds__(kLeafThreads) kestrovane_dq_dbias_leaf_kernel(
    const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k, const __nv_bfloat16* __restrict__ v,
    const __nv_bfloat16* __restrict__ d_output, const float* __restrict__ logsumexp, const float* __restrict__ delta,
    const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias, __nv_bfloat16* __restrict__ out_dq,
    __nv_bfloat16* __restrict__ workspace, int N, int O, int H, int b0, int nb, int batches_per_wave, int q0,
    int active_rows, int slab_rows, int g0, int head_dim, float scale) {
  static_assert(SeqTail == 0 || FullQueryTiles, "the exact-tiles lane has whole query tiles only");
  using L = LeafLayout<HeadDimTier>;
  unsigned char* const smem_raw = kestrovane::dynamic_smem<1024>();

  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
  const int g = lane / 4;  // accumulator row within an 8-row block
  const int c = lane % 4;  // accumulator column pair
  const LeafBlock block = decode_leaf_block<QueryTilesOnX, SquarePair>(N, O, H, b0, nb, q0, g0, warp);
  const int slab_end = q0 + active_rows;
  // Rows of the weight-0 warps (outer rows past O) load row O-1 and contribute zero. With
  // exact tiles and O == N (a multiple of 32) every outer row exists.
  constexpr bool kWeighted = !(SeqTail == -1 && SquarePair);
  const float weight = block.outer_live ? 1.0f : 0.0f;

  unsigned char* q_tile = smem_raw + L::kQTiles + warp * 32 * L::kRowBytes;
  unsigned char* do_tile = smem_raw + L::kDoTiles + warp * 32 * L::kRowBytes;
  const unsigned char* k_block = smem_raw + L::kKvBlocks + warp * 64 * L::kRowBytes;
  const unsigned char* v_block = k_block + 32 * L::kRowBytes;
  float* staging = reinterpret_cast<float*>(smem_raw + L::kStaging);

  // Rows outside the slab read row N-1 (their dS is zero and nothing of them is stored).
  auto load_row = [&](int r) {
    const int n = block.tile_row + r;
    return FullQueryTiles || n < slab_end ? n : N - 1;
  };
  const int64_t slice_row = block.slice * N;
  load_warp_tile<HeadDimTier>(
      q_tile, reinterpret_cast<const unsigned short*>(q), [&](int r) { return (slice_row + load_row(r)) * head_dim; },
      lane, head_dim);
  load_warp_tile<HeadDimTier>(
      do_tile, reinterpret_cast<const unsigned short*>(d_output),
      [&](int r) { return ((block.batch_outer * N + load_row(r)) * H + block.h) * head_dim; }, lane, head_dim);
  __syncwarp();

  // The thread's four accumulator rows: g, g + 8 of the first half and of the second.
  float reference[4];
  float row_delta[4];
  bool row_unmasked[4];
  bool row_live[4];
#pragma unroll
  for (int i = 0; i < 4; ++i) {
    const int r = g + 8 * i;
    const int64_t at = slice_row + load_row(r);
    const float lse = ptx::ld_global_nc_f32(logsumexp + at);
    row_unmasked[i] = lse != -CUDART_INF_F;
    reference[i] = row_unmasked[i] ? lse : 0.0f;
    row_delta[i] = ptx::ld_global_nc_f32(delta + at);
    row_live[i] = FullQueryTiles || block.tile_row + r < slab_end;
  }

  const unsigned short* bias_rows =
      reinterpret_cast<const unsigned short*>(bias) + (block.batch * H + block.h) * static_cast<int64_t>(N) * N;
  const float* mask_row = mask + block.batch_outer * N;
  unsigned short* partials = reinterpret_cast<unsigned short*>(workspace) +
                             ((block.gl * batches_per_wave + block.bl) * H + block.h) * static_cast<int64_t>(slab_rows) *
                                 N;

  float dq[2][L::kColumnBlocks][4];
#pragma unroll
  for (int half = 0; half < 2; ++half) {
#pragma unroll
    for (int cb = 0; cb < L::kColumnBlocks; ++cb) {
#pragma unroll
      for (int e = 0; e < 4; ++e) {
        dq[half][cb][e] = 0.0f;
      }
    }
  }

  stage_key_block<HeadDimTier, SeqTail, FullQueryTiles>(smem_raw, reinterpret_cast<const unsigned short*>(k),
                                                        reinterpret_cast<const unsigned short*>(v), bias_rows, block,
                                                        0, warp, lane, N, slab_end, head_dim);
  __syncthreads();

#pragma unroll 1
  for (int kb = 0; kb < N; kb += kKeyBlock) {
    // The thread's eight keys: 8 x block + 2c + e.
    float key_mask[4][2];
    bool key_live[4][2];
#pragma unroll
    for (int kn = 0; kn < 4; ++kn) {
#pragma unroll
      for (int e = 0; e < 2; ++e) {
        const int key = kb + 8 * kn + 2 * c + e;
        key_live[kn][e] = SeqTail == -1 || key < N;
        key_mask[kn][e] = key_live[kn][e] ? ptx::ld_global_nc_f32(mask_row + key) : 0.0f;
      }
    }

    // Both halves unrolled: dQ of each stays in registers, indexed at compile time.
#pragma unroll
    for (int half = 0; half < 2; ++half) {
      float s[4][4];
      float dp[4][4];
#pragma unroll
      for (int kn = 0; kn < 4; ++kn) {
#pragma unroll
        for (int e = 0; e < 4; ++e) {
          s[kn][e] = 0.0f;
          dp[kn][e] = 0.0f;
        }
      }
      const int a_row = 16 * half + (lane & 15);
      // Two k-steps at a time: a fully unrolled chain would hold every step's operands at
      // once beside the dQ accumulators.
#pragma unroll 2
      for (int step = 0; step < L::kSteps; ++step) {
        const int a_at = a_row * L::kRowBytes + 2 * (16 * step + 8 * (lane >> 4));
        uint32_t q_frag[4];
        uint32_t do_frag[4];
        ptx::ldmatrix_x4(q_frag, ptx::smem_address(q_tile + a_at));
        ptx::ldmatrix_x4(do_frag, ptx::smem_address(do_tile + a_at));
#pragma unroll
        for (int pair = 0; pair < 2; ++pair) {
          const int b_at = (8 * (2 * pair + (lane >> 4)) + (lane & 7)) * L::kRowBytes + 2 * (16 * step + (lane & 8));
          uint32_t k_frag[4];
          uint32_t v_frag[4];
          ptx::ldmatrix_x4(k_frag, ptx::smem_address(k_block + b_at));
          ptx::ldmatrix_x4(v_frag, ptx::smem_address(v_block + b_at));
          const uint32_t k_lo[2] = {k_frag[0], k_frag[1]};
          const uint32_t k_hi[2] = {k_frag[2], k_frag[3]};
          const uint32_t v_lo[2] = {v_frag[0], v_frag[1]};
          const uint32_t v_hi[2] = {v_frag[2], v_frag[3]};
          ptx::mma_m16n8k16_bf16(s[2 * pair], q_frag, k_lo);
          ptx::mma_m16n8k16_bf16(s[2 * pair + 1], q_frag, k_hi);
          ptx::mma_m16n8k16_bf16(dp[2 * pair], do_frag, v_lo);
          ptx::mma_m16n8k16_bf16(dp[2 * pair + 1], do_frag, v_hi);
        }
      }

      // P and dS in place of dP; elements outside the slab or past N are exactly zero.
#pragma unroll
      for (int j = 0; j < 2; ++j) {
        const int i = 2 * half + j;
        const int r = 16 * half + g + 8 * j;
#pragma unroll
        for (int kn = 0; kn < 4; ++kn) {
          const uint32_t bias_pair = *reinterpret_cast<const uint32_t*>(
              smem_raw + L::kQTiles + kn * 32 * L::kRowBytes + r * L::kRowBytes + 2 * (HeadDimTier + 2 * c));
#pragma unroll
          for (int e = 0; e < 2; ++e) {
            const float pair_bias = e == 0 ? bf16_lo(bias_pair) : bf16_hi(bias_pair);
            const float p = backward_probability(s[kn][2 * j + e], scale, key_mask[kn][e], pair_bias, reference[i]);
            float ds = score_gradient(row_unmasked[i] ? p : 0.0f, dp[kn][2 * j + e], row_delta[i]);
            if constexpr (kWeighted) {
              ds = mul_rn(weight, ds);
            }
            dp[kn][2 * j + e] = row_live[i] && key_live[kn][e] ? ds : 0.0f;
          }
          *reinterpret_cast<float2*>(staging + warp * kQueryTile * kKeyBlock + r * kKeyBlock + 8 * kn + 2 * c) =
              make_float2(dp[kn][2 * j], dp[kn][2 * j + 1]);
        }
      }

      // dQ += dS K: the accumulator layout of two adjacent 8-key blocks is the A operand
      // layout of one 16-key step; K comes transposed from its key-major block.
#pragma unroll
      for (int ks = 0; ks < 2; ++ks) {
        const uint32_t ds_op[4] = {pack_bf16x2(dp[2 * ks][0], dp[2 * ks][1]), pack_bf16x2(dp[2 * ks][2], dp[2 * ks][3]),
                                   pack_bf16x2(dp[2 * ks + 1][0], dp[2 * ks + 1][1]),
                                   pack_bf16x2(dp[2 * ks + 1][2], dp[2 * ks + 1][3])};
#pragma unroll
        for (int pair = 0; pair < L::kColumnBlocks / 2; ++pair) {
          const int b_at = (16 * ks + (lane & 15)) * L::kRowBytes + 2 * (16 * pair + 8 * (lane >> 4));
          uint32_t k_frag[4];
          ptx::ldmatrix_x4_trans(k_frag, ptx::smem_address(k_block + b_at));
          const uint32_t k_lo[2] = {k_frag[0], k_frag[1]};
          const uint32_t k_hi[2] = {k_frag[2], k_frag[3]};
          ptx::mma_m16n8k16_bf16(dq[half][2 * pair], ds_op, k_lo);
          ptx::mma_m16n8k16_bf16(dq[half][2 * pair + 1], ds_op, k_hi);
        }
      }
    }

    // Every warp's dS of the block is staged, and every warp is done with K, V and the bias.
    __syncthreads();
#pragma unroll
    for (int i = 0; i < kQueryTile * kKeyBlock / kLeafThreads; ++i) {
      const TileElement t = tile_element<SeqTail, FullQueryTiles>(i, block.tile_row, kb, N, slab_end);
      // One fixed tree over the four outer rows of the group.
      constexpr int kWarpTile = kQueryTile * kKeyBlock;
      const float partial = add_rn(add_rn(staging[t.e], staging[kWarpTile + t.e]),
                                   add_rn(staging[2 * kWarpTile + t.e], staging[3 * kWarpTile + t.e]));
      if (t.live) {
        partials[static_cast<int64_t>(block.tile_row + t.r - q0) * N + kb + t.j] = __bfloat16_as_ushort(to_bf16(partial));
      }
    }
    if (kb + kKeyBlock < N) {
      stage_key_block<HeadDimTier, SeqTail, FullQueryTiles>(smem_raw, reinterpret_cast<const unsigned short*>(k),
                                                            reinterpret_cast<const unsigned short*>(v), bias_rows,
                                                            block, kb + kKeyBlock, warp, lane, N, slab_end, head_dim);
      // The next block is staged before any warp reads it or overwrites the staged dS.
      __syncthreads();
    }
  }

  // Each live row once: dQ times the scale (one FP32 product), then BF16.
  if (!block.outer_live) {
    return;
  }
  unsigned short* dq_bits = reinterpret_cast<unsigned short*>(out_dq);
#pragma unroll
  for (int half = 0; half < 2; ++half) {
#pragma unroll
    for (int j = 0; j < 2; ++j) {
      if (!row_live[2 * half + j]) {
        continue;
      }
      const int n = block.tile_row + 16 * half + g + 8 * j;
#pragma unroll
      for (int cb = 0; cb < L::kColumnBlocks; ++cb) {
        const int column = 8 * cb + 2 * c;
        if (column < head_dim) {
          const int64_t at = (slice_row + n) * head_dim + column;
#pragma unroll
          for (int e = 0; e < 2; ++e) {
            dq_bits[at + e] = __bfloat16_as_ushort(to_bf16(mul_rn(dq[half][cb][2 * j + e], scale)));
          }
        }
      }
    }
  }
}

}  // namespace dq
}  // namespace kestrovane
