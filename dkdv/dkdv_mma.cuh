// dK/dV backward on the cp.async + mma.sync path.
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

#include <cuda.h>
#include <cuda_bf16.h>
#include <cuda_runtime.h>
#include <math_constants.h>

#include <cstdint>

#include "common/launch.h"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "dkdv/delta_true_fold.cuh"
#include "dkdv/dkdv_launch.h"
#include "dkdv/dkdv_plan.h"

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

__device__ __forceinline__ float bf16_bits_to_float(unsigned short bits) {
  return __uint_as_float(static_cast<uint32_t>(bits) << 16);
}

// Probability of one (query, key) element from its S product: score = fma(S, scale,
// mask) then + bias, P = 2^((score - reference) * log2e) with the subtraction and the
// multiplication rounded separately. `reference` is the row's logsumexp, or 0 for a
// fully masked row (logsumexp -inf), whose P the caller then replaces by 0: the test
// on logsumexp comes first, so -inf - -inf is never formed, and no branch is taken.
__device__ __forceinline__ float backward_probability(float s, float scale, float mask, float bias, float reference) {
  const float score = add_rn(__fmaf_rn(s, scale, mask), bias);
  return ptx::ex2_approx(mul_rn(sub_rn(score, reference), kLog2e));
}

// dS = P * (dP - delta), the subtraction first.
__device__ __forceinline__ float score_gradient(float p, float dp, float delta) { return mul_rn(p, sub_rn(dp, delta)); }

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

