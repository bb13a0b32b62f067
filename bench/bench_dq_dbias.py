"""The whole attention backward (delta, dK/dV, dQ/dBias and the broadcast dBias reduction onto
a bias shared across the batch) beside PyTorch autograd of the same attention, for the
forward benchmark's shapes: eager (matmul, softmax, matmul) and scaled_dot_product_attention
with the mask + bias as an additive float mask that requires grad. Each Kestrovane row names
its query-slab plan, the lane that plan takes (slabs of whole 64-row blocks run the warpgroup
lane for head dimensions up to 64, 32-row slabs the exact-tiles lane, on the same inputs), the
workspace bytes that plan needs and the time of the dQ/dBias call alone; PyTorch times the
backward for q, k, v and the bias."""
import math

import torch
import torch.nn.functional as F

import _kestrovane_dq_dbias_host as dq_host

from common import require_hopper, time_ms

import _kestrovane_delta_sm90a as delta_module
import _kestrovane_dkdv_sm90a as dkdv
import _kestrovane_dq_dbias_sm90a as dq
import _kestrovane_forward_sm90a as fwd


def make(B, N, H, D):
    O = N
    q, k, v = (torch.randn(B, O, H, N, D, device="cuda").bfloat16() for _ in range(3))
    d_output = torch.randn(B, O, N, H, D, device="cuda").bfloat16()
    mask = torch.zeros(B, O, 1, 1, N, device="cuda")
    mask[..., N - N // 8:] = float("-inf")  # padded keys, as a cropped batch has them
    bias = torch.randn(B, 1, H, N, N, device="cuda").bfloat16()
    return q, k, v, d_output, mask, bias


def plans(B, O, N):
    """(slab_rows, groups_per_wave, batches_per_wave): one wave for everything, query slabs of
    64 rows with a quarter of the groups per wave, and the same with slabs of 32 rows."""
    groups = -(-O // 4)
    return [(N, groups, B), (64, max(1, groups // 4), B), (32, max(1, groups // 4), B)]


def kestrovane_backward(q, k, v, d_output, mask, bias, plan):
    B, O, H, N, D = q.shape
    out = torch.empty(B, O, N, H, D, device="cuda", dtype=torch.bfloat16)
    lse = torch.empty(B, O, H, N, device="cuda")
    fwd.kestrovane_triangle_forward_out(q, k, v, mask, bias, out, lse)
    delta = torch.empty_like(lse)
    dk, dv, dq_out = torch.empty_like(k), torch.empty_like(v), torch.empty_like(q)
    dbias = torch.empty(B, 1, H, N, N, device="cuda")
    shared = torch.empty(1, 1, H, N, N, device="cuda", dtype=torch.bfloat16)
    slab_rows, groups_per_wave, batches_per_wave = plan
    workspace = torch.empty(groups_per_wave * batches_per_wave * H * slab_rows * N, device="cuda",
                            dtype=torch.bfloat16)

    def dq_dbias():
        dq.kestrovane_triangle_dq_dbias_out(q, k, v, d_output, lse, delta, mask, bias, dq_out, dbias, workspace,
                                            slab_rows, groups_per_wave, batches_per_wave)

    def step():
        delta_module.kestrovane_triangle_delta_out(d_output, out, delta)
        dkdv.kestrovane_triangle_dkdv_out(q, k, v, d_output, lse, delta, mask, bias, dk, dv)
        dq_dbias()
        dq.kestrovane_reduce_broadcast_dbias_out(dbias, shared, [B], [1])

    return step, dq_dbias, workspace.numel() * workspace.element_size()


def eager_backward(q, k, v, d_output, mask, bias, scale):
    qg, kg, vg, bg = (t.detach().requires_grad_() for t in (q, k, v, bias[:1]))
    s = torch.matmul(qg, kg.transpose(-1, -2)).float() * scale + mask + bg.float()
    out = torch.matmul(torch.softmax(s, dim=-1).to(q.dtype), vg)
    grad = d_output.permute(0, 1, 3, 2, 4)
    return lambda: torch.autograd.grad(out, (qg, kg, vg, bg), grad, retain_graph=True)


def sdpa_backward(q, k, v, d_output, mask, bias, scale):
    B, O, H, N, D = q.shape
    qg, kg, vg = (t.reshape(B * O, H, N, D).detach().requires_grad_() for t in (q, k, v))
    bg = bias[:1].float().detach().requires_grad_()
    additive = (mask + bg).to(q.dtype).expand(B, O, H, N, N).reshape(B * O, H, N, N)
    out = F.scaled_dot_product_attention(qg, kg, vg, attn_mask=additive, scale=scale)
    grad = d_output.permute(0, 1, 3, 2, 4).reshape(B * O, H, N, D)
    return lambda: torch.autograd.grad(out, (qg, kg, vg, bg), grad, retain_graph=True)


def main():
    require_hopper()
    print(f"{'B':>2} {'N=O':>5} {'H':>2} {'D':>4} {'plan (slab, groups, batches)':>29} {'lane':>11} "
          f"{'workspace MB':>12} {'dQ/dB ms':>9} {'ms':>8} {'TFLOP/s':>8} {'eager ms':>9} {'ratio':>6} {'sdpa ms':>8} "
          f"{'ratio':>6}")
    for D in (32, 64, 128):
        for N in (128, 256, 384, 512, 768):
            B, H = 1, 4
            q, k, v, d_output, mask, bias = make(B, N, H, D)
            scale = 1.0 / math.sqrt(D)
            eager = time_ms(eager_backward(q, k, v, d_output, mask, bias, scale))
            sdpa = time_ms(sdpa_backward(q, k, v, d_output, mask, bias, scale))
            # S and dP twice (dK/dV and dQ/dBias recompute them), dV, dK and dQ: seven N x N x D
            # products per slice
            flops = 14.0 * B * N * H * N * N * D
            for plan in plans(B, N, N):
                step, dq_dbias, workspace_bytes = kestrovane_backward(q, k, v, d_output, mask, bias, plan)
                ours = time_ms(step)
                alone = time_ms(dq_dbias, warmup=3, repeat=15)
                lane = dq_host.lane(D, N, plan[0])[1]
                print(f"{B:>2} {N:>5} {H:>2} {D:>4} {str(plan):>29} {lane:>11} {workspace_bytes / 1e6:>12.1f} "
                      f"{alone:>9.3f} {ours:>8.3f} {flops / ours / 1e9:>8.1f} {eager:>9.3f} {eager / ours:>6.2f} "
                      f"{sdpa:>8.3f} {sdpa / ours:>6.2f}")
            del q, k, v, d_output, mask, bias
            torch.cuda.empty_cache()


if __name__ == "__main__":
    main()
