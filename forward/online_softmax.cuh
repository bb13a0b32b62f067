// The per-thread arithmetic of the forward attention kernels: query staging and
// fragments, scores, the online softmax over key tiles, the BF16 probabilities of
// P V and the epilogue. Both forward kernel families run these same steps, so their
// rounding points, row-sum order and tail handling are one piece of code.
//
// Thread layout (one block of four warps, 64 query rows): warp w owns rows 16w .. 16w+15
// of the tile; lane l has g = l / 4 and c = l % 4 and owns the rows r0 = 16w + g and
// r1 = r0 + 8 and, in each group of 8 keys (an n-block), the keys 2c and 2c + 1. This is
// the m16n8 accumulator layout: per n-block j four FP32 values (r0, 8j+2c), (r0, 8j+2c+1),
// (r1, 8j+2c), (r1, 8j+2c+1); a 64 x 64 score tile is eight n-blocks, 32 values.
#pragma once

#include <cuda_bf16.h>

#include <cstdint>

#include "common/numerics.cuh"
#include "common/ptx.cuh"

namespace kestrovane {
namespace forward {

constexpr int kScoreValues = 32;  // 8 n-blocks x 4 per thread for a 64-key tile

__device__ __forceinline__ float negative_infinity() { return __int_as_float(0xff800000u); }

// Each warp copies its 16 query rows into the staging area (row pitch HD + 8 elements),
// element by element: columns at or past D read as zero; without FullTiles a row past N
// reads row 0 of the slice instead (its results are never stored).
template <int HD, bool FullTiles>
__device__ __forceinline__ void stage_query_rows(const __nv_bfloat16* __restrict__ q_slice, int q0, int N, int D,
                                                 __nv_bfloat16* staging) {
  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
#pragma unroll 4
  for (int e = lane; e < 16 * HD; e += 32) {
    const int row = e / HD;
    const int col = e % HD;
    int qrow = q0 + 16 * warp + row;
    if (!FullTiles && qrow >= N) qrow = 0;
    __nv_bfloat16 value = __ushort_as_bfloat16(0);
    if (col < D) value = __ldg(q_slice + static_cast<int64_t>(qrow) * D + col);
    staging[(16 * warp + row) * (HD + 8) + col] = value;
  }
}

// The warp's 16 x HD query block as m16n8k16 A fragments, one group of four registers per
// 16 head dimensions (the same registers serve wgmma, whose per-warp A layout is this one).
template <int HD>
__device__ __forceinline__ void load_query_fragments(uint32_t staging, uint32_t (&frag)[HD / 16][4]) {
  const int warp = threadIdx.x / 32;
  const int lane = threadIdx.x % 32;
  const uint32_t row = 16 * warp + lane % 16;
#pragma unroll
  for (int k = 0; k < HD / 16; ++k) {
    ptx::ldmatrix_x4(frag[k], staging + 2 * (row * (HD + 8) + 16 * k + 8 * (lane / 16)));
  }
}

// Where this thread's two rows and its keys of a tile sit in the caller's tensors.
template <bool FullTiles>
struct ScoreRows {
  const float* mask_row;            // mask + bo*N
  const __nv_bfloat16* bias_row[2];  // bias row of r0 and r1 (row 0 when the row is past N)
  bool row_valid[2];                // FullTiles: always true
  int N;
  float scale;