template <int HeadDimTier, int SeqTail, bool KeyBlocksOnX, bool DeltaTrue, bool SquarePair, bool UseTma>
__device__ __forceinline__ void kestrovane_triangle_dkdv_body(
    const CUtensorMap* q_map, const CUtensorMap* do_map, const CUtensorMap* k_map, const CUtensorMap* v_map,
    const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k, const __nv_bfloat16* __restrict__ v,
    const __nv_bfloat16* __restrict__ d_output, const float* __restrict__ logsumexp,
    const float* __restrict__ delta, const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias,
    __nv_bfloat16* __restrict__ out_dk, __nv_bfloat16* __restrict__ out_dv, float* __restrict__ partials,
    int key_blocks, int N, int O, int H, int B, int D, float scale) {
  static_assert(!UseTma, "this body implements the cp.async path; the TMA instantiations are not built");
  using L = MmaLayout<HeadDimTier>;
  extern __shared__ __align__(1024) unsigned char smem_raw[];

  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
  const int kb = KeyBlocksOnX ? blockIdx.x : blockIdx.z;
  const int64_t batch_outer = KeyBlocksOnX ? blockIdx.z : blockIdx.x;
  const int h = blockIdx.y;
  const int64_t outer = SquarePair ? N : O;
  const int64_t b = batch_outer / outer;
  const int64_t slice = batch_outer * H + h;  // ((b*O + o)*H + h)
  const int64_t slice_row = slice * N;        // row of query or key 0 of the slice
  const int first_key = kb * kKeyBlock;

  // Tile 0 is in flight while the warps stage their keys (disjoint shared regions).
  copy_query_tile<HeadDimTier, SeqTail>(smem_raw, 0, q, d_output, slice_row, batch_outer, h, H, 0, N, D);
  stage_warp_keys<HeadDimTier, SeqTail>(smem_raw, reinterpret_cast<const unsigned short*>(k),
                                        reinterpret_cast<const unsigned short*>(v), slice_row, first_key, warp,
                                        lane, N, D);
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

  // The thread's two keys (accumulator rows l/4 and l/4 + 8) and their mask values.
  int key[2];
  bool key_live[2];
  float key_mask[2];
#pragma unroll
  for (int r = 0; r < 2; ++r) {
    key[r] = first_key + 16 * warp + lane / 4 + 8 * r;
    key_live[r] = SeqTail == -1 || key[r] < N;
    key_mask[r] = key_live[r] ? __ldg(mask + batch_outer * N + key[r]) : 0.0f;
  }
  const float* slice_lse = logsumexp + slice_row;
  const float* slice_delta = delta + slice_row;
  const unsigned short* slice_bias =
      reinterpret_cast<const unsigned short*>(bias) + (b * H + h) * static_cast<int64_t>(N) * N;
  float* partial_buffers = reinterpret_cast<float*>(smem_raw + L::kPartials);
  const int64_t partial_base = (slice * key_blocks + kb) * static_cast<int64_t>(N);

  float dk[L::kColumnBlocks][4];
  float dv[L::kColumnBlocks][4];
#pragma unroll
  for (int c8 = 0; c8 < L::kColumnBlocks; ++c8) {
#pragma unroll
    for (int e = 0; e < 4; ++e) {
      dk[c8][e] = 0.0f;
      dv[c8][e] = 0.0f;
    }
  }

  int tile = 0;
  for (int qs = 0; qs < N; qs += kQueryTile, ++tile) {
    // Tile t has landed, and every warp is done with tile t-1, whose buffer is refilled next.
    ptx::cp_async_wait<0>();
    __syncthreads();
    if (qs + kQueryTile < N) {
      copy_query_tile<HeadDimTier, SeqTail>(smem_raw, (tile + 1) & 1, q, d_output, slice_row, batch_outer, h, H,
                                            qs + kQueryTile, N, D);
    }
    if (DeltaTrue && tile > 0 && warp == 0) {
      fold_tile_partials<SeqTail>(partial_buffers + ((tile - 1) & 1) * kPartialBufferFloats, lane, partials,
                                  partial_base, tile - 1, N);
    }
    const unsigned char* q_tile = smem_raw + L::kBuffers + (tile & 1) * L::kBufferBytes;
    const unsigned char* do_tile = q_tile + L::kDoTile;

    // Two 16-query halves, in order. Within a half: S^T and dP^T (keys x queries) of its
    // two 8-query blocks j = 2*s2, 2*s2+1, FP32 from zero; P and dS in place of them;
    // then dV += P^T dO and dK += dS^T q, whose A operand is the accumulator layout of
    // the two blocks (two adjacent 8-query blocks form one k16 step).
#pragma unroll 1
    for (int s2 = 0; s2 < 2; ++s2) {
      // Row statistics and bias of the thread's four queries of the half, issued
      // before the products so that their latency overlaps the mma chain.
      const int half_row = qs + 16 * s2 + 2 * (lane % 4);  // the thread's first query of the half
      const unsigned short* half_bias = slice_bias + static_cast<int64_t>(half_row) * N;
      float row_reference[2][2];
      float row_delta[2][2];
      float pair_bias[2][4];
      bool live[2][4];     // the element exists (SeqTail 0 guards)
      bool nonzero[2][4];  // and its row is not fully masked
#pragma unroll
      for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
        for (int e = 0; e < 2; ++e) {
          const int n = half_row + 8 * jj + e;
          const bool query_live = SeqTail == -1 || n < N;
          const float lse = query_live ? __ldg(slice_lse + n) : 0.0f;
          const bool masked_row = lse == -CUDART_INF_F;
          row_reference[jj][e] = masked_row ? 0.0f : lse;
          row_delta[jj][e] = query_live ? __ldg(slice_delta + n) : 0.0f;
#pragma unroll
          for (int r = 0; r < 2; ++r) {
            live[jj][2 * r + e] = query_live && key_live[r];
            nonzero[jj][2 * r + e] = live[jj][2 * r + e] && !masked_row;
            pair_bias[jj][2 * r + e] =
                live[jj][2 * r + e] ? bf16_bits_to_float(__ldg(half_bias + (8 * jj + e) * N + key[r]))
                                    : 0.0f;
          }
        }
      }

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

      // P in place of S; guarded elements are exactly zero and read nothing.
#pragma unroll
      for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
        for (int e = 0; e < 4; ++e) {
          const float p =
              backward_probability(s_acc[jj][e], scale, key_mask[e / 2], pair_bias[jj][e], row_reference[jj][e & 1]);
          s_acc[jj][e] = nonzero[jj][e] ? p : 0.0f;
        }
      }
      if constexpr (DeltaTrue) {
        // The unrounded P and dP; warp 0 sums the tile's values after the next barrier.
        write_half_partials(partial_buffers + (tile & 1) * kPartialBufferFloats, warp, lane, s2, s_acc, dp_acc);
      }
      // dS in place of dP (zero wherever P is).
#pragma unroll
      for (int jj = 0; jj < 2; ++jj) {
#pragma unroll
        for (int e = 0; e < 4; ++e) {
          const float ds = score_gradient(s_acc[jj][e], dp_acc[jj][e], row_delta[jj][e & 1]);
          dp_acc[jj][e] = live[jj][e] ? ds : 0.0f;
        }
      }

      const uint32_t p_op[4] = {pack_bf16x2(s_acc[0][0], s_acc[0][1]), pack_bf16x2(s_acc[0][2], s_acc[0][3]),
                                pack_bf16x2(s_acc[1][0], s_acc[1][1]), pack_bf16x2(s_acc[1][2], s_acc[1][3])};
      const uint32_t ds_op[4] = {pack_bf16x2(dp_acc[0][0], dp_acc[0][1]), pack_bf16x2(dp_acc[0][2], dp_acc[0][3]),
                                 pack_bf16x2(dp_acc[1][0], dp_acc[1][1]), pack_bf16x2(dp_acc[1][2], dp_acc[1][3])};
      const int row_at = (16 * s2 + (lane & 15)) * L::kRowBytes;
#pragma unroll
      for (int c8 = 0; c8 < L::kColumnBlocks; ++c8) {
        uint32_t b_frag[2];
        ptx::ldmatrix_x2_trans(b_frag, ptx::smem_address(do_tile + row_at + 16 * c8));
        ptx::mma_m16n8k16_bf16(dv[c8], p_op, b_frag);
        ptx::ldmatrix_x2_trans(b_frag, ptx::smem_address(q_tile + row_at + 16 * c8));
        ptx::mma_m16n8k16_bf16(dk[c8], ds_op, b_frag);
      }
    }
  }
  if constexpr (DeltaTrue) {
    __syncthreads();
    if (warp == 0) {
      fold_tile_partials<SeqTail>(partial_buffers + ((tile - 1) & 1) * kPartialBufferFloats, lane, partials,
                                  partial_base, tile - 1, N);
    }
  }

  // Each owned row once: dV as accumulated, dK times the scale (FP32 product, then BF16).
  unsigned short* dk_bits = reinterpret_cast<unsigned short*>(out_dk);
  unsigned short* dv_bits = reinterpret_cast<unsigned short*>(out_dv);
