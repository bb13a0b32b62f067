// _kestrovane_dkdv_sm90a: the validating entries of the dK/dV module.
// Each entry runs its checks top to bottom in a fixed order and throws on the first
// violation, then guards q's device and queues its kernels on the current stream of
// that device. Nothing here synchronises with the GPU or allocates.
#include <ATen/core/Tensor.h>
#include <cuda_runtime_api.h>
#include <torch/types.h>

#include <cstdint>

#include "common/checks.h"
#include "common/device.h"
#include "common/launch.h"
#include "common/module.h"
#include "dkdv/dkdv_launch.h"
#include "dkdv/dkdv_plan.h"
#include "dkdv/dkdv_tensors.h"
#include "dkdv/dkdv_tma_host.h"

namespace {

using kestrovane::is_exact;
using kestrovane::is_flat;
using kestrovane::LaunchResult;
using kestrovane::on_device;
namespace dkdv = kestrovane::dkdv;

constexpr const char* kGridContract = "batch/outer/sequence/head count exceeds the CUDA grid contract";

// The one place that maps the TMA choice to a kernel family: tiers 16, 32 and 64 run the
// TMA + wgmma kernels when the plan says so (their maps are then encoded); everything else,
// and tier 128 always, runs the cp.async + mma.sync kernels.
template <int HeadDimTier, int SeqTail, bool DeltaTrue, bool SquarePair>
LaunchResult launch_family(bool use_tma, const dkdv::DkdvLaunch& launch, const dkdv::DkdvMaps& maps,
                           cudaStream_t stream) {
  if constexpr (HeadDimTier <= 64) {
    if (use_tma) {
      return dkdv::launch_dkdv<HeadDimTier, SeqTail, DeltaTrue, SquarePair, true>(launch, maps, stream);
    }
  }
  return dkdv::launch_dkdv<HeadDimTier, SeqTail, DeltaTrue, SquarePair, false>(launch, maps, stream);
}

template <int HeadDimTier, bool DeltaTrue>
LaunchResult launch_tier(const dkdv::Flags& flags, const dkdv::DkdvLaunch& launch, const dkdv::DkdvMaps& maps,
                         cudaStream_t stream) {
  const bool tma = flags.use_tma;
  if (flags.seq_tail == -1) {
    return flags.square_pair ? launch_family<HeadDimTier, -1, DeltaTrue, true>(tma, launch, maps, stream)
                             : launch_family<HeadDimTier, -1, DeltaTrue, false>(tma, launch, maps, stream);
  }
  return flags.square_pair ? launch_family<HeadDimTier, 0, DeltaTrue, true>(tma, launch, maps, stream)
                           : launch_family<HeadDimTier, 0, DeltaTrue, false>(tma, launch, maps, stream);
}

// The data address that a tensor map describes: null for a tensor without elements.
const void* map_address(const at::Tensor& t) { return t.numel() == 0 ? nullptr : t.const_data_ptr(); }

void check_map(const LaunchResult& result, const char* builder_message) {
  TORCH_CHECK(result.ok(), dkdv::map_failure_message(result, builder_message));
}

template <bool DeltaTrue>
void run_dkdv(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& d_output,
              const at::Tensor& logsumexp, const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
              at::Tensor& out_dk, at::Tensor& out_dv, float* partials) {
  TORCH_CHECK(q.is_cuda() && q.dtype() == torch::kBFloat16);
  TORCH_CHECK(q.dim() == 5 && q.size(2) >= 1);
  const int64_t B = q.size(0);
  const int64_t O = q.size(1);
  const int64_t H = q.size(2);
  const int64_t N = q.size(3);
  const int64_t D = q.size(4);
  TORCH_CHECK(dkdv::within_grid_contract(B, O, H, N, D), kGridContract);
  TORCH_CHECK(q.is_contiguous());
  // q and d_output arrive in 16-byte copies: a view starting mid-chunk must not reach the kernel.
  KESTROVANE_CHECK_ALIGNED(q, 16);
  // On the TMA path k and v arrive by bulk tensor copies too, whose global addresses are
  // 16-byte aligned (the cp.async path reads them element by element).
  const dkdv::Flags flags = dkdv::derive_flags(B, O, H, N, D);

  const c10::Device device = q.device();
  auto check_bf16_matching = [&](const at::Tensor& t) {
    TORCH_CHECK(is_exact(t, device, at::kBFloat16, q.sizes()),
                "k/v/d_output/out_dk/out_dv must be contiguous BF16 tensors matching q on one device");
  };
  auto check_row_tensor = [&](const at::Tensor& t) {
    TORCH_CHECK(is_flat(t, device, at::kFloat, q.numel() / D),
                "logsumexp/delta must be contiguous FP32 row tensors on q.device");
  };
  check_bf16_matching(k);
  if (flags.use_tma) {
    KESTROVANE_CHECK_ALIGNED(k, 16);
  }
  check_bf16_matching(v);
  if (flags.use_tma) {
    KESTROVANE_CHECK_ALIGNED(v, 16);
  }
  TORCH_CHECK(is_exact(d_output, device, at::kBFloat16, {B, O, N, H, D}),
              "d_output must be contiguous BF16 [B,O,N,H,D] on q.device");
  KESTROVANE_CHECK_ALIGNED(d_output, 16);
  check_bf16_matching(out_dk);
  check_bf16_matching(out_dv);
  check_row_tensor(logsumexp);
  check_row_tensor(delta);
  TORCH_CHECK(is_exact(mask, device, at::kFloat, {B, O, 1, 1, N}), "mask must be contiguous FP32 [B,O,1,1,N] on q.device");
  TORCH_CHECK(is_exact(bias, device, at::kBFloat16, {B, 1, H, N, N}),
              "bias must be contiguous BF16 [B,1,H,N,N] on q.device");

  const kestrovane::DeviceGuard guard(device);
  const cudaStream_t stream = kestrovane::current_stream(-1);
  TORCH_CHECK(dkdv::head_dim_supported(D), "head_dim must be a multiple of 8 and <= 128, got ", D);

  // The grid contract above keeps every size within int, and UseTma the slice count.
  const int n = static_cast<int>(N);
  const int d = static_cast<int>(D);
  dkdv::DkdvMaps maps{};  // all zero: the cp.async kernels never read them
  if (flags.use_tma) {
    const kestrovane::TensorMapEncoder encode = dkdv::dkdv_tensor_map_encode_fn();
    const int64_t slices = B * O * H;
    check_map(dkdv::dkdv_make_q_map(&maps.q, map_address(q), d, n, slices, encode), dkdv::kQMapFailed);
    check_map(dkdv::dkdv_make_do_map(&maps.d_output, map_address(d_output), d, n, static_cast<int>(H), B * O, encode),
              dkdv::kDoMapFailed);
    check_map(dkdv::dkdv_make_kv_block_map(&maps.k, map_address(k), d, n, slices, encode), dkdv::kKvMapFailed);
    check_map(dkdv::dkdv_make_kv_block_map(&maps.v, map_address(v), d, n, slices, encode), dkdv::kKvMapFailed);
  }

  const dkdv::DkdvLaunch launch =
      dkdv::launch_arguments(q, k, v, d_output, logsumexp, delta, mask, bias, out_dk, out_dv, partials);
  LaunchResult result;
  switch (flags.tier) {
    case 16:
      result = launch_tier<16, DeltaTrue>(flags, launch, maps, stream);
      break;
    case 32:
      result = launch_tier<32, DeltaTrue>(flags, launch, maps, stream);
      break;
    case 64:
      result = launch_tier<64, DeltaTrue>(flags, launch, maps, stream);
      break;
    case 128:
      result = launch_tier<128, DeltaTrue>(flags, launch, maps, stream);
      break;
    default:
      TORCH_CHECK(false, "unsupported storage lane for Kestrovane dK/dV");
  }
  TORCH_CHECK(result.ok(), "failed to opt in Kestrovane dK/dV shared memory: ",
              cudaGetErrorString(static_cast<cudaError_t>(result.code)));
  const cudaError_t status = cudaGetLastError();
  TORCH_CHECK(status == cudaSuccess, "Kestrovane dK/dV launch failed: ", cudaGetErrorString(status));
}

void kestrovane_triangle_dkdv_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                  const at::Tensor& d_output, const at::Tensor& logsumexp, const at::Tensor& delta,
                                  const at::Tensor& mask, const at::Tensor& bias, at::Tensor& out_dk,
                                  at::Tensor& out_dv) {
  run_dkdv<false>(q, k, v, d_output, logsumexp, delta, mask, bias, out_dk, out_dv, nullptr);
}

