// dQ/dBias on warpgroup MMA, head-dimension tiers 16, 32 and 64, with N and every query slab
// whole 64-row blocks.
//
// One block of two warpgroups owns 64 query rows of one head for one (outer group, batch)
// pair of a wave. The Q and dO rows of all four outer rows of the group are staged once,
// swizzled, and stay for the whole key loop; per 32-key tile only K, V, bias and mask are
// reloaded. Warpgroup wg takes outer rows 2wg and 2wg+1 one after the other: S = Q K^T and
// dP = dO V^T are wgmma chains read in place from the swizzled tiles, P and dS are formed in
// the accumulator registers, and since the wgmma accumulator of a warp covers the same rows
// and keys as its mma.sync A fragment, dQ += BF16(dS) K takes them without any exchange.
//
// dBias: the first outer row of a warpgroup stores its FP32 dS, the second adds its own in
// place (same thread, same element), and after the block barrier warpgroup 0's sum is added
// to warpgroup 1's: ((dS_0 + dS_1) + (dS_2 + dS_3)), rounded once to BF16 into the workspace.
// No atomics anywhere; every element has exactly one writer, so reruns give the same bits.
//
// Global reads are plain read-only loads of one element followed by shared stores (any
// alignment of the caller's views is fine). Query rows and keys are never bounds-tested.
#pragma once

#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "common/attention_backward.cuh"
#include "common/kernel_launch.cuh"
#include "common/launch.h"
#include "common/numerics.cuh"
#include "common/ptx.cuh"
#include "common/score_gradient.cuh"
#include "common/smem_layout.h"
#include "dq_dbias/wg_launch.h"
#include "dq_dbias/wg_plan.h"