  __device__ __forceinline__ ScoreRows(const float* mask, const __nv_bfloat16* bias, int64_t bo, int64_t bias_slice,
                                       int r0, int N_, float scale_)
      : N(N_), scale(scale_) {
    mask_row = mask + bo * N_;
#pragma unroll
    for (int i = 0; i < 2; ++i) {
      const int r = r0 + 8 * i;
      row_valid[i] = FullTiles || r < N_;
      bias_row[i] = bias + (bias_slice * N_ + (row_valid[i] ? r : 0)) * N_;
    }
  }
};

// The mask and bias terms of one tile, loaded ahead of the scores so that their latency
// overlaps the S product. Bias pairs are kept packed (key 2c in the low half).
struct TileTerms {
  float mask[8][2];
  uint32_t bias[2][8];
};

// Keys of the tile: key_base + 8j and key_base + 8j + 1 for n-block j, key_base = 64t + 2c.
// With FullTiles N is even, so each key pair is one aligned 8-byte mask word and one
// aligned 4-byte bias word. Otherwise a key past N, or a row past N, reads nothing.
template <bool FullTiles>
__device__ __forceinline__ void load_tile_terms(TileTerms& terms, const ScoreRows<FullTiles>& rows, int key_base) {
  // One base address per tensor and tile; the n-blocks are constant offsets from it.
  const float* mask = rows.mask_row + key_base;
  const auto* bias0 = reinterpret_cast<const unsigned short*>(rows.bias_row[0] + key_base);
  const auto* bias1 = reinterpret_cast<const unsigned short*>(rows.bias_row[1] + key_base);
  const int keys_left = rows.N - key_base;  // keys 8j + e of this thread are valid below this
#pragma unroll
  for (int j = 0; j < 8; ++j) {
    if (FullTiles) {
      const float2 m = __ldg(reinterpret_cast<const float2*>(mask + 8 * j));
      terms.mask[j][0] = m.x;
      terms.mask[j][1] = m.y;
      terms.bias[0][j] = __ldg(reinterpret_cast<const unsigned int*>(bias0 + 8 * j));
      terms.bias[1][j] = __ldg(reinterpret_cast<const unsigned int*>(bias1 + 8 * j));
    } else {
#pragma unroll
      for (int e = 0; e < 2; ++e) {
        terms.mask[j][e] = 8 * j + e < keys_left ? __ldg(mask + 8 * j + e) : 0.0f;
      }
#pragma unroll
      for (int i = 0; i < 2; ++i) {
        const unsigned short* row = i == 0 ? bias0 : bias1;
        uint32_t pair = 0;
        if (rows.row_valid[i]) {
          if (8 * j < keys_left) pair = __ldg(row + 8 * j);
          if (8 * j + 1 < keys_left) pair |= static_cast<uint32_t>(__ldg(row + 8 * j + 1)) << 16;
        }
        terms.bias[i][j] = pair;
      }
    }
  }
}

// s = fma(S, scale, mask[key]) rounded once, then + float(bias[row][key]) as a separate
// add; without FullTiles a row or key past N scores negative infinity.
template <bool FullTiles>
__device__ __forceinline__ void apply_scores(float (&s)[kScoreValues], const TileTerms& terms,
                                             const ScoreRows<FullTiles>& rows, int key_base) {
  const int keys_left = rows.N - key_base;
#pragma unroll
  for (int j = 0; j < 8; ++j) {
#pragma unroll
    for (int i = 0; i < 2; ++i) {
#pragma unroll
      for (int e = 0; e < 2; ++e) {
        float& x = s[4 * j + 2 * i + e];
        const float bias = e == 0 ? bf16_lo(terms.bias[i][j]) : bf16_hi(terms.bias[i][j]);
        const float score = add_rn(__fmaf_rn(x, rows.scale, terms.mask[j][e]), bias);
        x = (FullTiles || (rows.row_valid[i] && 8 * j + e < keys_left)) ? score : negative_infinity();
      }
    }
  }
}

// Running state of the thread's two rows: maximum m, FP32 sum l of the unrounded
// probabilities, and the NB = HD/8 output n-blocks of P V.
template <int HD>
struct RowState {
  float m[2];
  float l[2];
  float acc[HD / 8][4];

