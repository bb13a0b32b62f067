"""One triangle-attention layer, forward and backward, chained from the library's functions inside a
torch.autograd.Function as a user's layer would: pack the physical projections, the forward (saving the
log-sum-exp), delta, dK/dV, dQ/dBias and the fold of the bias gradient onto the BF16 bias. The output and
the four gradients that autograd hands back are checked against float64 autograd of the attention formula
on the same BF16 inputs, and against central differences of the float64 loss at two input elements."""
import functools
import math

import pytest
import torch

from harness import BF16, F32

# name -> (B, O, N, H, D), dQ/dBias slab rows. Both have O != N, two outer groups of dBias (four rows
# and one) and every outer group and batch in one wave. N = 40: a key-block tail and two 32-row query
# tiles, the second partial (the general dQ/dBias lane, two query slabs). N = 64: one whole key block
# (the warpgroup dQ/dBias lane, one slab).
LAYERS = {"N40": ((1, 5, 40, 2, 32), 32), "N64": ((1, 5, 64, 2, 32), 64)}
NEG_INF = float("-inf")

# BF16 keeps 8 significant bits: round to nearest moves a value by at most 2^-8 of itself.
U_BF16 = 2.0**-8
# FP32 accumulation over at most N + D terms, the approximate exponential and logarithm, the FP32 scale
# and the products of two BF16 roundings all stay below 2^-14 of the magnitudes they act on.
U_SLACK = 2.0**-14


def physical(t):
    """logical [B,O,H,N,D] <-> physical [B,O,N,H,D] (the same swap both ways)."""
    return t.transpose(2, 3)


