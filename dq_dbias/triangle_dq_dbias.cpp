// _kestrovane_dq_dbias_sm90a: the validating entries of the dQ/dBias module.
// Each entry runs its checks top to bottom in a fixed order and throws on the first
// violation, then guards the device of its first tensor and queues its kernels on the
// current stream of that device. Nothing here synchronises with the GPU or allocates.
//
// The dQ/dBias and broadcast kernels read and write caller tensors one element per access, so
// those entries require no more than element alignment of a pointer; the single-reconstruction
// kernels move 16-byte chunks and word pairs, and its entry checks each such tensor's alignment.
#include <ATen/core/Tensor.h>
#include <cuda_runtime_api.h>
#include <pybind11/stl.h>
#include <torch/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/backward_tensors.h"
#include "common/checks.h"
#include "common/device.h"
#include "common/module.h"
#include "dq_dbias/dq_launch.h"
#include "dq_dbias/dq_plan.h"
#include "dq_dbias/dq_tensors.h"
#include "dq_dbias/sr_launch.h"
#include "dq_dbias/sr_plan.h"
#include "dq_dbias/wg_lane.h"

namespace {

using kestrovane::is_exact;
using kestrovane::on_device;
namespace dq = kestrovane::dq;

constexpr const char* kMatching = "k/v/d_output/out_dq must be contiguous BF16 tensors matching q on one device";

// a * b for positive int64 a and b; `what` labels the failure. (ceil-div, the other sizing
// utility, is only used by the wave walk, which reports its failures itself.)
int64_t checked_positive_product(int64_t a, int64_t b, const char* what) {
  const dq::Sized r = dq::checked_positive_product(a, b);
  TORCH_CHECK(r.ok(), dq::size_error_message(r.error, what));
  return r.value;
}

// The exact-tiles lane (SeqTail -1) and the general lane (SeqTail 0): re-validates the
// plan, opts every leaf instantiation of the lane into its shared memory, then walks the
// waves, each leaf launch followed by the finalizer that folds its partials.
template <int HeadDimTier, int SeqTail>
void launch(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& d_output,
            const at::Tensor& logsumexp, const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
            at::Tensor& out_dq, at::Tensor& out_dbias, at::Tensor& workspace, int N, int O, int H, int B,
            int slab_rows, int groups_per_wave, int batches_per_wave, int head_dim, cudaStream_t stream) {
  const float scale = dq::softmax_scale(head_dim);
  TORCH_CHECK(dq::launcher_plan_valid(O, B, slab_rows, groups_per_wave, batches_per_wave),
              "invalid query-slab workspace plan");
  const int64_t required =
      checked_positive_product(checked_positive_product(checked_positive_product(checked_positive_product(
                                                                                     groups_per_wave, batches_per_wave,
                                                                                     "workspace"),
                                                                                 H, "workspace"),
                                                        slab_rows, "workspace"),
                               N, "workspace");
  TORCH_CHECK(workspace.numel() >= required, "workspace is smaller than the query-slab plan");
  const bool opted_in = dq::opt_in_leaf_lane<HeadDimTier, SeqTail>();
  TORCH_CHECK(opted_in, "failed to opt in Kestrovane dQ/dBias shared memory");

  const dq::DqLaunch call =
      dq::launch_arguments(q, k, v, d_output, logsumexp, delta, mask, bias, out_dq, out_dbias, workspace, N, O, H, B,
                           slab_rows, groups_per_wave, batches_per_wave, head_dim, scale);
  const dq::WavePlan plan{N, O, H, B, slab_rows, groups_per_wave, batches_per_wave, SeqTail == -1};
  // Each finalizer follows its leaf launch on the stream, and the next leaf launch, which
  // overwrites the workspace, follows that finalizer.
  const dq::WaveStatus status = dq::walk_waves(plan, [&](const dq::LeafWave& wave) {
    dq::launch_leaf<HeadDimTier, SeqTail>(call, wave, stream);
    if (cudaGetLastError() != cudaSuccess) {
      return dq::WaveError::leaf_launch;
    }
    dq::launch_finalize(call.workspace, call.out_dbias, wave, N, H, batches_per_wave, slab_rows, stream);
    if (cudaGetLastError() != cudaSuccess) {
      return dq::WaveError::finalizer_launch;
    }
    return dq::WaveError::none;
  });
  TORCH_CHECK(status.error == dq::WaveError::none, dq::wave_error_message(status));
}

using Launcher = void (*)(const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&,
                          const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&, at::Tensor&,
                          at::Tensor&, at::Tensor&, int, int, int, int, int, int, int, int, cudaStream_t);

// The one place that maps a lane of the lane table to the launcher that runs it.
Launcher launcher_for(const dq::LaneChoice& choice) {
  const dq::Lane lane = dq::served_lane(choice.lane);
  const bool general = lane == dq::Lane::general;
  const bool warpgroup = lane == dq::Lane::warpgroup;
  switch (choice.tier) {
    case 16:
      return warpgroup ? &dq::launch_wg<16> : general ? &launch<16, 0> : &launch<16, -1>;
    case 32:
      return warpgroup ? &dq::launch_wg<32> : general ? &launch<32, 0> : &launch<32, -1>;
    case 64:
      return warpgroup ? &dq::launch_wg<64> : general ? &launch<64, 0> : &launch<64, -1>;
    default:
      return general ? &launch<128, 0> : &launch<128, -1>;
  }
}

void kestrovane_triangle_dq_dbias_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      const at::Tensor& d_output, const at::Tensor& logsumexp,
                                      const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
                                      at::Tensor& out_dq, at::Tensor& out_dbias, at::Tensor& workspace,
                                      int64_t slab_rows, int64_t groups_per_wave, int64_t batches_per_wave) {
  TORCH_CHECK(q.is_cuda() && q.dtype() == torch::kBFloat16);
  TORCH_CHECK(q.dim() == 5 && q.size(2) >= 1);
  const int64_t batch = q.size(0);
  const int64_t outer_count = q.size(1);
  const int64_t heads = q.size(2);
  const int64_t sequence = q.size(3);
  TORCH_CHECK(dq::within_grid_contract(batch, outer_count, heads, sequence, q.size(4)),
              "batch/outer/sequence/head count exceeds the CUDA grid contract");
  // Within int under the grid contract just checked.
  const int head_dim = static_cast<int>(q.size(4));
  TORCH_CHECK(dq::plan_within_limits(outer_count, batch, slab_rows, groups_per_wave, batches_per_wave),
              "invalid query-slab plan dimensions");
  TORCH_CHECK(q.is_contiguous());

  const c10::Device device = q.device();
  TORCH_CHECK(is_exact(k, device, at::kBFloat16, q.sizes()), kMatching);
  TORCH_CHECK(is_exact(v, device, at::kBFloat16, q.sizes()), kMatching);
  TORCH_CHECK(is_exact(d_output, device, at::kBFloat16, {batch, outer_count, sequence, heads, q.size(4)}),
              "d_output must be contiguous BF16 [B,O,N,H,D] on q.device");
  TORCH_CHECK(is_exact(out_dq, device, at::kBFloat16, q.sizes()), kMatching);
  TORCH_CHECK(logsumexp.is_cuda() && logsumexp.device() == q.device() && logsumexp.dtype() == torch::kFloat32 &&
              logsumexp.is_contiguous() && logsumexp.numel() == q.numel() / head_dim);
  TORCH_CHECK(delta.is_cuda() && delta.device() == q.device() && delta.dtype() == torch::kFloat32 &&
              delta.is_contiguous() && delta.sizes() == logsumexp.sizes());
  TORCH_CHECK(mask.is_cuda() && mask.device() == q.device() && mask.dtype() == torch::kFloat32 &&
              mask.is_contiguous() && mask.sizes() == torch::IntArrayRef({batch, outer_count, 1, 1, sequence}));
  TORCH_CHECK(bias.is_cuda() && bias.device() == q.device() && bias.dtype() == torch::kBFloat16 &&
              bias.is_contiguous() && bias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence}));
  TORCH_CHECK(out_dbias.is_cuda() && out_dbias.device() == q.device() && out_dbias.dtype() == torch::kFloat32 &&
              out_dbias.is_contiguous() &&
              out_dbias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence}));
  const int64_t required = checked_positive_product(
      checked_positive_product(
          checked_positive_product(checked_positive_product(groups_per_wave, batches_per_wave, "workspace plan"),
                                   heads, "workspace plan"),
          slab_rows, "workspace plan"),
      sequence, "workspace plan");
  TORCH_CHECK(on_device(workspace, device) && workspace.scalar_type() == at::kBFloat16 && workspace.is_contiguous() &&
                  workspace.numel() >= required,
              "workspace is smaller than the validated query-slab plan");

  const kestrovane::DeviceGuard guard(device);
  const cudaStream_t stream = kestrovane::current_stream(-1);
  TORCH_CHECK(dq::head_dim_supported(head_dim), "head_dim must be a multiple of 8 and <= 128, got ", head_dim);

  // Every size below is within int: the grid contract bounds B, O, H, N and D, the plan
  // check bounds slab_rows, groups_per_wave (<= ceil(O/4)) and batches_per_wave (<= B).
  const dq::LaneChoice lane = dq::choose_lane(head_dim, sequence, slab_rows);
  launcher_for(lane)(q, k, v, d_output, logsumexp, delta, mask, bias, out_dq, out_dbias, workspace,
                     static_cast<int>(sequence), static_cast<int>(outer_count), static_cast<int>(heads),
                     static_cast<int>(batch), static_cast<int>(slab_rows), static_cast<int>(groups_per_wave),
                     static_cast<int>(batches_per_wave), head_dim, stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane dQ/dBias launch failed");
}