  __device__ __forceinline__ RowState() {
#pragma unroll
    for (int i = 0; i < 2; ++i) {
      m[i] = negative_infinity();
      l[i] = 0.0f;
    }
#pragma unroll
    for (int n = 0; n < HD / 8; ++n) {
#pragma unroll
      for (int v = 0; v < 4; ++v) acc[n][v] = 0.0f;
    }
  }
};

// One online-softmax step over the scores of a tile: rescales the running output and sum
// by alpha = exp2((m - m_new) log2e), turns the scores into p = exp2((s - m_new) log2e) in
// place and adds their FP32 row sum (pair sums of each n-block, added in n-block order,
// then the quad's fixed xor-shuffle tree). A row that has seen only negative infinity keeps
// m = -inf, alpha = 0 and p = 0, never NaN. Every lane of a quad ends with the same m and l.
template <int HD>
__device__ __forceinline__ void online_softmax_step(float (&s)[kScoreValues], RowState<HD>& state) {
#pragma unroll
  for (int i = 0; i < 2; ++i) {
    float tile_max = negative_infinity();
#pragma unroll
    for (int j = 0; j < 8; ++j) {
      tile_max = fmaxf(tile_max, fmaxf(s[4 * j + 2 * i], s[4 * j + 2 * i + 1]));
    }
    tile_max = fmaxf(tile_max, __shfl_xor_sync(0xffffffffu, tile_max, 1));
    tile_max = fmaxf(tile_max, __shfl_xor_sync(0xffffffffu, tile_max, 2));

    const float m_old = state.m[i];
    const float m_new = fmaxf(m_old, tile_max);
    // Exponentials are taken relative to m_new, or to 0 while the row has seen only -inf:
    // then every score and m_old are -inf, whose exp2 is exactly 0, which is the value that
    // alpha and p must take for them (and -inf - -inf would be NaN). For a live row a score
    // of -inf gives exp2(-inf) = 0 as well, so no element needs its own test.
    const float reference = m_new == negative_infinity() ? 0.0f : m_new;
    const float alpha = ptx::ex2_approx(mul_rn(sub_rn(m_old, reference), kLog2e));
#pragma unroll
    for (int n = 0; n < HD / 8; ++n) {
      state.acc[n][2 * i] = mul_rn(state.acc[n][2 * i], alpha);
      state.acc[n][2 * i + 1] = mul_rn(state.acc[n][2 * i + 1], alpha);
    }
    const float l_scaled = mul_rn(alpha, state.l[i]);

    float row_sum = 0.0f;
#pragma unroll
    for (int j = 0; j < 8; ++j) {
      float pair = 0.0f;
#pragma unroll
      for (int e = 0; e < 2; ++e) {
        float& x = s[4 * j + 2 * i + e];
        x = ptx::ex2_approx(mul_rn(sub_rn(x, reference), kLog2e));
      }
      pair = add_rn(s[4 * j + 2 * i], s[4 * j + 2 * i + 1]);
      row_sum = j == 0 ? pair : add_rn(row_sum, pair);
    }
    row_sum = add_rn(row_sum, __shfl_xor_sync(0xffffffffu, row_sum, 1));
    row_sum = add_rn(row_sum, __shfl_xor_sync(0xffffffffu, row_sum, 2));
    state.l[i] = add_rn(l_scaled, row_sum);
    state.m[i] = m_new;
  }
}

// The probabilities rounded to BF16 as m16n8k16 A fragments, one per 16 keys: key step k
// covers n-blocks 2k and 2k + 1, registers (r0, 2k), (r1, 2k), (r0, 2k+1), (r1, 2k+1),
// each the pair (key 2c, key 2c+1) with the lower key in the low half.
__device__ __forceinline__ void pack_probabilities(const float (&p)[kScoreValues], uint32_t (&a)[4][4]) {
#pragma unroll
  for (int k = 0; k < 4; ++k) {
#pragma unroll
    for (int half = 0; half < 2; ++half) {
      const int j = 2 * k + half;
      a[k][2 * half] = pack_bf16x2(p[4 * j], p[4 * j + 1]);
      a[k][2 * half + 1] = pack_bf16x2(p[4 * j + 2], p[4 * j + 3]);
    }
  }
}

// Epilogue of the thread's rows r0 and r1 (r = q0 + 16w + g + 8i): o = acc * rcp(l) (0 when
// l = 0), out and shadow_residual (BF16 of o - float(bf16(o))) at ((bo*N + r)*H + h)*D + d
// for d < D, and lse = fma(log2(l), ln2, m) at slice*N + r by the lane with c == 0; without
// FullTiles rows past N store nothing. A row with l = 0 gets zeros and lse = -inf.
template <int HD, bool FullTiles>
__device__ __forceinline__ void store_rows(const RowState<HD>& state, __nv_bfloat16* out,
                                           __nv_bfloat16* shadow_residual, float* lse, int64_t bo, int64_t slice,
                                           int r0, int N, int H, int h, int D) {
  const int c = threadIdx.x % 4;
#pragma unroll
  for (int i = 0; i < 2; ++i) {
    const int r = r0 + 8 * i;
    if (!FullTiles && r >= N) continue;
    const float l = state.l[i];
    const float inv = l == 0.0f ? 0.0f : __frcp_rn(l);
    const int64_t row = ((bo * N + r) * H + h) * D;
#pragma unroll
    for (int n = 0; n < HD / 8; ++n) {
      const int d = 8 * n + 2 * c;
      if (d >= D) continue;
      const float o0 = mul_rn(state.acc[n][2 * i], inv);
      const float o1 = mul_rn(state.acc[n][2 * i + 1], inv);
      const uint32_t word = pack_bf16x2(o0, o1);
      ptx::st_global_b32(out + row + d, word);
      if (shadow_residual != nullptr) {
        ptx::st_global_b32(shadow_residual + row + d, pack_bf16x2(sub_rn(o0, bf16_lo(word)), sub_rn(o1, bf16_hi(word))));
      }
    }
    if (c == 0) lse[slice * N + r] = __fmaf_rn(ptx::lg2_approx(l), kLn2, state.m[i]);
  }
}

}  // namespace forward
}  // namespace kestrovane