void kestrovane_triangle_dkdv_delta_true_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                             const at::Tensor& d_output, const at::Tensor& logsumexp,
                                             const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
                                             at::Tensor& out_dk, at::Tensor& out_dv, at::Tensor& delta_true_partials,
                                             at::Tensor& out_delta_true) {
  const int64_t N = q.size(3);
  const int64_t numel = q.numel();
  const int64_t D = q.size(4);
  // rows = numel / D needs D >= 1; run_dkdv rejects D < 1 with the same sentence.
  TORCH_CHECK(D >= 1, kGridContract);
  const int64_t rows = numel / D;
  const int64_t key_blocks = dkdv::key_blocks(N);

  const c10::Device device = q.device();
  TORCH_CHECK(on_device(delta_true_partials, device) && delta_true_partials.scalar_type() == at::kFloat &&
                  delta_true_partials.is_contiguous() && dkdv::covers(delta_true_partials.numel(), rows, key_blocks),
              "delta_true_partials must be contiguous FP32 with at least rows*key_blocks elements on q.device");
  TORCH_CHECK(is_flat(out_delta_true, device, at::kFloat, rows),
              "out_delta_true must be a contiguous FP32 row tensor on q.device");

  run_dkdv<true>(q, k, v, d_output, logsumexp, delta, mask, bias, out_dk, out_dv,
                 delta_true_partials.mutable_data_ptr<float>());

  // The fold follows the gradient kernel on the same stream, so it reads every partial
  // after the last block of that kernel has written it.
  const kestrovane::DeviceGuard guard(device);
  const cudaStream_t stream = kestrovane::current_stream(-1);
  const int64_t grid = dkdv::fold_grid(rows);
  TORCH_CHECK(dkdv::fits_grid_x(grid), "delta_true reduce exceeds the CUDA grid-x contract");
  dkdv::launch_delta_true_fold({delta_true_partials.const_data_ptr<float>(), out_delta_true.mutable_data_ptr<float>(),
                                rows, static_cast<int>(key_blocks), static_cast<int>(N), static_cast<int>(grid)},
                               stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane delta_true reduce launch failed");
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dkdv_sm90a, m) {
  m.def("kestrovane_triangle_dkdv_out", &kestrovane_triangle_dkdv_out,
        "Kestrovane dK/dV (key-block ownership, runtime H/D/N)");
  m.def("kestrovane_triangle_dkdv_delta_true_out", &kestrovane_triangle_dkdv_delta_true_out,
        "Kestrovane dK/dV plus the recomputed delta_true = sum(P*dP) row scalars (fixed-order key-block fold, zero "
        "atomics)");
}