void kestrovane_reduce_broadcast_dbias_out(const at::Tensor& per_batch_dbias, at::Tensor& out,
                                           const std::vector<int64_t>& target_prefix,
                                           const std::vector<int64_t>& bias_prefix) {
  const dq::PrefixPlanResult prefix = dq::broadcast_plan(target_prefix, bias_prefix);
  TORCH_CHECK(prefix.error == dq::PrefixError::none, dq::prefix_error_message(prefix.error));
  TORCH_CHECK(per_batch_dbias.is_cuda() && per_batch_dbias.scalar_type() == at::kFloat &&
                  per_batch_dbias.is_contiguous() && per_batch_dbias.dim() == 5 &&
                  per_batch_dbias.size(0) == prefix.target_count && per_batch_dbias.size(1) == 1,
              "per_batch_dbias must be contiguous FP32 [B,1,H,N,N]");
  const int64_t H = per_batch_dbias.size(2);
  const int64_t N = per_batch_dbias.size(3);
  TORCH_CHECK(H > 0 && N > 0 && per_batch_dbias.size(4) == N,
              "per_batch_dbias must have positive square pair dimensions");
  const int64_t bias_rank = static_cast<int64_t>(bias_prefix.size());
  TORCH_CHECK(on_device(out, per_batch_dbias.device()) && out.scalar_type() == at::kBFloat16 && out.is_contiguous() &&
                  out.dim() == bias_rank + 4,
              "out must be contiguous BF16 with the source bias rank");
  for (int64_t j = 0; j < bias_rank; ++j) {
    TORCH_CHECK(out.size(j) == bias_prefix[j], "out bias prefix mismatch");
  }
  TORCH_CHECK(out.size(bias_rank) == 1 && out.size(bias_rank + 1) == H && out.size(bias_rank + 2) == N &&
                  out.size(bias_rank + 3) == N,
              "out bias tail must be [1,H,N,N]");
  const int64_t plane =
      checked_positive_product(checked_positive_product(H, N, "broadcast dBias plane"), N, "broadcast dBias plane");
  const int64_t total = checked_positive_product(prefix.bias_count, plane, "broadcast dBias output");
  TORCH_CHECK(out.numel() == total, "out element count does not match the bias prefix");

  const kestrovane::DeviceGuard guard(per_batch_dbias.device());
  const cudaStream_t stream = kestrovane::current_stream(-1);
  dq::launch_broadcast_dbias({per_batch_dbias.const_data_ptr<float>(), out.mutable_data_ptr(), total, plane,
                              prefix.target_count, prefix.plan},
                             stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "fixed broadcast dBias reduction launch failed");
}

