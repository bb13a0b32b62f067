// _kestrovane_trimul_sm90a: the validating entries of the triangle multiplicative update.
// Every entry checks its arguments top to bottom in a fixed order and throws on the first
// violation, with messages built from the function's name, the argument's name and a
// fixed tail; then it guards the primary input's device, allocates its outputs there and
// queues its kernel on the current stream of that device. Nothing here synchronises with
// the GPU.
#include <ATen/MemoryOverlap.h>
#include <c10/cuda/CUDAException.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#include <cuda_runtime_api.h>
#include <torch/types.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

#include "common/checks.h"
#include "common/module.h"
#include "trimul/trimul_launch.h"
#include "trimul/trimul_launch_checks.h"
#include "trimul/trimul_plan.h"

namespace {

namespace plan = kestrovane::trimul;
using plan::ceil_div_positive;

// Passes a CUDA runtime status to PyTorch's CUDA check, which raises PyTorch's CUDA error
// for anything but success. The runtime's last error is cleared first, so that a later
// launch is not reported as failed for it.
void cuda_check(cudaError_t status, const char* fn, uint32_t line) {
  if (status != cudaSuccess) (void)cudaGetLastError();
  c10::cuda::c10_cuda_check_implementation(static_cast<int32_t>(status), "trimul_cuda", fn, line, true);
}

// ---------------------------------------------------------------- validators

int64_t checked_positive(int64_t value, const char* fn, const char* what) {
  TORCH_CHECK(value > 0, fn, ": ", what, " must be positive, got ", value);
  return value;
}

// Signs first: a negative operand reports as such even when the product would also overflow.
int64_t checked_mul(int64_t a, int64_t b, const char* fn, const char* what) {
  TORCH_CHECK(a >= 0 && b >= 0, fn, ": ", what, " operands must be non-negative");
  TORCH_CHECK(a == 0 || b <= std::numeric_limits<int64_t>::max() / a, fn, ": ", what, " overflows int64");
  return a * b;
}

void check_channel(int32_t value, const char* fn, const char* what) {
  TORCH_CHECK(plan::is_channel_count(value), fn, ": ", what, " must be one of {32, 64, 96, 128}, got ", value);
}

void check_channels(int32_t C, int32_t H, const char* fn) {
  check_channel(C, fn, "C");
  check_channel(H, fn, "H");
  TORCH_CHECK(C == H, fn, ": C and H must be equal, got C=", C, ", H=", H);
}

// Bounds B and NN by the grids of the module's kernels; returns rows = B * NN.
int64_t check_pair_extent(int64_t B, int64_t NN, int32_t H, const char* fn) {
  checked_positive(B, fn, "B");
  checked_positive(NN, fn, "NN");
  TORCH_CHECK(B <= plan::kMaxGridYZ, fn, ": B exceeds the production grid-z limit");
  const int64_t rows = checked_mul(B, NN, fn, "B*NN");
  const int64_t elems = checked_mul(rows, H, fn, "B*NN*H");
  TORCH_CHECK(rows <= plan::kMaxLayerNormRows, fn, ": LayerNorm grid-x exceeds the production limit");
  TORCH_CHECK(elems <= plan::kMaxSigmoidElements, fn, ": sigmoid grid-x exceeds the production limit");
  const int64_t tiles = (NN - 1) / plan::kPairTile + 1;
  TORCH_CHECK(tiles <= plan::kMaxInt32, fn, ": transpose grid-x exceeds the production limit");
  const int64_t chunks = checked_mul(tiles, B, fn, "ceil(NN/32)*B");
  TORCH_CHECK(chunks <= plan::kMaxInt32, fn, ": transpose reduction chunks exceed signed int32");
  return rows;
}

void check_cuda_tensor(const at::Tensor& t, at::ScalarType dtype, const char* fn, const char* what) {
  TORCH_CHECK(t.defined(), fn, ": ", what, " must be defined");
  TORCH_CHECK(t.is_cuda(), fn, ": ", what, " must be a CUDA tensor");
  TORCH_CHECK(t.scalar_type() == dtype, fn, ": ", what, " has the wrong dtype");
}

void check_cuda_contiguous(const at::Tensor& t, at::ScalarType dtype, const char* fn, const char* what) {
  check_cuda_tensor(t, dtype, fn, what);
  TORCH_CHECK(t.is_contiguous(), fn, ": ", what, " must be contiguous");
}

void check_same_device(const at::Tensor& t, const at::Tensor& primary, const char* fn, const char* what) {
  TORCH_CHECK(t.device() == primary.device(), fn, ": ", what, " must be on the same CUDA device as the primary input");
}

// Only the actual sizes are printed.
void check_shape(const at::Tensor& t, std::initializer_list<int64_t> expected, const char* fn, const char* what) {
  TORCH_CHECK(t.dim() == static_cast<int64_t>(expected.size()), fn, ": ", what, " has wrong rank; got shape ",
              t.sizes());
  int64_t i = 0;
  for (const int64_t size : expected) {
    TORCH_CHECK(t.size(i) == size, fn, ": ", what, " has wrong shape; got ", t.sizes());
    ++i;
  }
}

// A contiguous view may start at any element; the kernels read some tensors in wider words.
void check_alignment(const at::Tensor& t, uint64_t bytes, const char* fn, const char* what) {
  TORCH_CHECK(kestrovane::is_aligned(t, bytes), fn, ": ", what, " data pointer must be ", bytes, "-byte aligned");
}

void check_dynamic_shared_memory_limit(int32_t bytes, int32_t device, const char* fn) {
  int limit = 0;
  cuda_check(cudaDeviceGetAttribute(&limit, cudaDevAttrMaxSharedMemoryPerBlockOptin, device), fn, __LINE__);
  plan::require_dynamic_shared_memory(bytes, limit, fn);
}

[[maybe_unused]] void check_no_overlap(const at::Tensor& output, std::initializer_list<at::Tensor> inputs) {
  at::assert_no_internal_overlap(output);
  for (const at::Tensor& input : inputs) at::assert_no_overlap(output, input);
}

// ---------------------------------------------------------------- shared entry steps

// The opt-in limit is the kernel's largest size over all channel counts, set on every call.
void opt_in_shared_memory(const void* kernel, int32_t maximum, int32_t device, const char* fn) {
  check_dynamic_shared_memory_limit(maximum, device, fn);
  cuda_check(cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, maximum), fn, __LINE__);
}