#pragma unroll
  for (int c8 = 0; c8 < L::kColumnBlocks; ++c8) {
    const int column = 8 * c8 + 2 * (lane % 4);
    if (column < D) {
#pragma unroll
      for (int r = 0; r < 2; ++r) {
        if (key_live[r]) {
          const int64_t at = (slice_row + key[r]) * D + column;
#pragma unroll
          for (int e = 0; e < 2; ++e) {
            dv_bits[at + e] = __bfloat16_as_ushort(to_bf16(dv[c8][2 * r + e]));
            dk_bits[at + e] = __bfloat16_as_ushort(to_bf16(mul_rn(dk[c8][2 * r + e], scale)));
          }
        }
      }
    }
  }
}

// The maps come first (read in place as grid constants by the TMA path); this path
// reads the data pointers instead. The kernels never read B, and with SquarePair not O.
template <int HeadDimTier, int SeqTail, bool KeyBlocksOnX, bool SquarePair, bool UseTma>
__global__ void __launch_bounds__(kThreads) kestrovane_triangle_dkdv_kernel(
    const __grid_constant__ CUtensorMap q_map, const __grid_constant__ CUtensorMap do_map,
    const __grid_constant__ CUtensorMap k_map, const __grid_constant__ CUtensorMap v_map,
    const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k, const __nv_bfloat16* __restrict__ v,
    const __nv_bfloat16* __restrict__ d_output, const float* __restrict__ logsumexp,
    const float* __restrict__ delta, const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias,
    __nv_bfloat16* __restrict__ out_dk, __nv_bfloat16* __restrict__ out_dv, int N, int O, int H, int B, int D,
    float scale) {
  kestrovane_triangle_dkdv_body<HeadDimTier, SeqTail, KeyBlocksOnX, false, SquarePair, UseTma>(
      &q_map, &do_map, &k_map, &v_map, q, k, v, d_output, logsumexp, delta, mask, bias, out_dk, out_dv, nullptr, 0,
      N, O, H, B, D, scale);
}

