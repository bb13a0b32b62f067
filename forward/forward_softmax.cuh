// Per-thread arithmetic of the forward attention kernels, for one block of 64
// query rows and one key tile of 64 keys at a time: the additive score terms,
// the online softmax and the epilogue. A warp owns 16 query rows; lane l (g =
// l / 4, c = l % 4) owns rows r0 = g and r1 = g + 8 of them and, in each of the
// eight n-blocks of 8 keys, the keys 2c and 2c + 1: the accumulator layout of
// mma.sync m16n8, s[j] = {(r0, 2c), (r0, 2c+1), (r1, 2c), (r1, 2c+1)}.
//
// Every rounding point is written out: the score is one fma then a separate
// add, exponentials are ex2.approx of a separately rounded difference and
// product, sums run in a fixed order, and nothing is contracted into an fma.
#pragma once

#include <cuda_bf16.h>

#include <cstdint>

#include "common/numerics.cuh"
#include "common/ptx.cuh"

namespace {

constexpr int kKeyBlocks = 8;  // n-blocks of 8 keys in a 64-key tile
constexpr unsigned kFullWarp = 0xFFFFFFFFu;

// Where one thread's additive score terms come from.
struct ScoreSource {
  const float* mask;       // the slice's mask row: mask + bo*N
  const uint16_t* bias0;   // BF16 bias row of query r0: bias + ((b*H + h)*N + r0)*N
  const uint16_t* bias1;   // ... of query r1 = r0 + 8
  int N;
  int r0;
  int c;
  float scale;
};

// The raw mask and bias values of one thread's 32 scores of a key tile, loaded
// into registers ahead of the tile's barrier so that their latency overlaps it.
struct ScoreTerms {
  float mask[kKeyBlocks][2];     // keys 8j + 2c, 8j + 2c + 1
  uint32_t bias[kKeyBlocks][2];  // BF16 pairs of rows r0, r1; the lower key in the low half
};

__device__ __forceinline__ uint32_t bf16_pair(uint16_t lo, uint16_t hi) {
  return static_cast<uint32_t>(lo) | (static_cast<uint32_t>(hi) << 16);
}

// Reads the terms of the keys key0 .. key0 + 63. With whole tiles every pair is
// aligned (N even), so mask and bias pairs are single vector loads; otherwise
// keys and rows at or past N are never read.
template <bool FullTiles>
__device__ __forceinline__ void load_score_terms(ScoreTerms& t, const ScoreSource& src, int key0) {
  using namespace kestrovane::ptx;
  // Per-tile bases, so that every n-block is a constant offset from them.
  const int first = key0 + 2 * src.c;
  const float* mask = src.mask + first;
  const uint16_t* bias0 = src.bias0 + first;
  const uint16_t* bias1 = src.bias1 + first;
#pragma unroll
  for (int j = 0; j < kKeyBlocks; ++j) {
    if constexpr (FullTiles) {
      const float2 m = ld_global_nc_v2_f32(mask + 8 * j);
      t.mask[j][0] = m.x;
      t.mask[j][1] = m.y;
      t.bias[j][0] = ld_global_nc_b32(bias0 + 8 * j);
      t.bias[j][1] = ld_global_nc_b32(bias1 + 8 * j);
    } else {
      const bool row0 = src.r0 < src.N;
      const bool row1 = src.r0 + 8 < src.N;
      uint16_t b0[2] = {0, 0};
      uint16_t b1[2] = {0, 0};
#pragma unroll
      for (int e = 0; e < 2; ++e) {
        t.mask[j][e] = 0.0f;
        if (row0 && first + 8 * j + e < src.N) {
          t.mask[j][e] = ld_global_nc_f32(mask + 8 * j + e);
          b0[e] = ld_global_nc_b16(bias0 + 8 * j + e);
          if (row1) b1[e] = ld_global_nc_b16(bias1 + 8 * j + e);
        }
      }
      t.bias[j][0] = bf16_pair(b0[0], b0[1]);
      t.bias[j][1] = bf16_pair(b1[0], b1[1]);
    }
  }
}

// score = fma(S, scale, mask) rounded once, then + bias as a separate FP32 add.
__device__ __forceinline__ float score(float dot, float scale, float mask, float bias) {
  return kestrovane::add_rn(__fmaf_rn(dot, scale, mask), bias);
}

// Turns the raw products S = Q K^T of keys key0 .. key0 + 63 into scores in
// place; scores of rows or keys at or past N are negative infinity.
template <bool FullTiles>
__device__ __forceinline__ void finish_scores(float (&s)[kKeyBlocks][4], const ScoreTerms& t,
                                              const ScoreSource& src, int key0) {
#pragma unroll
  for (int j = 0; j < kKeyBlocks; ++j) {
    const float bias[4] = {kestrovane::bf16_lo(t.bias[j][0]), kestrovane::bf16_hi(t.bias[j][0]),
                           kestrovane::bf16_lo(t.bias[j][1]), kestrovane::bf16_hi(t.bias[j][1])};
#pragma unroll
    for (int x = 0; x < 4; ++x) {
      const int row = src.r0 + 8 * (x / 2);
      const int key = key0 + 8 * j + 2 * src.c + x % 2;
      const bool live = FullTiles || (row < src.N && key < src.N);
      s[j][x] = live ? score(s[j][x], src.scale, t.mask[j][x % 2], bias[x]) : kestrovane::kNegInf;
    }
  }
}

// exp2((x - reference) * log2e), subtraction and multiplication rounded separately.
__device__ __forceinline__ float exp_shifted(float x, float reference) {
  return kestrovane::ptx::ex2_approx(kestrovane::mul_rn(kestrovane::sub_rn(x, reference), kestrovane::kLog2e));
}

// One online-softmax step over a key tile, for both owned rows: rescales the
// output accumulators and the row sum to the new row maximum and replaces the
// scores by their unrounded probabilities. Row statistics are combined across
// the quad with xor-shuffles at distance 1 then 2, so all four lanes of a row
// hold the same bits and the result does not depend on scheduling.
template <int OutBlocks>
__device__ __forceinline__ void softmax_tile(float (&s)[kKeyBlocks][4], float (&m)[2], float (&l)[2],
                                             float (&acc)[OutBlocks][4]) {
  using kestrovane::add_rn;
  using kestrovane::kNegInf;
  using kestrovane::mul_rn;
#pragma unroll
  for (int i = 0; i < 2; ++i) {
    float tile_max = kNegInf;
#pragma unroll
    for (int j = 0; j < kKeyBlocks; ++j) {
      tile_max = fmaxf(tile_max, fmaxf(s[j][2 * i], s[j][2 * i + 1]));
    }
    tile_max = fmaxf(tile_max, __shfl_xor_sync(kFullWarp, tile_max, 1));
    tile_max = fmaxf(tile_max, __shfl_xor_sync(kFullWarp, tile_max, 2));
    const float m_new = fmaxf(m[i], tile_max);
    // alpha = 0 when m = -inf and p = 0 when s = -inf: ex2.approx(-inf) is +0, so
    // with a finite reference both follow from the formula itself. A row whose
    // scores are all -inf so far (m_new = -inf) takes the reference 0 instead,
    // which gives the same zeros and never NaN.
    const float reference = m_new == kNegInf ? 0.0f : m_new;
    const float alpha = exp_shifted(m[i], reference);
#pragma unroll
    for (int n = 0; n < OutBlocks; ++n) {
      acc[n][2 * i] = mul_rn(acc[n][2 * i], alpha);
      acc[n][2 * i + 1] = mul_rn(acc[n][2 * i + 1], alpha);
    }
    float sum = 0.0f;
#pragma unroll
    for (int j = 0; j < kKeyBlocks; ++j) {
#pragma unroll
      for (int e = 0; e < 2; ++e) {
        s[j][2 * i + e] = exp_shifted(s[j][2 * i + e], reference);
      }
      // Pair sums added left to right in n-block order (0 + pair 0 is exact).
      sum = add_rn(sum, add_rn(s[j][2 * i], s[j][2 * i + 1]));
    }
    sum = add_rn(sum, __shfl_xor_sync(kFullWarp, sum, 1));
    sum = add_rn(sum, __shfl_xor_sync(kFullWarp, sum, 2));
    l[i] = add_rn(mul_rn(alpha, l[i]), sum);
    m[i] = m_new;
  }
}

// The A operand of key step k (keys 16k .. 16k + 15) of P V: the probabilities
// rounded to BF16 (nearest even), the lower key of each pair in the low half.
__device__ __forceinline__ void probability_fragment(uint32_t (&a)[4], const float (&p)[kKeyBlocks][4], int k) {
  a[0] = kestrovane::pack_bf16x2(p[2 * k][0], p[2 * k][1]);
  a[1] = kestrovane::pack_bf16x2(p[2 * k][2], p[2 * k][3]);
  a[2] = kestrovane::pack_bf16x2(p[2 * k + 1][0], p[2 * k + 1][1]);
  a[3] = kestrovane::pack_bf16x2(p[2 * k + 1][2], p[2 * k + 1][3]);
}

// Where the epilogue writes one thread's rows.
struct RowOutputs {
  __nv_bfloat16* out;              // physical layout [B,O,N,H,D]
  __nv_bfloat16* shadow_residual;  // same layout, or null
  float* lse;                      // [B,O,H,N]
  int64_t bo;
  int64_t slice;                   // bo*H + h
  int h;
  int H;
  int N;
  int D;                           // row pitch of out; columns >= D are not stored
  int r0;
  int c;
};

// Normalises and stores both owned rows: out = bf16(acc / l) via the correctly
// rounded reciprocal, shadow = bf16(o - float(bf16(o))), lse = fma(log2(l), ln2, m).
// A row with l = 0 (every score -inf) stores zeros and lse = -inf.
template <int OutBlocks, bool FullTiles>
__device__ __forceinline__ void store_rows(const float (&acc)[OutBlocks][4], const float (&m)[2],
                                           const float (&l)[2], const RowOutputs& dst) {
  using namespace kestrovane;
#pragma unroll
  for (int i = 0; i < 2; ++i) {
    const int r = dst.r0 + 8 * i;
    if (!FullTiles && r >= dst.N) continue;
    const float inv = l[i] == 0.0f ? 0.0f : ptx::rcp_rn(l[i]);
    const int64_t row = ((dst.bo * dst.N + r) * dst.H + dst.h) * dst.D;
#pragma unroll
    for (int n = 0; n < OutBlocks; ++n) {
      const int d = 8 * n + 2 * dst.c;
      if (d >= dst.D) continue;  // D is a multiple of 8: both columns of the pair are inside or outside
      const float o0 = mul_rn(acc[n][2 * i], inv);
      const float o1 = mul_rn(acc[n][2 * i + 1], inv);
      const uint32_t rounded = pack_bf16x2(o0, o1);
      ptx::st_global_b32(dst.out + row + d, rounded);
      if (dst.shadow_residual != nullptr) {
        ptx::st_global_b32(dst.shadow_residual + row + d,
                           pack_bf16x2(sub_rn(o0, bf16_lo(rounded)), sub_rn(o1, bf16_hi(rounded))));
      }
    }
    if (dst.c == 0) {
      dst.lse[dst.slice * dst.N + r] = l[i] == 0.0f ? kNegInf : __fmaf_rn(ptx::lg2_approx(l[i]), kLn2, m[i]);
    }
  }
}

}  // namespace
