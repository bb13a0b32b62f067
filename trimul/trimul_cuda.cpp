// _kestrovane_trimul_sm90a: the validating entries of the triangle multiplicative update.
// Every entry checks its arguments top to bottom in a fixed order and throws on the first
// violation, with messages built from the function's name, the argument's name and a
// fixed tail; then it guards the primary input's device, allocates its outputs there and
// queues its kernel on the current stream of that device. Nothing here synchronises with
// the GPU.
#include <ATen/MemoryOverlap.h>
#include <cuda_runtime_api.h>
#include <torch/types.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

#include "common/checks.h"
#include "common/device.h"
#include "common/module.h"
#include "trimul/trimul_bwd_checks.h"
#include "trimul/trimul_bwd_launch.h"
#include "trimul/trimul_bwd_plan.h"
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
  kestrovane::cuda_status_check(static_cast<int32_t>(status), "trimul_cuda", fn, line);
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

void check_no_overlap(const at::Tensor& output, std::initializer_list<at::Tensor> inputs) {
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


// at::assert_no_overlap passes when it cannot decide (a strided dgate_dst is not dense), so an
// input that lives in the output's storage and whose bytes meet the output's byte span is
// refused as well, with the same message.
void check_no_overlap_within_span(const at::Tensor& output, std::initializer_list<at::Tensor> inputs) {
  check_no_overlap(output, inputs);
  const auto span = [](const at::Tensor& t) {
    const auto* begin = static_cast<const char*>(t.const_data_ptr());
    int64_t last = 0;
    for (int64_t d = 0; d < t.dim(); ++d) last += (t.size(d) - 1) * t.stride(d);
    return std::pair{begin, begin + (last + 1) * static_cast<int64_t>(t.element_size())};
  };
  const auto [out_begin, out_end] = span(output);
  for (const at::Tensor& input : inputs) {
    if (!input.storage().is_alias_of(output.storage())) continue;
    const auto [in_begin, in_end] = span(input);
    TORCH_CHECK(in_end <= out_begin || out_end <= in_begin,
                "unsupported operation: some elements of the input tensor and the written-to tensor refer to a "
                "single memory location. Please clone() the tensor before performing the operation.");
  }
}

// The row-wise LayerNorm backward runs on row-major [rows, C] rows only.
void check_production_layout(int64_t row_stride, int64_t col_stride, int32_t C, const char* fn) {
  TORCH_CHECK(row_stride == C && col_stride == 1, fn, ": production layout requires row_stride=C and col_stride=1");
}

// input is [rows, C] with the supplied strides: a contiguous tensor of one row may carry any
// leading stride, which the kernels would use as the row pitch.
void check_row_input(const at::Tensor& input, int64_t rows, int32_t C, int64_t row_stride, const char* fn) {
  check_shape(input, {rows, C}, fn, "input");
  TORCH_CHECK(input.stride(0) == row_stride && input.stride(1) == 1, fn,
              ": input strides do not match the supplied strides");
}

// The saved per-row LayerNorm statistics: FP32 [n] each on the primary input's device.
void check_stat_tensors(const at::Tensor& mean, const at::Tensor& rstd, const at::Tensor& primary, int64_t n,
                        const char* fn) {
  for (const auto& [t, what] : {std::pair<const at::Tensor&, const char*>{mean, "mean"}, {rstd, "rstd"}}) {
    check_cuda_contiguous(t, at::kFloat, fn, what);
    check_same_device(t, primary, fn, what);
    check_shape(t, {n}, fn, what);
  }
}

void check_ln_row_tensors(const at::Tensor& input, const at::Tensor& grad_out, const at::Tensor& mean,
                          const at::Tensor& rstd, int64_t rows, int32_t C, const char* fn) {
  check_cuda_contiguous(grad_out, at::kBFloat16, fn, "grad_out");
  check_same_device(grad_out, input, fn, "grad_out");
  check_shape(grad_out, {rows, C}, fn, "grad_out");
  check_stat_tensors(mean, rstd, input, rows, fn);
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

  const kestrovane::DeviceGuard guard(z.device());
  const cudaStream_t stream = kestrovane::current_stream(z.device().index());
  const auto bf16 = z.options().dtype(at::kBFloat16);
  const auto fp32 = z.options().dtype(at::kFloat);
  at::Tensor a = kestrovane::empty({B * H, NN}, bf16);
  at::Tensor b = kestrovane::empty_like(a);
  at::Tensor g = kestrovane::empty({rows, H}, bf16);
  at::Tensor mean = kestrovane::empty({rows}, fp32);
  at::Tensor rstd = kestrovane::empty({rows}, fp32);
  at::Tensor zln = kestrovane::empty({save_zln ? rows : 0, C}, bf16);

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

  const kestrovane::DeviceGuard guard(x.device());
  const cudaStream_t stream = kestrovane::current_stream(x.device().index());
  const auto bf16 = x.options().dtype(at::kBFloat16);
  const auto fp32 = x.options().dtype(at::kFloat);
  at::Tensor out = kestrovane::empty({rows, C}, bf16);
  at::Tensor xln = kestrovane::empty({save_xln ? H : 0, rows}, bf16);
  at::Tensor mean = kestrovane::empty({save_xln ? rows : 0}, fp32);
  at::Tensor rstd = kestrovane::empty({save_xln ? rows : 0}, fp32);

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

// The gradients of the four gated projections, recomputed from the saved normalised rows and
// written as slices 0 to 3 of the caller's d_proj5 (slice 4 is left as it is). The FP32
// weights and the mask are read element by element; zln, d_a, d_b and d_proj5 in 16-byte words.
at::Tensor trimul_gate_split_bwd(at::Tensor zln, at::Tensor w_ap, at::Tensor w_ag, at::Tensor w_bp, at::Tensor w_bg,
                                 at::Tensor mask, at::Tensor d_a, at::Tensor d_b, at::Tensor d_proj5, int64_t B,
                                 int64_t NN, int32_t C, int32_t H) {
  const char* fn = "trimul_gate_split_bwd";
  check_channels(C, H, fn);
  const int64_t rows = check_pair_extent(B, NN, H, fn);
  check_cuda_contiguous(zln, at::kBFloat16, fn, "zln");
  check_shape(zln, {rows, C}, fn, "zln");
  check_alignment(zln, 16, fn, "zln");
  check_weight(w_ap, zln, H, C, fn, "w_ap");
  check_weight(w_ag, zln, H, C, fn, "w_ag");
  check_weight(w_bp, zln, H, C, fn, "w_bp");
  check_weight(w_bg, zln, H, C, fn, "w_bg");
  check_cuda_contiguous(mask, at::kFloat, fn, "mask");
  check_same_device(mask, zln, fn, "mask");
  check_shape(mask, {rows}, fn, "mask");
  TORCH_CHECK(!mask.requires_grad(), fn, ": mask must not require gradients");
  for (const auto& [t, what] : {std::pair<const at::Tensor&, const char*>{d_a, "d_a"}, {d_b, "d_b"}}) {
    check_cuda_contiguous(t, at::kBFloat16, fn, what);
    check_same_device(t, zln, fn, what);
    check_shape(t, {checked_mul(B, H, fn, "B*H"), NN}, fn, what);
    check_alignment(t, 16, fn, what);
  }
  check_cuda_contiguous(d_proj5, at::kBFloat16, fn, "d_proj5");
  check_same_device(d_proj5, zln, fn, "d_proj5");
  check_shape(d_proj5, {rows, 5 * static_cast<int64_t>(H)}, fn, "d_proj5");
  check_alignment(d_proj5, 16, fn, "d_proj5");
  check_no_overlap(d_proj5, {zln, w_ap, w_ag, w_bp, w_bg, mask, d_a, d_b});

  const kestrovane::DeviceGuard guard(zln.device());
  const cudaStream_t stream = kestrovane::current_stream(zln.device().index());
  const int32_t device = zln.device().index();
  opt_in_shared_memory(kestrovane::trimul::gate_split_bwd_kernel(), plan::kGateSplitMaxSmemBytes, device, fn);
  const int64_t sms = multiprocessor_count(device, fn);
  const plan::Grid2 grid = plan::checked_row_block_grid(rows, H, sms, fn);
  const kestrovane::trimul::GateSplitBwdLaunch launch{
      zln.const_data_ptr(), w_ap.const_data_ptr<float>(), w_ag.const_data_ptr<float>(),
      w_bp.const_data_ptr<float>(), w_bg.const_data_ptr<float>(), mask.const_data_ptr<float>(),
      d_a.const_data_ptr(), d_b.const_data_ptr(), rows, NN, C, H, d_proj5.mutable_data_ptr()};
  kestrovane::trimul::launch_gate_split_bwd(launch, static_cast<int>(grid.x), static_cast<int>(grid.y),
                                            plan::gate_split_smem_bytes(C), stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return d_proj5;
}

// d_x = grad * sigmoid(gate) as a new tensor, and d_gate = grad * out * (1 - sigmoid(gate))
// into the strided dgate_dst (for example slice 4 of d_proj5). Every tensor is read and
// written element by element.
at::Tensor sig_mul_bwd_out(const at::Tensor& out, const at::Tensor& gate, const at::Tensor& grad_out,
                           at::Tensor dgate_dst, int32_t H, int64_t dgate_stride) {
  const char* fn = "sig_mul_bwd_out";
  check_channel(H, fn, "H");
  check_cuda_contiguous(out, at::kBFloat16, fn, "out");
  TORCH_CHECK(out.dim() == 2 && out.size(0) > 0 && out.size(1) == H, fn,
              ": out must have shape [rows, H] with rows > 0; got ", out.sizes());
  const int64_t rows = out.size(0);
  for (const auto& [t, what] : {std::pair<const at::Tensor&, const char*>{gate, "gate"}, {grad_out, "grad_out"}}) {
    check_cuda_contiguous(t, at::kBFloat16, fn, what);
    check_same_device(t, out, fn, what);
    check_shape(t, {rows, H}, fn, what);
  }
  check_cuda_tensor(dgate_dst, at::kBFloat16, fn, "dgate_dst");
  check_same_device(dgate_dst, out, fn, "dgate_dst");
  check_shape(dgate_dst, {rows, H}, fn, "dgate_dst");
  checked_positive(dgate_stride, fn, "dgate_stride");
  TORCH_CHECK(dgate_stride >= H, fn, ": dgate_stride must be at least H");
  TORCH_CHECK(dgate_dst.stride(0) == dgate_stride && dgate_dst.stride(1) == 1, fn,
              ": dgate_dst strides must equal [dgate_stride, 1], got ", dgate_dst.strides());
  check_no_overlap_within_span(dgate_dst, {out, gate, grad_out});
  const int64_t total = checked_mul(rows, H, fn, "rows*H");
  TORCH_CHECK(total <= plan::kMaxSigmoidElements, fn, ": launch grid-x exceeds the production limit");

  const kestrovane::DeviceGuard guard(out.device());
  const cudaStream_t stream = kestrovane::current_stream(out.device().index());
  at::Tensor d_x = kestrovane::empty_like(out);
  kestrovane::trimul::launch_sig_mul_bwd({out.const_data_ptr(), gate.const_data_ptr(), grad_out.const_data_ptr(),
                                          total, H, dgate_stride, d_x.mutable_data_ptr(),
                                          dgate_dst.mutable_data_ptr()},
                                         stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return d_x;
}

// LayerNorm backward dX of row-major rows over C = gamma.size(0) channels, one warp per row,
// from the forward's saved mean and rstd.
at::Tensor ln_bwd_dx(const at::Tensor& input, const at::Tensor& grad_out, int64_t rows, int64_t row_stride,
                     int64_t col_stride, const at::Tensor& gamma, const at::Tensor& mean, const at::Tensor& rstd) {
  const char* fn = "ln_bwd_dx";
  checked_positive(rows, fn, "rows");
  check_cuda_contiguous(input, at::kBFloat16, fn, "input");
  check_cuda_contiguous(gamma, at::kFloat, fn, "gamma");
  check_same_device(gamma, input, fn, "gamma");
  TORCH_CHECK(gamma.dim() == 1, fn, ": gamma must be rank one");
  TORCH_CHECK(gamma.size(0) <= plan::kMaxInt32, fn, ": gamma length exceeds int32");
  const int32_t C = static_cast<int32_t>(gamma.size(0));
  check_channel(C, fn, "C");
  check_production_layout(row_stride, col_stride, C, fn);
  check_row_input(input, rows, C, row_stride, fn);
  check_ln_row_tensors(input, grad_out, mean, rstd, rows, C, fn);
  TORCH_CHECK(rows <= plan::kMaxLayerNormRows, fn, ": launch grid-x exceeds the production limit");

  const kestrovane::DeviceGuard guard(input.device());
  const cudaStream_t stream = kestrovane::current_stream(input.device().index());
  at::Tensor dx = kestrovane::empty_like(input);
  kestrovane::trimul::launch_ln_bwd_dx({input.const_data_ptr(), grad_out.const_data_ptr(), rows, C, row_stride,
                                        gamma.const_data_ptr<float>(), mean.const_data_ptr<float>(),
                                        rstd.const_data_ptr<float>(), dx.mutable_data_ptr()},
                                       stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return dx;
}

// LayerNorm dGamma and dBeta over all rows: partial sums per chunk of rows in row order, then
// the chunks folded in ascending order. The chunk size follows the multiprocessor count.
std::vector<at::Tensor> ln_bwd_dgb(const at::Tensor& input, const at::Tensor& grad_out, int64_t rows,
                                   int64_t row_stride, int64_t col_stride, int32_t C, const at::Tensor& mean,
                                   const at::Tensor& rstd) {
  const char* fn = "ln_bwd_dgb";
  checked_positive(rows, fn, "rows");
  check_channel(C, fn, "C");
  check_production_layout(row_stride, col_stride, C, fn);
  check_cuda_contiguous(input, at::kBFloat16, fn, "input");
  check_row_input(input, rows, C, row_stride, fn);
  check_ln_row_tensors(input, grad_out, mean, rstd, rows, C, fn);

  const kestrovane::DeviceGuard guard(input.device());
  const cudaStream_t stream = kestrovane::current_stream(input.device().index());
  const auto fp32 = input.options().dtype(at::kFloat);
  at::Tensor dgamma = kestrovane::empty({C}, fp32);
  at::Tensor dbeta = kestrovane::empty_like(dgamma);
  const int64_t sms = multiprocessor_count(input.device().index(), fn);
  const plan::DgbPlan dgb = plan::checked_dgb_plan(rows, sms, fn);
  const int64_t rows_per_chunk = dgb.rows_per_chunk;
  const int64_t chunks = dgb.chunks;
  at::Tensor partials = kestrovane::empty({2 * chunks, C}, fp32);
  kestrovane::trimul::launch_ln_bwd_dgb_partial({input.const_data_ptr(), grad_out.const_data_ptr(), rows, C,
                                                 row_stride, rows_per_chunk, chunks, mean.const_data_ptr<float>(),
                                                 rstd.const_data_ptr<float>(), partials.mutable_data_ptr<float>()},
                                                stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  kestrovane::trimul::launch_ln_bwd_dgb_fold({partials.const_data_ptr<float>(), static_cast<int>(chunks), C,
                                              dgamma.mutable_data_ptr<float>(), dbeta.mutable_data_ptr<float>()},
                                             stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return {dgamma, dbeta};
}

// Backward of the output stage's LayerNorm over H channels of the channel-major x: dx in x's
// order, and dGamma/dBeta folded from per-tile partials through 64 groups in a fixed order.
std::vector<at::Tensor> transpose_ln_bwd(const at::Tensor& x, const at::Tensor& d_xln, int32_t N, int32_t H,
                                         int32_t B, const at::Tensor& gamma, const at::Tensor& mean,
                                         const at::Tensor& rstd) {
  const char* fn = "transpose_ln_bwd";
  check_channel(H, fn, "H");
  checked_positive(N, fn, "N");
  checked_positive(B, fn, "B");
  TORCH_CHECK(B <= plan::kMaxGridYZ, fn, ": B exceeds the production grid-z limit");
  const int64_t NN = checked_mul(N, N, fn, "N*N");
  const int64_t BNN = checked_mul(B, NN, fn, "B*N*N");
  const int64_t tiles = ceil_div_positive(NN, plan::kPairTile);
  TORCH_CHECK(tiles <= plan::kMaxInt32, fn, ": transpose grid-x exceeds the production limit");
  const int64_t chunks = checked_mul(tiles, B, fn, "ceil(N*N/32)*B");
  TORCH_CHECK(chunks <= plan::kMaxInt32, fn, ": transpose reduction chunks exceed signed int32");
  check_cuda_contiguous(x, at::kBFloat16, fn, "x");
  check_shape(x, {checked_mul(B, H, fn, "B*H"), NN}, fn, "x");
  check_cuda_contiguous(d_xln, at::kBFloat16, fn, "d_xln");
  check_same_device(d_xln, x, fn, "d_xln");
  check_shape(d_xln, {BNN, H}, fn, "d_xln");
  check_cuda_contiguous(gamma, at::kFloat, fn, "gamma");
  check_same_device(gamma, x, fn, "gamma");
  check_shape(gamma, {H}, fn, "gamma");
  check_stat_tensors(mean, rstd, x, BNN, fn);

  const kestrovane::DeviceGuard guard(x.device());
  const cudaStream_t stream = kestrovane::current_stream(x.device().index());
  const auto fp32 = x.options().dtype(at::kFloat);
  at::Tensor dx = kestrovane::empty({static_cast<int64_t>(B) * H, N, N}, x.options().dtype(at::kBFloat16));
  at::Tensor partials = kestrovane::empty({2 * chunks, H}, fp32);
  const kestrovane::trimul::TransposePlan tplan = plan::transpose_plan(N, B);
  at::Tensor dgamma = kestrovane::empty({H}, fp32);
  at::Tensor dbeta = kestrovane::empty_like(dgamma);
  at::Tensor group_partials = kestrovane::empty({2 * plan::kFoldGroups, H}, fp32);
  const kestrovane::trimul::TransposeLnBwdLaunch launch{
      x.const_data_ptr(), d_xln.const_data_ptr(), tplan, B, H, gamma.const_data_ptr<float>(),
      mean.const_data_ptr<float>(), rstd.const_data_ptr<float>(), dx.mutable_data_ptr(),
      partials.mutable_data_ptr<float>(), group_partials.mutable_data_ptr<float>()};
  kestrovane::trimul::launch_transpose_ln_bwd(launch, stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  kestrovane::trimul::launch_ln_bwd_dgb_group_fold(launch, stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  kestrovane::trimul::launch_ln_bwd_dgb_fold({group_partials.const_data_ptr<float>(), plan::kFoldGroups, H,
                                              dgamma.mutable_data_ptr<float>(), dbeta.mutable_data_ptr<float>()},
                                             stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return {dx, dgamma, dbeta};
}

// accumulator (+)= the sum of the chunk slabs of partials in ascending chunk order, so weight
// gradients do not depend on how their partial products were scheduled.
at::Tensor trimul_wgrad_fixed_fold(const at::Tensor& partials, at::Tensor accumulator, bool overwrite) {
  const char* fn = "trimul_wgrad_fixed_fold";
  check_cuda_contiguous(partials, at::kFloat, fn, "partials");
  TORCH_CHECK(partials.dim() == 3, fn, ": partials must have shape [chunks, M, C]; got ", partials.sizes());
  const int64_t chunks = checked_positive(partials.size(0), fn, "chunks");
  const int64_t M = checked_positive(partials.size(1), fn, "M");
  const int64_t C = checked_positive(partials.size(2), fn, "C");
  TORCH_CHECK(chunks <= plan::kMaxInt32, fn, ": chunks exceed int32");
  check_cuda_contiguous(accumulator, at::kFloat, fn, "accumulator");
  check_same_device(accumulator, partials, fn, "accumulator");
  check_shape(accumulator, {M, C}, fn, "accumulator");
  check_no_overlap(accumulator, {partials});
  const int64_t MC = checked_mul(M, C, fn, "M*C");
  checked_mul(chunks, MC, fn, "chunks*M*C");
  TORCH_CHECK(MC <= plan::kMaxSigmoidElements, fn, ": launch grid-x exceeds the production limit");

  const kestrovane::DeviceGuard guard(partials.device());
  const cudaStream_t stream = kestrovane::current_stream(partials.device().index());
  kestrovane::trimul::launch_wgrad_fixed_fold({partials.const_data_ptr<float>(), static_cast<int>(chunks), MC,
                                               accumulator.mutable_data_ptr<float>(), overwrite},
                                              stream);
  cuda_check(cudaGetLastError(), fn, __LINE__);
  return accumulator;
}

KESTROVANE_MODULE(_kestrovane_trimul_sm90a, m) {
  m.def("trimul_in_fwd", &trimul_in_fwd);
  m.def("trimul_out_fwd", &trimul_out_fwd);
  m.def("trimul_gate_split_bwd", &trimul_gate_split_bwd);
  m.def("sig_mul_bwd_out", &sig_mul_bwd_out);
  m.def("ln_bwd_dx", &ln_bwd_dx);
  m.def("ln_bwd_dgb", &ln_bwd_dgb);
  m.def("transpose_ln_bwd", &transpose_ln_bwd);
  m.def("trimul_wgrad_fixed_fold", &trimul_wgrad_fixed_fold);
}
