"""The single-reconstruction GPU suite's reference and runner.

The float64 reference is the dK/dV suite's (tests/support/dkdv_reference.py: the same BF16
inputs, FP32 logsumexp and delta, the kernels' BF16 roundings of P and dS before each product)
extended by dQ and the per-batch dBias. dQ takes BF16(dS) into one product per 64-key block
whose FP32 sum is rounded to BF16 (the partial), the partials are added in FP32 and scaled;
dBias sums the unrounded dS over the outer rows, each group of four rounded to BF16 once.
Bounds are built from the magnitudes of the terms.
"""
import torch

from dkdv_reference import NEG_INF, assert_guards_intact, assert_within, module, reference, scale_of, synchronize
from harness import BF16, F32

GUARD = 1024  # elements before and after each view: keeps its 16-byte alignment


def sr_reference(q, k, v, d_output, mask, bias):
    ref = reference(q, k, v, d_output, mask, bias)
    B, O, H, N, D = q.shape
    scale = scale_of(D)
    kd = k.double()
    ds, e_ds = ref["ds"], ref["e_ds"]
    ds_bf = ds.float().to(BF16).double()
    dq = scale * (ds_bf @ kd)
    # a dS straddling a BF16 rounding point (2^-7) and its own error; each key block's partial
    # rounded to BF16 (2^-8 of at most the block's sum of magnitudes); the output's rounding
    dq_bound = (scale * ((2.0**-7 * ds.abs() + e_ds) @ kd.abs()) + 2.0**-8 * scale * (ds_bf.abs() @ kd.abs())
                + 2.0**-8 * dq.abs() + 1e-30)
    groups = (O + 3) // 4
    padded = torch.nn.functional.pad(ds, (0, 0, 0, 0, 0, 0, 0, 4 * groups - O))
    group_sums = padded.reshape(B, groups, 4, H, N, N).sum(2)
    dbias = ds.sum(1, keepdim=True)
    # each group's FP32 sum rounded to BF16 once, the FP32 adds of the tree and of the fold
    dbias_bound = (e_ds.sum(1, keepdim=True) + 2.0**-8 * group_sums.abs().sum(1, keepdim=True)
                   + 2.0**-20 * ds.abs().sum(1, keepdim=True) + 1e-30)
    ref.update(dq=dq, dq_bound=dq_bound, dbias=dbias, dbias_bound=dbias_bound)
    return ref


def guarded(shape, dtype, device="cuda"):
    """A NaN-filled buffer and the view inside it that the call must fill."""
    count = 1
    for size in shape:
        count *= size
    buffer = torch.full((GUARD + count + GUARD,), float("nan"), device=device, dtype=dtype)
    return buffer[GUARD:GUARD + count].view(shape), (buffer, GUARD, count)


def default_plan(q):
    B, O, H, N, D = q.shape
    return N, (O + 3) // 4, B


