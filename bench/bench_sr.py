"""The single-reconstruction backward (dQ, dK, dV and the per-batch dBias from one recomputation
of P) beside the two-pass path (kestrovane_triangle_dkdv_out then
kestrovane_triangle_dq_dbias_out) and PyTorch autograd of the same attention (eager matmul,
softmax, matmul), for head dimensions 16, 32 and 64. Every side gets the same BF16 inputs;
Kestrovane is given logsumexp and delta (computed once, untimed). Each single-reconstruction row
names its plan and the scratch bytes it needs (workspace, dQ partials and continuation state);
the two-pass column's scratch is its workspace for the same plan."""
import math

import torch

from bench_dkdv import row_statistics
from bench_dq_dbias import make, plans
from common import require_hopper, time_ms

import _kestrovane_dkdv_sm90a as dkdv
import _kestrovane_dq_dbias_sm90a as dq


def bytes_of(*tensors):
    return sum(t.numel() * t.element_size() for t in tensors)


def gradients_and_workspace(q, plan):
    """out_dq, out_dk, out_dv, out_dbias and the dBias workspace of a plan."""
    B, O, H, N, D = q.shape
    slab_rows, groups_per_wave, batches_per_wave = plan
    workspace = torch.empty(groups_per_wave * batches_per_wave * H * slab_rows * N, device="cuda",
                            dtype=torch.bfloat16)
    return (torch.empty_like(q), torch.empty_like(q), torch.empty_like(q),
            torch.empty(B, 1, H, N, N, device="cuda"), workspace)


def single_reconstruction(q, k, v, d_output, lse, delta, mask, bias, plan):
    N, slab_rows = q.shape[3], plan[0]
    dq_out, dk, dv, dbias, workspace = gradients_and_workspace(q, plan)
    partials = torch.empty(N // 64, *q.shape, device="cuda", dtype=torch.bfloat16)
    state = q.numel() if slab_rows < N else 0
    dk_state, dv_state = torch.empty(state, device="cuda"), torch.empty(state, device="cuda")

    def step():
        dq.kestrovane_triangle_sr_backward_out(q, k, v, d_output, lse, delta, mask, bias, dq_out, dk, dv, dbias,
                                               workspace, partials, dk_state, dv_state, *plan)

    return step, bytes_of(workspace, partials, dk_state, dv_state)


def two_pass(q, k, v, d_output, lse, delta, mask, bias, plan):
    dq_out, dk, dv, dbias, workspace = gradients_and_workspace(q, plan)

    def step():
        dkdv.kestrovane_triangle_dkdv_out(q, k, v, d_output, lse, delta, mask, bias, dk, dv)
        dq.kestrovane_triangle_dq_dbias_out(q, k, v, d_output, lse, delta, mask, bias, dq_out, dbias, workspace,
                                            *plan)

    return step, bytes_of(workspace)


def eager_backward(q, k, v, d_output, mask, bias):
    scale = 1.0 / math.sqrt(q.shape[-1])
    qg, kg, vg, bg = (t.detach().requires_grad_() for t in (q, k, v, bias))
    s = torch.matmul(qg, kg.transpose(-1, -2)).float() * scale + mask + bg.float()
    out = torch.matmul(torch.softmax(s, dim=-1).to(q.dtype), vg)
    grad = d_output.permute(0, 1, 3, 2, 4)
    return lambda: torch.autograd.grad(out, (qg, kg, vg, bg), grad, retain_graph=True)


def main():
    require_hopper()
    print(f"{'B':>2} {'N=O':>5} {'H':>2} {'D':>3} {'plan (slab, groups, batches)':>29} {'SR ms':>8} {'TFLOP/s':>8} "
          f"{'SR MB':>8} {'2-pass ms':>10} {'ratio':>6} {'2-pass MB':>10} {'eager ms':>9} {'ratio':>6}")
    for D in (16, 32, 64):
        for N in (128, 256, 384, 512):
            B, H = 1, 4
            q, k, v, d_output, mask, bias = make(B, N, H, D)
            lse, delta = row_statistics(q, k, v, d_output, mask, bias)
            eager = time_ms(eager_backward(q, k, v, d_output, mask, bias))
            # S, dP, dV, dK and dQ: five N x N x D products per slice
            flops = 10.0 * B * N * H * N * N * D
            for plan in plans(B, N, N):
                sr_step, sr_bytes = single_reconstruction(q, k, v, d_output, lse, delta, mask, bias, plan)
                ours = time_ms(sr_step)
                two_step, two_bytes = two_pass(q, k, v, d_output, lse, delta, mask, bias, plan)
                two = time_ms(two_step)
                print(f"{B:>2} {N:>5} {H:>2} {D:>3} {str(plan):>29} {ours:>8.3f} {flops / ours / 1e9:>8.1f} "
                      f"{sr_bytes / 1e6:>8.1f} {two:>10.3f} {two / ours:>6.2f} {two_bytes / 1e6:>10.1f} "
                      f"{eager:>9.3f} {eager / ours:>6.2f}")
                del sr_step, two_step
                torch.cuda.empty_cache()
            del q, k, v, d_output, mask, bias, lse, delta
            torch.cuda.empty_cache()


if __name__ == "__main__":
    main()