template <int HeadDimTier, int SeqTail, bool KeyBlocksOnX, bool SquarePair, bool UseTma>
__global__ void __launch_bounds__(kThreads) kestrovane_triangle_dkdv_delta_true_kernel(
    const __grid_constant__ CUtensorMap q_map, const __grid_constant__ CUtensorMap do_map,
    const __grid_constant__ CUtensorMap k_map, const __grid_constant__ CUtensorMap v_map,
    const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k, const __nv_bfloat16* __restrict__ v,
    const __nv_bfloat16* __restrict__ d_output, const float* __restrict__ logsumexp,
    const float* __restrict__ delta, const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias,
    __nv_bfloat16* __restrict__ out_dk, __nv_bfloat16* __restrict__ out_dv, float* __restrict__ delta_true_partials,
    int key_blocks, int N, int O, int H, int B, int D, float scale) {
  kestrovane_triangle_dkdv_body<HeadDimTier, SeqTail, KeyBlocksOnX, true, SquarePair, UseTma>(
      &q_map, &do_map, &k_map, &v_map, q, k, v, d_output, logsumexp, delta, mask, bias, out_dk, out_dv,
      delta_true_partials, key_blocks, N, O, H, B, D, scale);
}

// Raises the kernel's dynamic shared-memory limit (on every call), then enqueues it.
template <typename... Params, typename... Args>
LaunchResult opt_in_and_launch(void (*kernel)(Params...), dim3 grid, int smem, cudaStream_t stream,
                               const Args&... args) {
  const cudaError_t opt_in = opt_in_dynamic_smem(reinterpret_cast<const void*>(kernel), smem);
  if (opt_in != cudaSuccess) {
    return opt_in_result(opt_in);
  }
  kernel<<<grid, kThreads, smem, stream>>>(args...);
  return {};
}

template <int HeadDimTier, int SeqTail, bool DeltaTrue, bool SquarePair, bool KeyBlocksOnX>
LaunchResult launch_dkdv_oriented(const DkdvLaunch& a, const Grid& grid, cudaStream_t stream) {
  constexpr bool kUseTma = false;
  const int smem = shared_bytes(HeadDimTier, kUseTma, DeltaTrue);
  const float scale = softmax_scale(a.D);
  const CUtensorMap no_map{};  // never read on this path
  const dim3 blocks(static_cast<unsigned>(grid.x), static_cast<unsigned>(grid.y), static_cast<unsigned>(grid.z));
  const auto* q = static_cast<const __nv_bfloat16*>(a.q);
  const auto* k = static_cast<const __nv_bfloat16*>(a.k);
  const auto* v = static_cast<const __nv_bfloat16*>(a.v);
  const auto* d_output = static_cast<const __nv_bfloat16*>(a.d_output);
  const auto* bias = static_cast<const __nv_bfloat16*>(a.bias);
  auto* out_dk = static_cast<__nv_bfloat16*>(a.out_dk);
  auto* out_dv = static_cast<__nv_bfloat16*>(a.out_dv);
  if constexpr (DeltaTrue) {
    return opt_in_and_launch(
        kestrovane_triangle_dkdv_delta_true_kernel<HeadDimTier, SeqTail, KeyBlocksOnX, SquarePair, kUseTma>, blocks,
        smem, stream, no_map, no_map, no_map, no_map, q, k, v, d_output, a.logsumexp, a.delta, a.mask, bias, out_dk,
        out_dv, a.delta_true_partials, static_cast<int>(key_blocks(a.N)), a.N, a.O, a.H, a.B, a.D, scale);
  } else {
    return opt_in_and_launch(kestrovane_triangle_dkdv_kernel<HeadDimTier, SeqTail, KeyBlocksOnX, SquarePair, kUseTma>,
                             blocks, smem, stream, no_map, no_map, no_map, no_map, q, k, v, d_output, a.logsumexp,
                             a.delta, a.mask, bias, out_dk, out_dv, a.N, a.O, a.H, a.B, a.D, scale);
  }
}

template <int HeadDimTier, int SeqTail, bool DeltaTrue, bool SquarePair>
LaunchResult launch_dkdv(const DkdvLaunch& launch, cudaStream_t stream) {
  const Grid grid = grid_for(launch.B, launch.O, launch.H, launch.N);
  return grid.key_blocks_on_x
             ? launch_dkdv_oriented<HeadDimTier, SeqTail, DeltaTrue, SquarePair, true>(launch, grid, stream)
             : launch_dkdv_oriented<HeadDimTier, SeqTail, DeltaTrue, SquarePair, false>(launch, grid, stream);
}

}  // namespace dkdv
}  // namespace kestrovane
