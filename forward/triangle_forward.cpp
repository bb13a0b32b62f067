// _kestrovane_forward_sm90a: the validating entries of the forward module.
// Each entry runs its checks top to bottom in a fixed order and throws on the
// first violation, then guards q's device and queues its kernel on the current
// stream of that device. Nothing here synchronises with the GPU.
#include <cuda_bf16.h>
#include <cuda_runtime_api.h>
#include <torch/types.h>

#include <cstdint>
#include <vector>

#include "common/checks.h"
#include "common/device.h"
#include "common/launch.h"
#include "common/module.h"
#include "forward/forward_launch.h"
#include "forward/forward_plan.h"
#include "forward/forward_tma_host.h"
#include "forward/pack_qkv.h"

namespace {

using kestrovane::is_exact;
using kestrovane::is_flat;
using kestrovane::on_device;

std::vector<at::Tensor> kestrovane_pack_qkv(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                            int64_t batch_outer, int64_t H, int64_t N, int64_t D) {
  TORCH_CHECK(H >= 1 && H <= 65535 && batch_outer >= 1 && N >= 1 && N <= 2147483647 && D >= 1 && D <= 64 &&
                  D % 2 == 0,
              "Kestrovane pack requires positive batch_outer/N, H<=65535, and an even D<=64");
  TORCH_CHECK(INT64_MAX / H / N / D >= batch_outer, "Kestrovane pack element count overflows int64");
  const int64_t rows = H * batch_outer * N;
  const int64_t count = rows * D;

  const c10::Device device = q.device();
  auto check_pack_source = [&](const at::Tensor& t) {
    TORCH_CHECK(is_flat(t, device, at::kBFloat16, count),
                "Kestrovane pack sources must be contiguous BF16 tensors with the declared element count on "
                "one CUDA device");
  };
  // The kernel moves 32-bit words, so each source must start on a word.
  check_pack_source(q);
  KESTROVANE_CHECK_ALIGNED(q, 4);
  check_pack_source(k);
  KESTROVANE_CHECK_ALIGNED(k, 4);
  check_pack_source(v);
  KESTROVANE_CHECK_ALIGNED(v, 4);
  TORCH_CHECK(rows <= kestrovane::forward::kPackMaxRows, "Kestrovane pack exceeds the CUDA grid-x contract");

  const kestrovane::DeviceGuard guard(device);
  const cudaStream_t stream = kestrovane::current_stream(-1);
  at::Tensor q_out = kestrovane::empty({batch_outer, H, N, D}, q.options());
  at::Tensor k_out = kestrovane::empty_like(q_out);
  at::Tensor v_out = kestrovane::empty_like(q_out);

  kestrovane::forward::launch_pack_qkv({q.const_data_ptr(), k.const_data_ptr(), v.const_data_ptr(),
                                        q_out.mutable_data_ptr(), k_out.mutable_data_ptr(),
                                        v_out.mutable_data_ptr(), rows, static_cast<int>(H),
                                        static_cast<int>(N), static_cast<int>(D)},
                                       stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane pack QKV launch failed");
  return {q_out, k_out, v_out};
}

// Runs the launcher that the dispatch chose (tier 128 has no TMA family).
template <int Tier>
kestrovane::LaunchResult launch_tier(const kestrovane::forward::ForwardLaunch& launch, bool tma,
                                     cudaStream_t stream) {
  if constexpr (Tier <= 64) {
    if (tma) return kestrovane::forward::launch_forward_tma<Tier>(launch, stream);
  }
  return kestrovane::forward::launch_forward<Tier>(launch, stream);
}

// Turns a launcher's refusal into its message; nothing has been queued then.
void check_launcher(const kestrovane::LaunchResult& result, bool tma) {
  TORCH_CHECK(result.ok(), kestrovane::forward::forward_launch_failure_message(result, tma));
}

constexpr const char* kKvMessage = "k/v/out must be contiguous BF16 tensors matching q on one device";

// Validates in a fixed order (the first failure throws), then queues one kernel.
// Every tensor that a kernel moves in units wider than one element is checked
// for that alignment right after its own check: k and v (16-byte copies), out
// and shadow (BF16 pairs), mask (FP32 pairs) and bias (BF16 pairs).
void kestrovane_triangle_forward_impl(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      const at::Tensor& mask, const at::Tensor& bias, at::Tensor& out,
                                      at::Tensor& lse, __nv_bfloat16* shadow) {
  using namespace kestrovane::forward;
  TORCH_CHECK(q.is_cuda() && q.dtype() == torch::kBFloat16);
  TORCH_CHECK(q.dim() == 5 && q.size(2) >= 1);
  const int64_t B = q.size(0);
  const int64_t O = q.size(1);
  const int64_t H = q.size(2);
  const int64_t N = q.size(3);
  const int64_t D = q.size(4);
  TORCH_CHECK(within_grid_contract(B, O, H, N, D), "batch/outer/sequence/head count exceeds the CUDA grid contract");
  const c10::Device device = q.device();
  TORCH_CHECK(is_exact(k, device, at::kBFloat16, q.sizes()), kKvMessage);
  KESTROVANE_CHECK_ALIGNED(k, 16);
  TORCH_CHECK(is_exact(v, device, at::kBFloat16, q.sizes()), kKvMessage);
  KESTROVANE_CHECK_ALIGNED(v, 16);
  TORCH_CHECK(is_exact(out, device, at::kBFloat16, {B, O, N, H, D}),
              "out must be contiguous BF16 [B,O,N,H,D] on q.device");
  KESTROVANE_CHECK_ALIGNED(out, 4);
  TORCH_CHECK(q.is_contiguous());
  TORCH_CHECK(is_exact(mask, device, at::kFloat, {B, O, 1, 1, N}),
              "mask must be contiguous FP32 [B,O,1,1,N] on q.device");
  KESTROVANE_CHECK_ALIGNED(mask, 8);
  TORCH_CHECK(is_exact(bias, device, at::kBFloat16, {B, 1, H, N, N}),
              "bias must be contiguous BF16 [B,1,H,N,N] on q.device");
  KESTROVANE_CHECK_ALIGNED(bias, 4);
  TORCH_CHECK(is_exact(lse, device, at::kFloat, {B, O, H, N}), "lse must be contiguous FP32 [B,O,H,N] on q.device");

  const kestrovane::DeviceGuard guard(device);
  const cudaStream_t stream = kestrovane::current_stream(-1);
  const int head_dim = static_cast<int>(D);
  TORCH_CHECK(head_dim_supported(head_dim), "head_dim must be a multiple of 8 and <= 128, got ", head_dim);
  const ForwardDispatch dispatch = forward_dispatch(head_dim, B * O * H);
  const ForwardLaunch launch{q.const_data_ptr(), k.const_data_ptr(), v.const_data_ptr(),
                             mask.const_data_ptr<float>(), bias.const_data_ptr(), out.mutable_data_ptr(),
                             lse.mutable_data_ptr<float>(), shadow, static_cast<int>(N), static_cast<int>(O),
                             static_cast<int>(H), static_cast<int>(B), head_dim};
  kestrovane::LaunchResult result;
  switch (dispatch.tier) {
    case 16:
      result = launch_tier<16>(launch, dispatch.tma, stream);
      break;
    case 32:
      result = launch_tier<32>(launch, dispatch.tma, stream);
      break;
    case 64:
      result = launch_tier<64>(launch, dispatch.tma, stream);
      break;
    default:
      result = launch_tier<128>(launch, dispatch.tma, stream);
      break;
  }
  check_launcher(result, dispatch.tma);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "launch failed");
}

void kestrovane_triangle_forward_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                     const at::Tensor& mask, const at::Tensor& bias, at::Tensor& out,
                                     at::Tensor& lse) {
  kestrovane_triangle_forward_impl(q, k, v, mask, bias, out, lse, nullptr);
}