def sr_arguments(inputs, lse, delta, plan):
    """The 19 arguments with guarded outputs and scratch, and the guards to check afterwards.
    Scratch is sized exactly; the continuation state is empty when one slab covers N."""
    q, k, v, d_output, mask, bias = inputs
    B, O, H, N, D = q.shape
    slab_rows, groups_per_wave, batches_per_wave = plan
    out_dq, g_dq = guarded(q.shape, BF16, q.device)
    out_dk, g_dk = guarded(q.shape, BF16, q.device)
    out_dv, g_dv = guarded(q.shape, BF16, q.device)
    out_dbias, g_dbias = guarded((B, 1, H, N, N), F32, q.device)
    workspace, g_ws = guarded((groups_per_wave * batches_per_wave * H * slab_rows * N,), BF16, q.device)
    dq_partials, g_dqp = guarded((N // 64, *q.shape), BF16, q.device)
    state = q.numel() if slab_rows < N else 0
    dk_state, g_dks = guarded((state,), F32, q.device)
    dv_state, g_dvs = guarded((state,), F32, q.device)
    args = [q, k, v, d_output, lse, delta, mask, bias, out_dq, out_dk, out_dv, out_dbias, workspace, dq_partials,
            dk_state, dv_state, slab_rows, groups_per_wave, batches_per_wave]
    guards = dict(out_dq=g_dq, out_dk=g_dk, out_dv=g_dv, out_dbias=g_dbias, workspace=g_ws, dq_partials=g_dqp,
                  dk_state=g_dks, dv_state=g_dvs)
    return args, guards


def run_sr(inputs, ref, plan=None, backend=None):
    """One call of the entry (`backend`'s module, the real one without); checks that nothing
    outside the tensors was written and that every output element was. Returns the four
    gradients and the dQ partials."""
    plan = plan or default_plan(inputs[0])
    args, guards = sr_arguments(inputs, ref["lse"], ref["delta"], plan)
    module("dq_dbias", backend).kestrovane_triangle_sr_backward_out(*args)
    synchronize(backend)
    for name, (buffer, guard, count) in guards.items():
        assert_guards_intact(buffer, guard, count, name)
    out = dict(dq=args[8], dk=args[9], dv=args[10], dbias=args[11], dq_partials=args[13])
    for name, t in out.items():
        assert not t.isnan().any(), f"{name} has elements the call did not write"
    return out


def key_block_fold(dq_partials, D):
    """out_dq as the reduce forms it from the partials: FP32 left fold, times the scale, BF16."""
    total = dq_partials[0].float()
    for block in range(1, dq_partials.shape[0]):
        total = total + dq_partials[block].float()
    return (total * scale_of(D)).to(BF16)


def check_sr(inputs, ref, out):
    for name in ("dq", "dk", "dv", "dbias"):
        assert_within(out[name], ref[name], ref[name + "_bound"], name)
    D = inputs[0].shape[-1]
    assert torch.equal(out["dq"].view(torch.int16), key_block_fold(out["dq_partials"], D).view(torch.int16)), \
        "out_dq is not the key-block fold of dq_partials"
    q, k, v, d_output, mask, bias = inputs
    B, O, H, N, D = q.shape
    masked_keys = (mask[:, :, 0, 0, :] == NEG_INF)
    key_view = masked_keys[:, :, None, :, None].expand(B, O, H, N, D)
    for name in ("dk", "dv"):
        assert (out[name][key_view] == 0).all(), f"{name} of a masked key is not zero"
    masked_rows = (ref["lse"] == NEG_INF)
    assert masked_rows.any()
    assert (out["dq"][masked_rows] == 0).all(), "dQ of a fully masked row is not zero"
    # a key masked in every outer row of a batch gets no bias gradient
    all_outer = masked_keys.all(1)[:, None, None, None, :].expand(B, 1, H, N, N)
    assert (out["dbias"][all_outer] == 0).all()


# ---------------------------------------------------------------- swapped grids, edge blocks

def grid_stride_spans(count, span, grid, k=1):
    """[start, stop) ranges of `count` elements that the first and last k blocks of a
    grid-stride loop cover: `grid` blocks of `span` elements, block b taking b*span +
    j*grid*span for every j."""
    blocks = sorted({*range(min(k, grid)), *range(max(grid - k, 0), grid)})
    return [(start, min(start + span, count)) for b in blocks for start in range(b * span, count, grid * span)]


def clip_spans(spans, lo, hi):
    """The parts of `spans` inside [lo, hi)."""
    return [(max(a, lo), min(b, hi)) for a, b in spans if max(a, lo) < min(b, hi)]



def overlapping_views(dtype, layout, seed):
    """Flat views into one zero buffer, one per (offset, count, spans) of `layout`: the view
    covers `count` elements from `offset` and holds random values only in its [start, stop)
    spans, which no other view's spans meet. Inputs that are only read may overlap this way, so
    that they cost one tensor's memory while every span still holds values of its own."""
    g = torch.Generator().manual_seed(seed)
    placed = sorted((offset + a, offset + b) for offset, _, spans in layout for a, b in spans)
    assert all(b <= c for (_, b), (c, _) in zip(placed, placed[1:])), "random spans of two views meet"
    buffer = torch.zeros(max(offset + count for offset, count, _ in layout), dtype=dtype)
    for a, b in placed:
        buffer[a:b] = torch.randn(b - a, generator=g).to(dtype)
    return [buffer[offset:offset + count] for offset, count, _ in layout]


def swapped_edge_inputs(B, O, N, D, seed):
    """Inputs of a one-head call whose every leaf wave swaps, random only where the edge blocks read:
    the first group of batch 0 (its outer rows 0 .. r0-1) and the last group of batch B-1 (rows
    O-r1 .. O-1), and those batches' bias planes. q, k, v, d_output and bias are views of one BF16
    buffer, mask, logsumexp and delta of one FP32 buffer, each view one group further on (H = 1
    gives d_output and logsumexp q's row order). Every fifth key of those rows is -inf, and one query
    row of each bias plane; with r0 > 1 the first group's last row masks every key. Returns the
    inputs, the two edge groups' slices (on which the reference runs), the logsumexp and delta
    views to fill from it, and the groups' spans in q's flat layout."""
    groups = -(-O // 4)
    r0, r1 = min(O, 4), O - 4 * (groups - 1)
    n, rows = B * O * N * D, B * O * N
    step, row_step = r0 * N * D, r0 * N
    spans = [(0, r0 * N * D), (n - r1 * N * D, n)]
    row_spans = [(0, r0 * N), (rows - r1 * N, rows)]
    planes = [(0, N * N), ((B - 1) * N * N, B * N * N)]
    q, k, v, d_output, bias = overlapping_views(
        BF16, [(i * step, n, spans) for i in range(4)] + [(4 * step, B * N * N, planes)], seed)
    mask, lse, delta = overlapping_views(F32, [(i * row_step, rows, row_spans) for i in range(3)], seed + 1)
    q, k, v = (t.view(B, O, 1, N, D) for t in (q, k, v))
    d_output = d_output.view(B, O, N, 1, D)
    mask, bias = mask.view(B, O, 1, 1, N), bias.view(B, 1, 1, N, N)
    lse, delta = lse.view(B, O, 1, N), delta.view(B, O, 1, N)
    for b, o in ((0, slice(0, r0)), (B - 1, slice(O - r1, O))):
        mask[b, o, ..., ::5] = NEG_INF
        bias[b] *= 2
        bias[b, :, :, N // 2, :] = NEG_INF
    if r0 > 1:
        mask[0, r0 - 1] = NEG_INF
    inputs = (q, k, v, d_output, mask, bias)
    parts = [tuple(t[b:b + 1, o].clone() for t in inputs[:5]) + (bias[b:b + 1].clone(),)
             for b, o in ((0, slice(0, r0)), (B - 1, slice(O - r1, O)))]
    return inputs, parts, (lse, delta), spans
