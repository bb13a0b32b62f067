// dK/dV backward on the cp.async + mma.sync path (every head-dimension tier).
//
// One thread block owns one 64-key block of one (batch, outer, head) slice. Each of
// its four warps holds the K and V operand fragments of its 16 keys in registers for
// the whole call, streams every 32-row query tile of the slice (q and d_output,
// double-buffered with 16-byte cp.async copies), recomputes S^T = K q^T and
// dP^T = V dO^T, forms P and dS in registers and accumulates dV += P^T dO and
// dK += dS^T q in FP32. Each output row is written once, by its owner, after the last
// tile; nothing is atomic and every accumulator receives the tiles in ascending order,
// so results are the same bits on every run and in either grid orientation.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "dkdv/delta_true_fold.cuh"
#include "dkdv/dkdv_plan.h"
#include "dkdv/dkdv_tile.cuh"

namespace kestrovane {
namespace dkdv {

// Shared memory of the path without TMA (byte offsets; BF16 rows of HeadDimTier
// elements plus eight of padding).
template <int HeadDimTier>
struct MmaLayout {
  static constexpr int kPitch = mma_pitch(HeadDimTier);  // elements per row
  static constexpr int kRowBytes = 2 * kPitch;
  static constexpr int kKStage = 0;               // 64 key rows; warp w writes rows 16w..16w+15
  static constexpr int kVStage = 64 * kRowBytes;  // 64 key rows, same split
  static constexpr int kBuffers = 128 * kRowBytes;   // buffer b at kBuffers + b * kBufferBytes
  static constexpr int kBufferBytes = 64 * kRowBytes;  // q tile (32 rows), then d_output tile (32 rows)
  static constexpr int kDoTile = 32 * kRowBytes;       // d_output tile within a buffer
  static constexpr int kPartials = 256 * kRowBytes;    // delta_true scratch, after the tiles
  static constexpr int kSteps = HeadDimTier / 16;        // k-steps of S and dP
  static constexpr int kColumnBlocks = HeadDimTier / 8;  // 8-column blocks of dK and dV
  static constexpr int kChunksPerRow = HeadDimTier / 8;  // 16-byte chunks per tile row
  static constexpr int kTileChunks = kQueryTile * kChunksPerRow;
  static_assert(kPartials == shared_bytes(HeadDimTier, false, false), "tile area and plan disagree");
};

// Warp-private staging of the warp's 16 keys of K and V, 2-byte read-only loads.
// Columns at or beyond D are zero; with SeqTail 0 keys past N repeat key N-1 (their
// P and dS are zeroed later and their rows are never stored).
template <int HeadDimTier, int SeqTail>
__device__ __forceinline__ void stage_warp_keys(unsigned char* smem, const unsigned short* __restrict__ k,
                                                const unsigned short* __restrict__ v, int64_t slice_row,
                                                int first_key, int warp, int lane, int N, int D) {
  using L = MmaLayout<HeadDimTier>;
  unsigned short* k_stage = reinterpret_cast<unsigned short*>(smem + L::kKStage);
  unsigned short* v_stage = reinterpret_cast<unsigned short*>(smem + L::kVStage);
  // At most 32 loads of each of K and V in flight per thread (64 registers of data).
  constexpr int kInFlight = HeadDimTier / 2 < 32 ? HeadDimTier / 2 : 32;
#pragma unroll kInFlight
  for (int i = 0; i < HeadDimTier / 2; ++i) {
    const int e = lane + 32 * i;
    const int r = e / HeadDimTier;
    const int c = e % HeadDimTier;
    int key = first_key + 16 * warp + r;
    if (SeqTail == 0 && key >= N) {
      key = N - 1;
    }
    unsigned short k_bits = 0;
    unsigned short v_bits = 0;
    if (c < D) {
      const int64_t at = (slice_row + key) * D + c;
      k_bits = __ldg(k + at);
      v_bits = __ldg(v + at);
    }
    const int to = (16 * warp + r) * L::kPitch + c;
    k_stage[to] = k_bits;
    v_stage[to] = v_bits;
  }
}

// Issues (and commits) the copy of one query tile into buffer `buffer`: q rows
// first_row.. of the slice and the same rows of d_output (head h of the physical
// layout), 16 bytes per chunk. Chunks at or beyond D are zero-stored; with SeqTail 0
// rows past N repeat row N-1.
template <int HeadDimTier, int SeqTail>
__device__ __forceinline__ void copy_query_tile(unsigned char* smem, int buffer, const __nv_bfloat16* __restrict__ q,
                                                const __nv_bfloat16* __restrict__ d_output, int64_t slice_row,
                                                int64_t batch_outer, int h, int H, int first_row, int N, int D) {
  using L = MmaLayout<HeadDimTier>;
  unsigned char* q_tile = smem + L::kBuffers + buffer * L::kBufferBytes;
  unsigned char* do_tile = q_tile + L::kDoTile;
#pragma unroll
  for (int i = 0; i < (L::kTileChunks + kThreads - 1) / kThreads; ++i) {
    const int chunk = static_cast<int>(threadIdx.x) + kThreads * i;
    if (L::kTileChunks % kThreads != 0 && chunk >= L::kTileChunks) {
      break;
    }
    const int r = chunk / L::kChunksPerRow;
    const int d = 8 * (chunk % L::kChunksPerRow);
    const int to = r * L::kRowBytes + 2 * d;
    if (d < D) {
      int n = first_row + r;
      if (SeqTail == 0 && n >= N) {
        n = N - 1;
      }
      ptx::cp_async_cg_16(ptx::smem_address(q_tile + to), q + (slice_row + n) * D + d, 16);
      ptx::cp_async_cg_16(ptx::smem_address(do_tile + to), d_output + ((batch_outer * N + n) * H + h) * D + d, 16);
    } else {
      *reinterpret_cast<uint4*>(q_tile + to) = make_uint4(0, 0, 0, 0);
      *reinterpret_cast<uint4*>(do_tile + to) = make_uint4(0, 0, 0, 0);
    }
  }
  ptx::cp_async_commit();
}

template <int HeadDimTier, int SeqTail, bool KeyBlocksOnX, bool DeltaTrue, bool SquarePair>
__device__ __forceinline__ void mma_path_body(const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k,
                                              const __nv_bfloat16* __restrict__ v,
                                              const __nv_bfloat16* __restrict__ d_output,
                                              const float* __restrict__ logsumexp, const float* __restrict__ delta,
                                              const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias,
                                              __nv_bfloat16* __restrict__ out_dk, __nv_bfloat16* __restrict__ out_dv,
                                              float* __restrict__ partials, int key_blocks, int N, int O, int H, int D,
                                              float scale) {
  using L = MmaLayout<HeadDimTier>;
  unsigned char* const smem_raw = kestrovane::dynamic_smem<1024>();

  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
  const KeyBlock block = decode_key_block<KeyBlocksOnX, SquarePair>(N, O, H);

  // Tile 0 is in flight while the warps stage their keys (disjoint shared regions).
  copy_query_tile<HeadDimTier, SeqTail>(smem_raw, 0, q, d_output, block.slice_row, block.batch_outer, block.h, H, 0,
                                        N, D);
  stage_warp_keys<HeadDimTier, SeqTail>(smem_raw, reinterpret_cast<const unsigned short*>(k),
                                        reinterpret_cast<const unsigned short*>(v), block.slice_row, block.first_key,
                                        warp, lane, N, D);
  __syncwarp();

  // K and V as A operands (16 keys x 16 head columns per k-step), loaded once.
  uint32_t k_frag[L::kSteps][4];
  uint32_t v_frag[L::kSteps][4];
  {
    const int row = 16 * warp + (lane & 15);
    const int column = 8 * (lane >> 4);
#pragma unroll
    for (int s = 0; s < L::kSteps; ++s) {
      const int at = 2 * (row * L::kPitch + 16 * s + column);
      ptx::ldmatrix_x4(k_frag[s], ptx::smem_address(smem_raw + L::kKStage + at));
      ptx::ldmatrix_x4(v_frag[s], ptx::smem_address(smem_raw + L::kVStage + at));
    }
  }

  const ThreadKeys<SeqTail> keys(block, mask + block.batch_outer * N, warp, lane, N);
  const SliceRows rows(block, logsumexp, delta, bias, key_blocks, N, H);
  float* partial_buffers = reinterpret_cast<float*>(smem_raw + L::kPartials);

  float dk[L::kColumnBlocks][4];
  float dv[L::kColumnBlocks][4];
  zero_accumulators(dv, dk);

  int tile = 0;
  for (int qs = 0; qs < N; qs += kQueryTile, ++tile) {
    // Tile t has landed, and every warp is done with tile t-1, whose buffer is refilled next.
    ptx::cp_async_wait<0>();
    __syncthreads();
    if (qs + kQueryTile < N) {
      copy_query_tile<HeadDimTier, SeqTail>(smem_raw, (tile + 1) & 1, q, d_output, block.slice_row,
                                            block.batch_outer, block.h, H, qs + kQueryTile, N, D);
    }
    if (DeltaTrue && tile > 0 && warp == 0) {
      fold_tile<SeqTail>(partial_buffers, tile - 1, lane, partials, rows.partial_base, N);
    }
    const unsigned char* q_tile = smem_raw + L::kBuffers + (tile & 1) * L::kBufferBytes;
    const unsigned char* do_tile = q_tile + L::kDoTile;

    // Two 16-query halves, in order. Within a half: S^T and dP^T (keys x queries) of its
    // two 8-query blocks j = 2*s2, 2*s2+1, FP32 from zero; P and dS in place of them;
    // then dV += P^T dO and dK += dS^T q.
#pragma unroll 1
    for (int s2 = 0; s2 < 2; ++s2) {
      // Row statistics and bias of the half, issued before the products so that their
      // latency overlaps the mma chain.
      HalfTerms terms;
      load_half_terms(terms, keys, rows.lse, rows.delta, rows.bias, qs + 16 * s2 + 2 * (lane % 4), N);

      float s_acc[2][4];
      float dp_acc[2][4];
#pragma unroll
      for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
        for (int e = 0; e < 4; ++e) {
          s_acc[jj][e] = 0.0f;
          dp_acc[jj][e] = 0.0f;
        }
#pragma unroll
        for (int s = 0; s < L::kSteps; ++s) {
          const int at = (8 * (2 * s2 + jj) + (lane & 7)) * L::kRowBytes + 2 * (16 * s + (lane & 8));
          uint32_t q_frag[2];
          uint32_t do_frag[2];
          ptx::ldmatrix_x2(q_frag, ptx::smem_address(q_tile + at));
          ptx::ldmatrix_x2(do_frag, ptx::smem_address(do_tile + at));
          ptx::mma_m16n8k16_bf16(s_acc[jj], k_frag[s], q_frag);
          ptx::mma_m16n8k16_bf16(dp_acc[jj], v_frag[s], do_frag);
        }
      }

      uint32_t p_op[4];
      uint32_t ds_op[4];
      half_gradients<DeltaTrue>(s_acc, dp_acc, terms, keys, scale, partial_buffers + (tile & 1) * kPartialBufferFloats,
                                warp, lane, s2, p_op, ds_op);
      // From the tiles' generic pointers, so that the compiler folds the per-block offsets
      // into the instructions instead of holding one address register per block.
      const unsigned char* q_row = q_tile + (16 * s2 + (lane & 15)) * L::kRowBytes;
      const unsigned char* do_row = do_tile + (16 * s2 + (lane & 15)) * L::kRowBytes;
      accumulate_half(
          dv, dk, p_op, ds_op, [q_row](int c8) { return ptx::smem_address(q_row + 16 * c8); },
          [do_row](int c8) { return ptx::smem_address(do_row + 16 * c8); });
    }
  }
  finish_key_block<DeltaTrue>(dv, dk, keys, block, rows, partial_buffers, tile - 1, partials, warp, lane, N, D, scale,
                              out_dk, out_dv);
}

}  // namespace dkdv
}  // namespace kestrovane