// ---------------------------------------------------------------- single-reconstruction backward

namespace sr = kestrovane::sr;

constexpr const char* kSrMatching = "k/v/out_dq/out_dk/out_dv must be contiguous BF16 matching q";
constexpr const char* kSrState = "dK/dV continuation state must be contiguous FP32 on q.device";
constexpr const char* kSrOptIn = "failed to opt in Kestrovane SR shared memory";

// ceil(a / b) for positive a and b.
int64_t positive_ceil_div(int64_t a, int64_t b) {
  const dq::Sized r = dq::positive_ceil_div(a, b);
  TORCH_CHECK(r.ok(), dq::size_error_message(r.error, ""));
  return r.value;
}

// PyTorch's own text for a failed condition that has no message of its own. These checks
// quote their condition as it is documented but also test the tensor's device, which the
// quoted condition leaves out.
std::string unmet(const char* condition) {
  return std::string("Expected ") + condition +
         " to be true, but got false.  (Could this error message be improved?  If so, please report an enhancement "
         "request to PyTorch.)";
}

// CUDA on `device`, of `dtype` and contiguous.
bool on_device_as(const at::Tensor& t, const c10::Device& device, at::ScalarType dtype) {
  return on_device(t, device) && t.scalar_type() == dtype && t.is_contiguous();
}