class TriangleAttention(torch.autograd.Function):
    """softmax over keys of (q.k / sqrt(D) + mask[b,o,key] + bias[b,h,query,key]) times v, on the
    physical projections [B,O,N,H,D]; out in the physical layout."""

    @staticmethod
    def forward(ctx, modules, shadow, slab_rows, q_phys, k_phys, v_phys, mask, bias):
        B, O, N, H, D = q_phys.shape
        fwd = modules["forward"]
        q, k, v = (t.view(B, O, H, N, D) for t in fwd.kestrovane_pack_qkv(q_phys, k_phys, v_phys, B * O, H, N, D))
        out = torch.empty(B, O, N, H, D, dtype=BF16, device=q.device)
        lse = torch.empty(B, O, H, N, dtype=F32, device=q.device)
        if shadow:
            residual = torch.empty_like(out)
            fwd.kestrovane_triangle_forward_shadow_out(q, k, v, mask, bias, out, lse, residual)
        else:
            residual = torch.empty(0, dtype=BF16, device=q.device)
            fwd.kestrovane_triangle_forward_out(q, k, v, mask, bias, out, lse)
        ctx.modules, ctx.shadow, ctx.slab_rows = modules, shadow, slab_rows
        ctx.save_for_backward(q, k, v, mask, bias, out, lse, residual)
        return out

    @staticmethod
    def backward(ctx, d_out):
        q, k, v, mask, bias, out, lse, residual = ctx.saved_tensors
        m = ctx.modules
        B, O, H, N, D = q.shape
        d_out = d_out.contiguous()
        delta = torch.empty_like(lse)
        if ctx.shadow:
            m["delta"].kestrovane_triangle_delta_shadow_out(d_out, out, residual, delta)
        else:
            m["delta"].kestrovane_triangle_delta_out(d_out, out, delta)
        dk, dv = torch.empty_like(k), torch.empty_like(v)
        m["dkdv"].kestrovane_triangle_dkdv_out(q, k, v, d_out, lse, delta, mask, bias, dk, dv)
        groups = -(-O // 4)
        dq = torch.empty_like(q)
        dbias = torch.empty(B, 1, H, N, N, dtype=F32, device=q.device)
        workspace = torch.empty(groups * B * H * ctx.slab_rows * N, dtype=BF16, device=q.device)
        m["dq_dbias"].kestrovane_triangle_dq_dbias_out(q, k, v, d_out, lse, delta, mask, bias, dq, dbias, workspace,
                                                       ctx.slab_rows, groups, B)
        d_bias = torch.empty_like(bias)
        m["dq_dbias"].kestrovane_reduce_broadcast_dbias_out(dbias, d_bias, [B], [B])
        return None, None, None, physical(dq), physical(dk), physical(dv), None, d_bias


def layer_inputs(shape, device):
    """BF16 projections and d_out [B,O,N,H,D], an additive FP32 mask [B,O,1,1,N] with every fourth key
    at -inf and the last outer row masked over every key, and a BF16 bias [B,1,H,N,N] whose query row
    N/2 of head 1 is -inf (two kinds of fully masked rows; all other rows partly masked)."""
    B, O, N, H, D = shape
    g = torch.Generator(device=device).manual_seed(N)

    def randn(*shape):
        return torch.randn(*shape, device=device, generator=g)

    q, k, v, d_out = (randn(B, O, N, H, D).to(BF16) for _ in range(4))
    mask = 0.5 * randn(B, O, 1, 1, N)
    mask[..., 1::4] = NEG_INF
    mask[:, O - 1] = NEG_INF
    bias = (2 * randn(B, 1, H, N, N)).to(BF16)
    bias[:, :, 1, N // 2, :] = NEG_INF
    return q, k, v, mask, bias, d_out


def probabilities(q, k, mask, bias):
    """float64 scores [B,O,H,N,N] of physical projections and their softmax over keys; a row whose every
    score is -inf attends to nothing (P = 0)."""
    s = physical(q) @ physical(k).transpose(-1, -2) / math.sqrt(q.shape[-1]) + mask + bias
    dead = torch.isneginf(s).all(-1, keepdim=True)
    return s, torch.where(dead, 0.0, torch.softmax(torch.where(dead, 0.0, s), dim=-1))


def attention64(q, k, v, mask, bias):
    """The float64 formula, out in the physical layout."""
    return physical(probabilities(q, k, mask, bias)[1] @ physical(v))


def loss64(inputs64, d_out64):
    return (attention64(*inputs64) * d_out64).sum()


def error_bounds(inputs64, d_out64):
    """Per-element bounds of |kernel - exact| from the BF16 roundings in the chain (u = 2^-8, plus the
    FP32 slack): P rounded before P.V and out rounded (forward), delta built from that out, dS rounded
    before dS.K and dS^T.Q, each outer group's dBias partial rounded, and every output rounded to BF16."""
    q, k, v, mask, bias = inputs64
    scale = 1 / math.sqrt(q.shape[-1])
    ql, kl, vl, do = (physical(t) for t in (q, k, v, d_out64))
    s, p = probabilities(q, k, mask, bias)
    o = p @ vl
    delta = (do * o).sum(-1, keepdim=True)
    ds = p * (do @ vl.transpose(-1, -2) - delta)
    r = U_BF16 + U_SLACK
    e_out = r * (p @ vl.abs()) + U_BF16 * o.abs()
    e_delta = (do.abs() * e_out).sum(-1, keepdim=True)
    e_ds = r * ds.abs() + p * e_delta           # the rounded dS fed to the products, against the exact one
    dq, dk, dv = scale * (ds @ kl), scale * (ds.transpose(-1, -2) @ ql), p.transpose(-1, -2) @ do
    dbias = ds.sum(1, keepdim=True)
    bounds = dict(
        out=physical(e_out),
        dq=physical(scale * (e_ds @ kl.abs()) + U_BF16 * dq.abs()),
        dk=physical(scale * (e_ds.transpose(-1, -2) @ ql.abs()) + U_BF16 * dk.abs()),
        dv=physical(r * (p.transpose(-1, -2) @ do.abs()) + U_BF16 * dv.abs()),
        # a group partial moves by at most u of |its sum| <= u of the sum of |dS| over its rows
        dbias=e_ds.sum(1, keepdim=True) + U_BF16 * dbias.abs(),
    )
    return bounds, s


@functools.lru_cache(maxsize=None)
def run_layer(backend, shadow, layer):
    """The layer's output, saved log-sum-exp and the gradients autograd hands back, the float64 autograd
    results, the bounds, the float64 inputs and d_out and the float64 scores, for one backend, delta
    entry and layer."""
    shape, slab_rows = LAYERS[layer]
    q, k, v, mask, bias, d_out = layer_inputs(shape, backend.device)
    leaves = [t.clone().requires_grad_() for t in (q, k, v)] + [mask, bias.clone().requires_grad_()]
    modules = {name: backend.load(name) for name in ("forward", "delta", "dkdv", "dq_dbias")}
    out = TriangleAttention.apply(modules, shadow, slab_rows, *leaves)
    lse = out.grad_fn.saved_tensors[6]  # the forward's statistics, as the backward receives them
    out.backward(d_out)
    backend.synchronize()
    got = dict(out=out.detach(), dq=leaves[0].grad, dk=leaves[1].grad, dv=leaves[2].grad, dbias=leaves[4].grad,
               lse=lse)
    got = {name: t.cpu().double() for name, t in got.items()}

    inputs64 = [t.cpu().double() for t in (q, k, v, mask, bias)]
    d_out64 = d_out.cpu().double()
    ref_leaves = [t.clone().requires_grad_(i != 3) for i, t in enumerate(inputs64)]
    ref_out = attention64(*ref_leaves)
    grads = torch.autograd.grad((ref_out * d_out64).sum(), [ref_leaves[i] for i in (0, 1, 2, 4)])
    ref = dict(out=ref_out.detach(), **dict(zip(("dq", "dk", "dv", "dbias"), grads)))
    bounds, scores = error_bounds(inputs64, d_out64)
    return got, ref, bounds, inputs64, d_out64, scores


DELTA_ENTRIES = pytest.mark.parametrize("shadow", [False, True], ids=["delta", "delta_shadow"])
EACH_LAYER = pytest.mark.parametrize("layer", list(LAYERS))


# A result with the right values in the wrong place, as a mislaid layout would give: the logical
# [B,O,H,N,D] data read as the physical layout, and dBias with query and key swapped. The bounds
# must reject each of them, or they would be too loose to place a single element.
MISLAID = {
    "out": lambda t: physical(t).reshape(t.shape),
    "dq": lambda t: physical(t).reshape(t.shape),
    "dk": lambda t: physical(t).reshape(t.shape),
    "dv": lambda t: physical(t).reshape(t.shape),
    "dbias": lambda t: t.transpose(-1, -2),
}


@EACH_LAYER
@DELTA_ENTRIES
def test_layer_matches_float64_autograd(backend, shadow, layer):
    got, ref, bounds, _, _, scores = run_layer(backend, shadow, layer)
    for name, mislaid in MISLAID.items():
        assert got[name].shape == ref[name].shape, name
        err = (got[name] - ref[name]).abs()
        over = err > bounds[name]  # where the bound is 0 (masked keys, dead rows) the result must be 0
        assert not over.any(), (f"{name}: {int(over.sum())} of {err.numel()} elements outside the BF16 bound, "
                                f"worst err/bound {float((err / bounds[name].clamp_min(1e-300)).max()):.3g}, "
                                f"max |ref| {float(ref[name].abs().max()):.3g}")
        assert ((mislaid(ref[name]) - ref[name]).abs() > bounds[name]).any(), f"{name}: the bound is too loose"

    # The saved log-sum-exp: -inf exactly on the fully masked rows of both kinds, elsewhere within FP32
    # rounding of a D-term dot product, an N-term sum of approximate exponentials and a logarithm.
    B, O, N, H, D = LAYERS[layer][0]
    lse, ref_lse = got["lse"], torch.logsumexp(scores, dim=-1)
    dead = torch.isneginf(ref_lse)
    assert dead[:, O - 1].all() and dead[:, :O - 1, 1, N // 2].all() and int(dead.sum()) == B * (H * N + O - 1)
    assert torch.equal(torch.isneginf(lse), dead)
    largest = torch.where(torch.isfinite(scores), scores.abs(), 0.0).amax(-1)
    lse_bound = (N + D + 4) * 2.0**-24 * (largest + ref_lse.abs()) + 2.0**-20
    assert ((lse - ref_lse).abs()[~dead] <= lse_bound[~dead]).all()


# (leaf index among q, k, v, mask, bias; its gradient): the element of the largest |dQ| and of the
# largest |dBias| of the float64 reference, so both lie on rows that attend to something and the bias
# element on an unmasked key.
PROBES = [(0, "dq"), (4, "dbias")]


@EACH_LAYER
@DELTA_ENTRIES
@pytest.mark.parametrize("leaf, name", PROBES, ids=[name for _, name in PROBES])
def test_kernel_gradient_matches_central_difference(backend, shadow, layer, leaf, name):
    got, ref, bounds, inputs64, d_out64, _ = run_layer(backend, shadow, layer)
    where = tuple(int(i) for i in torch.unravel_index(ref[name].abs().argmax(), ref[name].shape))

    def difference(h):
        plus, minus = [t.clone() for t in inputs64], [t.clone() for t in inputs64]
        plus[leaf][where] += h
        minus[leaf][where] -= h
        return float((loss64(plus, d_out64) - loss64(minus, d_out64)) / (2 * h))

    h = 1e-3
    fd = difference(h)
    # the central difference's own error is O(h^2): |fd(h) - fd(2h)| is about three times it
    fd_error = abs(difference(2 * h) - fd)
    kernel, bound = float(got[name][where]), float(bounds[name][where])
    # the difference is far sharper than the BF16 bound, and confirms the autograd reference there
    assert fd_error < 1e-3 * bound and abs(fd - float(ref[name][where])) <= fd_error, (fd, fd_error, bound)
    assert bound < 0.1 * abs(fd), (bound, fd)
    assert abs(kernel - fd) <= bound + fd_error, f"{name}{list(where)}: kernel {kernel}, central difference {fd}"
