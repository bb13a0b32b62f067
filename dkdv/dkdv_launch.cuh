// The dK/dV kernel entries of both families and their launcher. One block per (key block,
// head, batch-outer index) owns 64 keys of one slice and writes their dK and dV rows once;
// nothing is atomic and every accumulator receives the query tiles in ascending order, so
// results are the same bits on every run and in either grid orientation.
#pragma once

#include <cuda.h>
#include <cuda_bf16.h>
#include <cuda_runtime.h>

#include "common/kernel_launch.cuh"
#include "common/launch.h"
#include "dkdv/dkdv_launch.h"
#include "dkdv/dkdv_mma.cuh"
#include "dkdv/dkdv_plan.h"
#include "dkdv/dkdv_tma.cuh"

namespace kestrovane {
namespace dkdv {

// The TMA path reads the maps and not the q, k, v and d_output pointers; the cp.async path
// the pointers and not the maps.
template <int HeadDimTier, int SeqTail, bool KeyBlocksOnX, bool DeltaTrue, bool SquarePair, bool UseTma>
__device__ __forceinline__ void kestrovane_triangle_dkdv_body(
    const CUtensorMap* q_map, const CUtensorMap* do_map, const CUtensorMap* k_map, const CUtensorMap* v_map,
    const __nv_bfloat16* __restrict__ q, const __nv_bfloat16* __restrict__ k, const __nv_bfloat16* __restrict__ v,
    const __nv_bfloat16* __restrict__ d_output, const float* __restrict__ logsumexp,
    const float* __restrict__ delta, const float* __restrict__ mask, const __nv_bfloat16* __restrict__ bias,
    __nv_bfloat16* __restrict__ out_dk, __nv_bfloat16* __restrict__ out_dv, float* __restrict__ partials,
    int key_blocks, int N, int O, int H, int B, int D, float scale) {
  if constexpr (UseTma) {
    tma_path_body<HeadDimTier, SeqTail, KeyBlocksOnX, DeltaTrue, SquarePair>(
        q_map, do_map, k_map, v_map, logsumexp, delta, mask, bias, out_dk, out_dv, partials, key_blocks, N, O, H, D,
        scale);
  } else {
    mma_path_body<HeadDimTier, SeqTail, KeyBlocksOnX, DeltaTrue, SquarePair>(
        q, k, v, d_output, logsumexp, delta, mask, bias, out_dk, out_dv, partials, key_blocks, N, O, H, D, scale);
  }
}

// The maps come first (read in place as grid constants by the TMA path). The kernels never
// read B, and with SquarePair not O.
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
  kestrovane::launch_kernel(kernel, grid, kThreads, smem, stream, args...);
  return {};
}

template <int HeadDimTier, int SeqTail, bool DeltaTrue, bool SquarePair, bool UseTma, bool KeyBlocksOnX>
LaunchResult launch_dkdv_oriented(const DkdvLaunch& a, const DkdvMaps& maps, const Grid& grid, cudaStream_t stream) {
  static_assert(!UseTma || HeadDimTier <= 64, "tier 128 has no TMA family");
  const int smem = shared_bytes(HeadDimTier, UseTma, DeltaTrue);
  const float scale = softmax_scale(a.D);
  const dim3 blocks(static_cast<unsigned>(grid.x), static_cast<unsigned>(grid.y), static_cast<unsigned>(grid.z));
  const auto* q = static_cast<const __nv_bfloat16*>(a.in.q);
  const auto* k = static_cast<const __nv_bfloat16*>(a.in.k);
  const auto* v = static_cast<const __nv_bfloat16*>(a.in.v);
  const auto* d_output = static_cast<const __nv_bfloat16*>(a.in.d_output);
  const auto* bias = static_cast<const __nv_bfloat16*>(a.in.bias);
  auto* out_dk = static_cast<__nv_bfloat16*>(a.out_dk);
  auto* out_dv = static_cast<__nv_bfloat16*>(a.out_dv);
  if constexpr (DeltaTrue) {
    return opt_in_and_launch(
        kestrovane_triangle_dkdv_delta_true_kernel<HeadDimTier, SeqTail, KeyBlocksOnX, SquarePair, UseTma>, blocks,
        smem, stream, maps.q, maps.d_output, maps.k, maps.v, q, k, v, d_output, a.in.logsumexp, a.in.delta, a.in.mask,
        bias, out_dk, out_dv, a.delta_true_partials, static_cast<int>(key_blocks(a.N)), a.N, a.O, a.H, a.B, a.D, scale);
  } else {
    return opt_in_and_launch(kestrovane_triangle_dkdv_kernel<HeadDimTier, SeqTail, KeyBlocksOnX, SquarePair, UseTma>,
                             blocks, smem, stream, maps.q, maps.d_output, maps.k, maps.v, q, k, v, d_output,
                             a.in.logsumexp, a.in.delta, a.in.mask, bias, out_dk, out_dv, a.N, a.O, a.H, a.B, a.D, scale);
  }
}

template <int HeadDimTier, int SeqTail, bool DeltaTrue, bool SquarePair, bool UseTma>
LaunchResult launch_dkdv(const DkdvLaunch& launch, const DkdvMaps& maps, cudaStream_t stream) {
  const Grid grid = grid_for(launch.B, launch.O, launch.H, launch.N);
  return grid.key_blocks_on_x
             ? launch_dkdv_oriented<HeadDimTier, SeqTail, DeltaTrue, SquarePair, UseTma, true>(launch, maps, grid,
                                                                                               stream)
             : launch_dkdv_oriented<HeadDimTier, SeqTail, DeltaTrue, SquarePair, UseTma, false>(launch, maps, grid,
                                                                                                stream);
}

}  // namespace dkdv
}  // namespace kestrovane