namespace kestrovane {
namespace dq {

// Copies `rows` rows of `tier` columns into a swizzled tile, one element per thread and step;
// row r of the source starts at row_start(r), and columns from head_dim on are stored as zero.
template <int HeadDimTier, int Rows, typename RowStart>
__device__ __forceinline__ void stage_swizzled_rows(unsigned char* tile, const uint16_t* __restrict__ src,
                                                    RowStart row_start, int head_dim, int tid) {
  constexpr int kElements = Rows * HeadDimTier;
  static_assert(kElements % kWgThreads == 0, "every thread takes the same number of elements");
#pragma unroll 1
  for (int e = tid; e < kElements; e += kWgThreads) {
    const int row = e / HeadDimTier;
    const int col = e % HeadDimTier;
    const uint16_t value = col < head_dim ? ptx::ld_global_nc_b16(src + row_start(row) + col) : uint16_t{0};
    *reinterpret_cast<uint16_t*>(tile + wg_tile_byte(HeadDimTier, row, col)) = value;
  }
}

// Two resident blocks per multiprocessor cap the registers at 128 per thread. Tier 64's 120320
// bytes of shared memory leave room for one block only, so there the bound is a register cap
// alone (ptxas then spills a little of tier 32 and 64).
template <int HeadDimTier, bool QueryTilesOnX, bool SquarePair>
__global__ void __launch_bounds__(kWgThreads, 2) kestrovane_dq_dbias_wg_kernel(
    const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k, const __nv_bfloat16* __restrict__ v,
    const __nv_bfloat16* __restrict__ d_output, const float* __restrict__ logsumexp, const float* __restrict__ delta,
    const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias, __nv_bfloat16* __restrict__ out_dq,
    __nv_bfloat16* __restrict__ workspace, int N, int O, int H, int b0, int nb, int batches_per_wave, int q0,
    int slab_rows, int g0, int head_dim, float scale) {
  constexpr int T = HeadDimTier;
  static_assert(T == 16 || T == 32 || T == 64, "the warpgroup lane serves tiers 16, 32 and 64");
  constexpr Swizzle kSwizzle = swizzle_for_row(T);
  constexpr WgLayout L = wg_layout(T);
  constexpr int kSteps = T / 16;        // k-steps of S and dP
  constexpr int kColumnBlocks = T / 8;  // 8-column blocks of dQ
  static_assert(L.query_tile_bytes % swizzle_repeat_bytes(kSwizzle) == 0 &&
                    L.do_tiles % swizzle_repeat_bytes(kSwizzle) == 0 &&
                    L.kv_tiles % swizzle_repeat_bytes(kSwizzle) == 0 &&
                    L.kv_row_stride % swizzle_repeat_bytes(kSwizzle) == 0 &&
                    L.v_offset % swizzle_repeat_bytes(kSwizzle) == 0,
                "every swizzled tile must start on a swizzle repeat");

  unsigned char* const smem_raw = kestrovane::dynamic_smem<1024>();

  const int tid = static_cast<int>(threadIdx.x);
  const int wg = tid / 128;
  const int warp = (tid / 32) % 4;
  const int lane = tid % 32;
  const int g = lane / 4;
  const int c = lane % 4;
  const int h = static_cast<int>(blockIdx.y);
  const int block = static_cast<int>(QueryTilesOnX ? blockIdx.x : blockIdx.z);
  const int pair = static_cast<int>(QueryTilesOnX ? blockIdx.z : blockIdx.x);
  const int gl = pair / nb;
  const int bl = pair % nb;
  const int64_t b = int64_t{b0} + bl;
  const int64_t outer = SquarePair ? N : O;
  const int qb = q0 + kWgQueryBlock * block;  // query row of block row 0

  // Outer row i of the group: rows past O count with weight 0 and load row O - 1. Computed
  // where needed rather than kept in arrays that a runtime index would push to local memory.
  const int64_t first_outer = int64_t{kGroupRows} * (int64_t{g0} + gl);
  const auto is_live = [&](int i) { return first_outer + i < outer; };
  const auto mask_row = [&](int i) { return b * outer + (is_live(i) ? first_outer + i : outer - 1); };  // b*O + o
  const auto slice_row = [&](int i) { return mask_row(i) * H + h; };  // (b*O + o)*H + h

  const uint16_t* q_bits = reinterpret_cast<const uint16_t*>(q);
  const uint16_t* k_bits = reinterpret_cast<const uint16_t*>(k);
  const uint16_t* v_bits = reinterpret_cast<const uint16_t*>(v);
  const uint16_t* do_bits = reinterpret_cast<const uint16_t*>(d_output);
  const uint16_t* bias_bits = reinterpret_cast<const uint16_t*>(bias) + ((b * H + h) * N + qb) * int64_t{N};
  uint16_t* bias_tile = reinterpret_cast<uint16_t*>(smem_raw + L.bias);
  float* mask_tile = reinterpret_cast<float*>(smem_raw + L.mask);
  float* ds_tiles = reinterpret_cast<float*>(smem_raw + L.ds);

  // Prologue: the block's query rows of q and d_output for all four outer rows.
#pragma unroll 1
  for (int i = 0; i < kGroupRows; ++i) {
    const int64_t q_row0 = slice_row(i) * N + qb;
    stage_swizzled_rows<T, kWgQueryBlock>(
        smem_raw + L.q_tiles + i * L.query_tile_bytes, q_bits,
        [&](int r) { return (q_row0 + r) * head_dim; }, head_dim, tid);
    const int64_t do_row0 = mask_row(i) * N + qb;
    stage_swizzled_rows<T, kWgQueryBlock>(
        smem_raw + L.do_tiles + i * L.query_tile_bytes, do_bits,
        [&](int r) { return ((do_row0 + r) * H + h) * head_dim; }, head_dim, tid);
  }

  // The thread's accumulator rows are block rows 16*warp + g and + 8, of outer rows 2wg, 2wg+1.
  const int row0 = 16 * warp + g;
  float lse[2][2];
  float dlt[2][2];
#pragma unroll
  for (int ii = 0; ii < 2; ++ii) {
#pragma unroll
    for (int half = 0; half < 2; ++half) {
      const int64_t row = slice_row(2 * wg + ii) * N + qb + row0 + 8 * half;
      lse[ii][half] = ptx::ld_global_nc_f32(logsumexp + row);
      dlt[ii][half] = ptx::ld_global_nc_f32(delta + row);
    }
  }

  // One 32-key tile: each outer row's K and V rows, the block's bias columns, the mask entries.
  const auto load_key_tile = [&](int kstart) {
#pragma unroll 1
    for (int i = 0; i < kGroupRows; ++i) {
      const int64_t key_row0 = slice_row(i) * N + kstart;
      unsigned char* k_tile = smem_raw + L.kv_tiles + i * L.kv_row_stride;
      const auto key_start = [&](int r) { return (key_row0 + r) * head_dim; };
      stage_swizzled_rows<T, kWgKeyTile>(k_tile, k_bits, key_start, head_dim, tid);
      stage_swizzled_rows<T, kWgKeyTile>(k_tile + L.v_offset, v_bits, key_start, head_dim, tid);
    }
#pragma unroll 2
    for (int e = tid; e < kWgQueryBlock * kWgKeyTile; e += kWgThreads) {
      const int r = e / kWgKeyTile;
      const int col = e % kWgKeyTile;
      bias_tile[r * kWgBiasPitch + col] = ptx::ld_global_nc_b16(bias_bits + int64_t{r} * N + kstart + col);
    }
    if (tid < kGroupRows * kWgKeyTile) {
      const int i = tid / kWgKeyTile;
      mask_tile[tid] = ptx::ld_global_nc_f32(mask + mask_row(i) * N + kstart + tid % kWgKeyTile);
    }
  };
  load_key_tile(0);

  float dq[2][kColumnBlocks][4];
#pragma unroll
  for (int ii = 0; ii < 2; ++ii) {
#pragma unroll
    for (int n = 0; n < kColumnBlocks; ++n) {
      dq[ii][n][0] = dq[ii][n][1] = dq[ii][n][2] = dq[ii][n][3] = 0.0f;
    }
  }

  const uint32_t smem = ptx::smem_address(smem_raw);
  float* ds_tile = ds_tiles + wg * kWgDsTileFloats;
  // ldmatrix lane l supplies key row l of the K tile (four 8-key matrices, keys 0..31).
  const uint32_t k_lane_row = swizzled_row_byte(kSwizzle, static_cast<uint32_t>(lane));

#pragma unroll 1
  for (int kstart = 0; kstart < N; kstart += kWgKeyTile) {
    // The shared stores of the tile (and of the prologue) become visible to wgmma.
    ptx::fence_proxy_async_shared();
    __syncthreads();

#pragma unroll
    for (int ii = 0; ii < 2; ++ii) {
      const int i = 2 * wg + ii;
      const uint32_t q_tile = smem + L.q_tiles + i * L.query_tile_bytes;
      const uint32_t do_tile = smem + L.do_tiles + i * L.query_tile_bytes;
      const uint32_t k_tile = smem + L.kv_tiles + i * L.kv_row_stride;
      const uint32_t v_tile = k_tile + L.v_offset;

      // S = Q K^T and dP = dO V^T, 16 head columns per step in ascending order, FP32 from zero
      // (the Q and dO tiles as the A operands, K and V as the B operands).
      float s[4][4];
      float dp[4][4];
      issue_score_products<kSteps>(s, dp, kSwizzle, q_tile, k_tile, do_tile, v_tile);
      ptx::wgmma_wait_group<0>();
      fence_accumulators(s, dp);

      // P and dS in place of S; accumulator element x of block j is row row0 + 8*(x/2),
      // key 8j + 2c + x%2.
      const float weight = is_live(i) ? 1.0f : 0.0f;
#pragma unroll
      for (int j = 0; j < 4; ++j) {
#pragma unroll
        for (int x = 0; x < 4; ++x) {
          const int half = x / 2;
          const int row = row0 + 8 * half;
          const int key = 8 * j + 2 * c + x % 2;
          // A fully masked row (logsumexp -inf) takes P = 0; its reference is then 0, so
          // -inf - -inf is never formed.
          const bool masked_row = lse[ii][half] == kNegInf;
          const float p = backward_probability(s[j][x], scale, mask_tile[i * kWgKeyTile + key],
                                               bf16_bits_to_float(bias_tile[row * kWgBiasPitch + key]),
                                               masked_row ? 0.0f : lse[ii][half]);
          float ds = score_gradient(masked_row ? 0.0f : p, dp[j][x], dlt[ii][half]);
          if (!SquarePair) {
            ds = mul_rn(weight, ds);
          }
          s[j][x] = ds;
          float* staged = ds_tile + row * kWgDsPitch + key;
          // The second outer row adds to the first one's value: the same thread wrote it.
          *staged = ii == 0 ? ds : add_rn(*staged, ds);
        }
      }

      // dQ += BF16(dS) K over keys 0-15, then 16-31; K comes transposed out of its swizzled
      // tile, one ldmatrix for all 32 keys of an 8-column block.
      uint32_t a[2][4];
#pragma unroll
      for (int kk = 0; kk < 2; ++kk) {
        a[kk][0] = pack_bf16x2(s[2 * kk][0], s[2 * kk][1]);
        a[kk][1] = pack_bf16x2(s[2 * kk][2], s[2 * kk][3]);
        a[kk][2] = pack_bf16x2(s[2 * kk + 1][0], s[2 * kk + 1][1]);
        a[kk][3] = pack_bf16x2(s[2 * kk + 1][2], s[2 * kk + 1][3]);
      }
      const uint32_t k_row = k_tile + k_lane_row;
#pragma unroll
      for (int n = 0; n < kColumnBlocks; ++n) {
        uint32_t kf[4];
        ptx::ldmatrix_x4_trans(kf, k_row ^ (16u * n));
        const uint32_t lo[2] = {kf[0], kf[1]};
        const uint32_t hi[2] = {kf[2], kf[3]};
        ptx::mma_m16n8k16_bf16(dq[ii][n], a[0], lo);
        ptx::mma_m16n8k16_bf16(dq[ii][n], a[1], hi);
      }
    }

    // Both warpgroups have staged their dS and read K for the last time in this tile.
    __syncthreads();

    // The group's dBias partial of the tile, warpgroup 0's pair first, rounded once.
    __nv_bfloat16* partial_rows =
        workspace + ((int64_t{gl} * batches_per_wave + bl) * H + h) * int64_t{slab_rows} * N +
        int64_t{kWgQueryBlock} * block * N + kstart;
#pragma unroll 2
    for (int e = tid; e < kWgQueryBlock * kWgKeyTile; e += kWgThreads) {
      const int r = e / kWgKeyTile;
      const int col = e % kWgKeyTile;
      const float sum = add_rn(ds_tiles[r * kWgDsPitch + col], ds_tiles[kWgDsTileFloats + r * kWgDsPitch + col]);
      partial_rows[int64_t{r} * N + col] = to_bf16(sum);
    }

    // Single buffers: nobody reads K, V, bias or mask of this tile after the barrier above.
    if (kstart + kWgKeyTile < N) {
      load_key_tile(kstart + kWgKeyTile);
    }
  }

  // Epilogue: dQ x scale, rounded once, for the columns below head_dim of live outer rows.
#pragma unroll
  for (int ii = 0; ii < 2; ++ii) {
    const int i = 2 * wg + ii;
    if (!is_live(i)) continue;
    __nv_bfloat16* dq_rows = out_dq + (slice_row(i) * N + qb + row0) * head_dim;
#pragma unroll
    for (int n = 0; n < kColumnBlocks; ++n) {
#pragma unroll
      for (int x = 0; x < 4; ++x) {
        const int col = 8 * n + 2 * c + x % 2;
        if (col < head_dim) {
          dq_rows[int64_t{8 * (x / 2)} * head_dim + col] = to_bf16(mul_rn(dq[ii][n][x], scale));
        }
      }
    }
  }
}

template <int HeadDimTier, bool QueryTilesOnX, bool SquarePair>
void launch_wg_instance(const DqLaunch& a, const WgWave& w, cudaStream_t stream) {
  kestrovane::launch_kernel(kestrovane_dq_dbias_wg_kernel<HeadDimTier, QueryTilesOnX, SquarePair>,
                            dim3(w.grid_x, w.grid_y, w.grid_z), kWgThreads, wg_shared_bytes(HeadDimTier), stream,
                            static_cast<const __nv_bfloat16*>(a.in.q), static_cast<const __nv_bfloat16*>(a.in.k),
                            static_cast<const __nv_bfloat16*>(a.in.v), static_cast<const __nv_bfloat16*>(a.in.d_output),
                            a.in.logsumexp, a.in.delta, a.in.mask, static_cast<const __nv_bfloat16*>(a.in.bias),
                            static_cast<__nv_bfloat16*>(a.out_dq), static_cast<__nv_bfloat16*>(a.workspace), a.N, a.O,
                            a.H, w.b0, w.nb, a.batches_per_wave, w.q0, a.slab_rows, w.g0, a.head_dim, a.scale);
}

template <int HeadDimTier>
bool wg_opt_in() {
  constexpr int kBytes = wg_shared_bytes(HeadDimTier);
  const auto opt_in = [](const void* kernel) { return opt_in_dynamic_smem(kernel, kBytes) == cudaSuccess; };
  const bool x_square = opt_in(reinterpret_cast<const void*>(&kestrovane_dq_dbias_wg_kernel<HeadDimTier, true, true>));
  const bool x_general =
      opt_in(reinterpret_cast<const void*>(&kestrovane_dq_dbias_wg_kernel<HeadDimTier, true, false>));
  if (!x_square || !x_general) return false;
  const bool z_square =
      opt_in(reinterpret_cast<const void*>(&kestrovane_dq_dbias_wg_kernel<HeadDimTier, false, true>));
  const bool z_general =
      opt_in(reinterpret_cast<const void*>(&kestrovane_dq_dbias_wg_kernel<HeadDimTier, false, false>));
  return z_square && z_general;
}

template <int HeadDimTier>
void launch_wg_leaf(const DqLaunch& args, const WgWave& wave, cudaStream_t stream) {
  if (wave.query_tiles_on_x) {
    wave.square_pair ? launch_wg_instance<HeadDimTier, true, true>(args, wave, stream)
                     : launch_wg_instance<HeadDimTier, true, false>(args, wave, stream);
  } else {
    wave.square_pair ? launch_wg_instance<HeadDimTier, false, true>(args, wave, stream)
                     : launch_wg_instance<HeadDimTier, false, false>(args, wave, stream);
  }
}

// The explicit instantiations of one tier's launchers (and so of its four leaf kernels), for
// the kernel unit that carries them; used inside namespace kestrovane::dq.
#define KESTROVANE_DQ_WG_TIER(TIER) \
  template bool wg_opt_in<TIER>();  \
  template void launch_wg_leaf<TIER>(const DqLaunch&, const WgWave&, cudaStream_t);

}  // namespace dq
}  // namespace kestrovane