int64_t multiprocessor_count(int32_t device, const char* fn) {
  int sms = 0;
  cuda_check(cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, device), fn, __LINE__);
  return plan::require_multiprocessors(sms, fn);
}

void check_weight(const at::Tensor& w, const at::Tensor& primary, int64_t rows_, int64_t cols, const char* fn,
                  const char* what) {
  check_cuda_contiguous(w, at::kFloat, fn, what);
  check_same_device(w, primary, fn, what);
  check_shape(w, {rows_, cols}, fn, what);
}

}  // namespace

// LayerNorm of z over C channels, the five gated projections, and a, b channel-major.
// The FP32 weights are read element by element (any element offset works); z, gamma and
// beta are read in wider words and checked for alignment.
std::vector<at::Tensor> trimul_in_fwd(const at::Tensor& z, const at::Tensor& w_ap, const at::Tensor& w_ag,
                                      const at::Tensor& w_bp, const at::Tensor& w_bg, const at::Tensor& w_g,
                                      const at::Tensor& mask, const at::Tensor& gamma, const at::Tensor& beta,
                                      int64_t B, int64_t NN, int32_t C, int32_t H, bool save_zln) {
  const char* fn = "trimul_in_fwd";
  check_channels(C, H, fn);
  const int64_t rows = check_pair_extent(B, NN, H, fn);
  check_cuda_contiguous(z, at::kBFloat16, fn, "z");
  check_shape(z, {rows, C}, fn, "z");
  check_alignment(z, 8, fn, "z");
  check_weight(w_ap, z, H, C, fn, "w_ap");
  check_weight(w_ag, z, H, C, fn, "w_ag");
  check_weight(w_bp, z, H, C, fn, "w_bp");
  check_weight(w_bg, z, H, C, fn, "w_bg");
  check_weight(w_g, z, H, C, fn, "w_g");
  check_cuda_contiguous(mask, at::kFloat, fn, "mask");
  check_same_device(mask, z, fn, "mask");
  check_shape(mask, {rows}, fn, "mask");
  TORCH_CHECK(!mask.requires_grad(), fn, ": mask must not require gradients");
  for (const auto& [t, what] : {std::pair<const at::Tensor&, const char*>{gamma, "gamma"}, {beta, "beta"}}) {
    check_cuda_contiguous(t, at::kFloat, fn, what);
    check_same_device(t, z, fn, what);
    check_shape(t, {C}, fn, what);
    check_alignment(t, 16, fn, what);
  }

  const c10::cuda::CUDAGuard guard(z.device());
  const cudaStream_t stream = c10::cuda::getCurrentCUDAStream(z.device().index()).stream();
  const auto bf16 = z.options().dtype(at::kBFloat16);
  const auto fp32 = z.options().dtype(at::kFloat);
  at::Tensor a = torch::empty({B * H, NN}, bf16);
  at::Tensor b = torch::empty_like(a);
  at::Tensor g = torch::empty({rows, H}, bf16);
  at::Tensor mean = torch::empty({rows}, fp32);
  at::Tensor rstd = torch::empty({rows}, fp32);
  at::Tensor zln = torch::empty({save_zln ? rows : 0, C}, bf16);

  const int32_t device = z.device().index();
  opt_in_shared_memory(kestrovane::trimul::in_fwd_kernel(), plan::kInFwdSmemMax, device, fn);
  const int64_t sms = multiprocessor_count(device, fn);
  const plan::Grid2 grid = plan::checked_row_block_grid(rows, H, sms, "trimul_in");
  const kestrovane::trimul::InFwdLaunch launch{
      z.const_data_ptr(), w_ap.const_data_ptr<float>(), w_ag.const_data_ptr<float>(),
      w_bp.const_data_ptr<float>(), w_bg.const_data_ptr<float>(), w_g.const_data_ptr<float>(),
      mask.const_data_ptr<float>(), gamma.const_data_ptr<float>(), beta.const_data_ptr<float>(), rows, NN, C, H,
      a.mutable_data_ptr(), b.mutable_data_ptr(), g.mutable_data_ptr(), mean.mutable_data_ptr<float>(),
      rstd.mutable_data_ptr<float>(), save_zln ? zln.mutable_data_ptr() : nullptr};
  kestrovane::trimul::launch_in_fwd(launch, static_cast<int>(grid.x), static_cast<int>(grid.y),
                                    plan::in_fwd_smem_bytes(C), stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return {a, b, g, mean, rstd, zln};
}

// LayerNorm of the channel-major x over H channels, the output projection and the gate.
// The FP32 weights, gamma and beta are read element by element; x and gate in wider words.
std::vector<at::Tensor> trimul_out_fwd(const at::Tensor& x, const at::Tensor& wz, const at::Tensor& gate,
                                       const at::Tensor& gamma, const at::Tensor& beta, int64_t B, int64_t NN,
                                       int32_t C, int32_t H, bool save_xln) {
  const char* fn = "trimul_out_fwd";
  check_channels(C, H, fn);
  const int64_t rows = check_pair_extent(B, NN, H, fn);
  check_cuda_contiguous(x, at::kBFloat16, fn, "x");
  check_shape(x, {checked_mul(B, H, fn, "B*H"), NN}, fn, "x");
  check_alignment(x, 16, fn, "x");
  check_weight(wz, x, C, H, fn, "wz");
  check_cuda_contiguous(gate, at::kBFloat16, fn, "gate");
  check_same_device(gate, x, fn, "gate");
  check_shape(gate, {rows, C}, fn, "gate");
  check_alignment(gate, 4, fn, "gate");
  for (const auto& [t, what] : {std::pair<const at::Tensor&, const char*>{gamma, "gamma"}, {beta, "beta"}}) {
    check_cuda_contiguous(t, at::kFloat, fn, what);
    check_same_device(t, x, fn, what);
    check_shape(t, {H}, fn, what);
  }

  const c10::cuda::CUDAGuard guard(x.device());
  const cudaStream_t stream = c10::cuda::getCurrentCUDAStream(x.device().index()).stream();
  const auto bf16 = x.options().dtype(at::kBFloat16);
  const auto fp32 = x.options().dtype(at::kFloat);
  at::Tensor out = torch::empty({rows, C}, bf16);
  at::Tensor xln = torch::empty({save_xln ? H : 0, rows}, bf16);
  at::Tensor mean = torch::empty({save_xln ? rows : 0}, fp32);
  at::Tensor rstd = torch::empty({save_xln ? rows : 0}, fp32);

  const int32_t device = x.device().index();
  opt_in_shared_memory(kestrovane::trimul::out_fwd_kernel(), plan::kOutFwdSmemMax, device, fn);
  const int64_t sms = multiprocessor_count(device, fn);
  const kestrovane::trimul::OutFwdLaunch launch{
      x.const_data_ptr(), wz.const_data_ptr<float>(), gate.const_data_ptr(), gamma.const_data_ptr<float>(),
      beta.const_data_ptr<float>(), rows, NN, C, H, out.mutable_data_ptr(),
      save_xln ? xln.mutable_data_ptr() : nullptr, save_xln ? mean.mutable_data_ptr<float>() : nullptr,
      save_xln ? rstd.mutable_data_ptr<float>() : nullptr};
  kestrovane::trimul::launch_out_fwd(launch, static_cast<int>(plan::out_fwd_grid_x(rows, sms)),
                                     plan::out_fwd_smem_bytes(C, H), stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return {out, xln, mean, rstd};
}

KESTROVANE_MODULE(_kestrovane_trimul_sm90a, m) {
  m.def("trimul_in_fwd", &trimul_in_fwd);
  m.def("trimul_out_fwd", &trimul_out_fwd);
}