void kestrovane_triangle_forward_shadow_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                            const at::Tensor& mask, const at::Tensor& bias, at::Tensor& out,
                                            at::Tensor& lse, at::Tensor& shadow_residual) {
  // Checked before anything else, so a bad shadow is reported even when q is wrong too.
  TORCH_CHECK(on_device(shadow_residual, out.device()) && shadow_residual.scalar_type() == at::kBFloat16 &&
                  shadow_residual.is_contiguous() && shadow_residual.sizes() == out.sizes(),
              "shadow_residual must be contiguous BF16 matching out");
  KESTROVANE_CHECK_ALIGNED(shadow_residual, 4);
  kestrovane_triangle_forward_impl(q, k, v, mask, bias, out, lse,
                                   static_cast<__nv_bfloat16*>(shadow_residual.mutable_data_ptr()));
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_forward_sm90a, m) {
  m.def("kestrovane_pack_qkv", &kestrovane_pack_qkv,
        "Kestrovane fused physical [N,H,D] to logical [H,N,D] QKV pack");
  m.def("kestrovane_triangle_forward_out", &kestrovane_triangle_forward_out,
        "Kestrovane Triangle Attention forward (online softmax)");
  m.def("kestrovane_triangle_forward_shadow_out", &kestrovane_triangle_forward_shadow_out,
        "Forward + BF16 rounding-residual shadow for the SR delta");
}