// Walks the waves of a validated plan: per wave one leaf launch and the finalizer that folds
// its dBias partials, then one dQ reduce over all key blocks. Every launch goes to `stream` in
// this order, which is what orders the workspace, the continuation state and dq_partials
// between the kernels.
template <int HeadDimTier>
void launch_sr(const sr::LeafCall& call, at::Tensor& out_dq, at::Tensor& out_dbias, const at::Tensor& workspace,
               const at::Tensor& dq_partials, int64_t B, int64_t O, int64_t H, int64_t N, int64_t slab_rows,
               int64_t groups_per_wave, int64_t batches_per_wave, cudaStream_t stream) {
  // Both calls of a pair are made before its result is looked at.
  const bool keys_on_x = sr::opt_in_leaf_pair<HeadDimTier, true>();
  TORCH_CHECK(keys_on_x, kSrOptIn);
  const bool pairs_on_x = sr::opt_in_leaf_pair<HeadDimTier, false>();
  TORCH_CHECK(pairs_on_x, kSrOptIn);
  const int64_t key_blocks = N / sr::kKeyBlock;
  dq::LeafWave fold{};  // the finalizer's view of the current wave
  sr::walk_waves(
      B, O, N, slab_rows, groups_per_wave, batches_per_wave,
      [&](int64_t b0, int64_t nb, const sr::Slab& slab) {
        TORCH_CHECK(slab.active_rows % sr::kQueryTile == 0, "SR lane requires query rows in 32-row tiles");
        const int64_t slab_elems = checked_positive_product(
            checked_positive_product(checked_positive_product(nb, H, "active dBias slab"), slab.active_rows,
                                     "active dBias slab"),
            N, "active dBias slab");
        const int64_t blocks = positive_ceil_div(slab_elems, dq::kFinalizeThreads);
        TORCH_CHECK(blocks <= sr::kInt32Max, "dBias slab finalizer exceeds the CUDA grid-x contract");
        fold.b0 = static_cast<int>(b0);
        fold.nb = static_cast<int>(nb);
        fold.q0 = static_cast<int>(slab.q0);
        fold.active_rows = static_cast<int>(slab.active_rows);
        fold.slab_elems = slab_elems;
        fold.finalize_blocks = blocks;
      },
      [&](const sr::Wave& wave) {
        TORCH_CHECK(sr::wave_fits_grid(wave.wave_pairs), "SR leaf wave exceeds the CUDA grid contract");
        sr::launch_leaf<HeadDimTier>(call, wave, sr::leaf_grid(wave.wave_pairs, key_blocks, call.H), O == N, stream);
        TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane SR leaf launch failed");
        fold.ng = static_cast<int>(wave.ng);
        fold.accumulate = wave.accumulate;
        dq::launch_finalize(call.workspace, out_dbias.mutable_data_ptr<float>(), fold, call.N, call.H,
                            call.batches_per_wave, call.slab_rows, stream);
        TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane SR finalizer launch failed");
      });

  const int64_t n = out_dq.numel();
  TORCH_CHECK(sr::reduce_vectors_whole(n), "SR dQ reduce requires an 8-element-aligned output");
  const int64_t blocks = sr::reduce_grid(positive_ceil_div(n / sr::kReduceVector, sr::kReduceThreads));
  sr::launch_dq_reduce({dq_partials.const_data_ptr(), out_dq.mutable_data_ptr(), n, n, static_cast<int>(key_blocks),
                        call.scale, static_cast<int>(blocks)},
                       stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane SR dQ reduce launch failed");
}

void kestrovane_triangle_sr_backward_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                         const at::Tensor& d_output, const at::Tensor& logsumexp,
                                         const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
                                         at::Tensor& out_dq, at::Tensor& out_dk, at::Tensor& out_dv,
                                         at::Tensor& out_dbias, at::Tensor& workspace, at::Tensor& dq_partials,
                                         at::Tensor& dk_state, at::Tensor& dv_state, int64_t slab_rows,
                                         int64_t groups_per_wave, int64_t batches_per_wave) {
  TORCH_CHECK(q.is_cuda() && q.dtype() == torch::kBFloat16);
  TORCH_CHECK(q.dim() == 5 && q.size(2) >= 1);
  const int64_t batch = q.size(0);
  const int64_t outer_count = q.size(1);
  const int64_t heads = q.size(2);
  const int64_t sequence = q.size(3);
  const int64_t head_dim = q.size(4);
  TORCH_CHECK(sr::sequence_in_key_blocks(sequence), "SR backward requires the 64-padded exact-tiles contract");
  TORCH_CHECK(sr::head_dim_served(head_dim), "SR backward serves D<=64 (D=128 keeps the two-pass path)");
  // The row count below divides by head_dim.
  TORCH_CHECK(head_dim >= 1, "SR backward requires a positive head_dim, got 0");
  TORCH_CHECK(q.is_contiguous());
  // q, d_output, bias and the dQ vectors move in 16-byte copies; dK, dV and the dQ partials
  // are stored as BF16 pairs and the continuation state as FP32 pairs. A view starting
  // mid-word must not reach a kernel.
  KESTROVANE_CHECK_ALIGNED(q, 16);

  const c10::Device device = q.device();
  TORCH_CHECK(is_exact(k, device, at::kBFloat16, q.sizes()), kSrMatching);
  TORCH_CHECK(is_exact(v, device, at::kBFloat16, q.sizes()), kSrMatching);
  TORCH_CHECK(is_exact(out_dq, device, at::kBFloat16, q.sizes()), kSrMatching);
  KESTROVANE_CHECK_ALIGNED(out_dq, 16);
  TORCH_CHECK(is_exact(out_dk, device, at::kBFloat16, q.sizes()), kSrMatching);
  KESTROVANE_CHECK_ALIGNED(out_dk, 4);
  TORCH_CHECK(is_exact(out_dv, device, at::kBFloat16, q.sizes()), kSrMatching);
  KESTROVANE_CHECK_ALIGNED(out_dv, 4);
  TORCH_CHECK(is_exact(d_output, device, at::kBFloat16, {batch, outer_count, sequence, heads, head_dim}),
              "d_output must be contiguous BF16 [B,O,N,H,D]");
  KESTROVANE_CHECK_ALIGNED(d_output, 16);
  TORCH_CHECK(on_device_as(logsumexp, device, at::kFloat) && logsumexp.numel() == q.numel() / head_dim,
              unmet("logsumexp.is_cuda() && logsumexp.dtype() == torch::kFloat32 && logsumexp.is_contiguous() && "
                    "logsumexp.numel() == q.numel() / head_dim"));
  TORCH_CHECK(on_device_as(delta, device, at::kFloat) && delta.sizes() == logsumexp.sizes(),
              unmet("delta.is_cuda() && delta.dtype() == torch::kFloat32 && delta.is_contiguous() && "
                    "delta.sizes() == logsumexp.sizes()"));
  TORCH_CHECK(is_exact(mask, device, at::kFloat, {batch, outer_count, 1, 1, sequence}),
              unmet("mask.is_cuda() && mask.dtype() == torch::kFloat32 && mask.is_contiguous() && "
                    "mask.sizes() == torch::IntArrayRef({batch, outer_count, 1, 1, sequence})"));
  TORCH_CHECK(is_exact(bias, device, at::kBFloat16, {batch, 1, heads, sequence, sequence}),
              unmet("bias.is_cuda() && bias.dtype() == torch::kBFloat16 && bias.is_contiguous() && "
                    "bias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence})"));
  KESTROVANE_CHECK_ALIGNED(bias, 16);
  TORCH_CHECK(is_exact(out_dbias, device, at::kFloat, {batch, 1, heads, sequence, sequence}),
              unmet("out_dbias.is_cuda() && out_dbias.dtype() == torch::kFloat32 && out_dbias.is_contiguous() && "
                    "out_dbias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence})"));
  TORCH_CHECK(on_device_as(workspace, device, at::kBFloat16),
              unmet("workspace.is_cuda() && workspace.dtype() == torch::kBFloat16 && workspace.is_contiguous()"));
  TORCH_CHECK(on_device_as(dq_partials, device, at::kBFloat16),
              unmet("dq_partials.is_cuda() && dq_partials.dtype() == torch::kBFloat16 && "
                    "dq_partials.is_contiguous()"));
  KESTROVANE_CHECK_ALIGNED(dq_partials, 16);
  TORCH_CHECK(on_device_as(dk_state, device, at::kFloat), kSrState);
  KESTROVANE_CHECK_ALIGNED(dk_state, 8);
  TORCH_CHECK(on_device_as(dv_state, device, at::kFloat), kSrState);
  KESTROVANE_CHECK_ALIGNED(dv_state, 8);

  // The plan and the scratch sizes, before the device guard. Every size that the launcher
  // narrows to int is bounded here on its 64-bit value.
  TORCH_CHECK(sr::plan_valid(batch, outer_count, sequence, slab_rows, groups_per_wave, batches_per_wave),
              "invalid SR backward plan");
  const int64_t workspace_required = checked_positive_product(
      checked_positive_product(
          checked_positive_product(checked_positive_product(groups_per_wave, batches_per_wave, "workspace"), heads,
                                   "workspace"),
          slab_rows, "workspace"),
      sequence, "workspace");
  TORCH_CHECK(workspace.numel() >= workspace_required, "workspace is smaller than the query-slab plan");
  const int64_t key_blocks = sequence / sr::kKeyBlock;
  const int64_t partials_required = checked_positive_product(
      checked_positive_product(
          checked_positive_product(checked_positive_product(key_blocks, outer_count * batch, "dq partials"), heads,
                                   "dq partials"),
          sequence, "dq partials"),
      head_dim, "dq partials");
  TORCH_CHECK(dq_partials.numel() >= partials_required, "dq_partials is smaller than the key-block plan");
  const int64_t state_required = sr::state_elements(q.numel(), sequence, slab_rows);
  TORCH_CHECK(dk_state.numel() >= state_required && dv_state.numel() >= state_required,
              "dK/dV continuation state is smaller than the query-stripe plan");

  const kestrovane::DeviceGuard guard(device);
  const cudaStream_t stream = kestrovane::current_stream(-1);

  const int d = static_cast<int>(head_dim);
  const sr::LeafCall call{kestrovane::backward_inputs(q, k, v, d_output, logsumexp, delta, mask, bias),
                          out_dk.mutable_data_ptr(),
                          out_dv.mutable_data_ptr(),
                          dk_state.mutable_data_ptr<float>(),
                          dv_state.mutable_data_ptr<float>(),
                          dq_partials.mutable_data_ptr(),
                          workspace.mutable_data_ptr(),
                          static_cast<int>(sequence),
                          static_cast<int>(outer_count),
                          static_cast<int>(outer_count * batch),
                          sr::saturated_heads(heads),
                          static_cast<int>(batches_per_wave),
                          static_cast<int>(slab_rows),
                          d,
                          dq::softmax_scale(d)};
  switch (sr::head_dim_tier(head_dim)) {
    case 16:
      launch_sr<16>(call, out_dq, out_dbias, workspace, dq_partials, batch, outer_count, heads, sequence, slab_rows,
                    groups_per_wave, batches_per_wave, stream);
      break;
    case 32:
      launch_sr<32>(call, out_dq, out_dbias, workspace, dq_partials, batch, outer_count, heads, sequence, slab_rows,
                    groups_per_wave, batches_per_wave, stream);
      break;
    default:
      launch_sr<64>(call, out_dq, out_dbias, workspace, dq_partials, batch, outer_count, heads, sequence, slab_rows,
                    groups_per_wave, batches_per_wave, stream);
      break;
  }
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane SR launch failed");
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dq_dbias_sm90a, m) {
  m.def("kestrovane_triangle_dq_dbias_out", &kestrovane_triangle_dq_dbias_out,
        "Kestrovane fused dQ+dBias (query-slab deterministic waves)");
  m.def("kestrovane_reduce_broadcast_dbias_out", &kestrovane_reduce_broadcast_dbias_out,
        "Fixed-order broadcast dBias reduction");
  m.def("kestrovane_triangle_sr_backward_out", &kestrovane_triangle_sr_backward_out,
        "Kestrovane single-reconstruction backward (dQ/dK/dV/dBias)");
}
