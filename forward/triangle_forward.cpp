// _kestrovane_forward_sm90a: the validating entries of the forward module.
// Each entry runs its checks top to bottom in a fixed order and throws on the
// first violation, then guards q's device and queues its kernel on the current
// stream of that device. Nothing here synchronises with the GPU.
#include <ATen/ops/empty.h>
#include <ATen/ops/empty_like.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#include <cuda_runtime_api.h>

#include <cstdint>
#include <vector>

#include "common/checks.h"
#include "common/module.h"
#include "forward/pack_qkv.h"

namespace {

using kestrovane::is_flat;

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

  const c10::cuda::CUDAGuard guard(device);
  const cudaStream_t stream = c10::cuda::getCurrentCUDAStream(-1).stream();
  at::Tensor q_out = at::empty({batch_outer, H, N, D}, q.options());
  at::Tensor k_out = at::empty_like(q_out);
  at::Tensor v_out = at::empty_like(q_out);

  kestrovane::forward::launch_pack_qkv({q.const_data_ptr(), k.const_data_ptr(), v.const_data_ptr(),
                                        q_out.mutable_data_ptr(), k_out.mutable_data_ptr(),
                                        v_out.mutable_data_ptr(), rows, static_cast<int>(H),
                                        static_cast<int>(N), static_cast<int>(D)},
                                       stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane pack QKV launch failed");
  return {q_out, k_out, v_out};
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_forward_sm90a, m) {
  m.def("kestrovane_pack_qkv", &kestrovane_pack_qkv,
        "Kestrovane fused physical [N,H,D] to logical [H,N,D] QKV pack");
}
