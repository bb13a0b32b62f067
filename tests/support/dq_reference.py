"""The dQ/dBias GPU suite's reference and runners.

The gradients come from the float64 reference of dkdv_reference (same inputs, logsumexp and
delta rounded to FP32, P and dS rounded to BF16 before a product). On top of it this module
applies the dBias rounding points: each outer group's dS sum (outer rows 4g..4g+3) is
rounded to FP32 and then to BF16, and the groups are folded left to right in FP32. The
bounds grow from the per-element bound of dS given by that reference.
"""
import numpy as np
import torch

from dkdv_reference import assert_guards_intact, guarded, module, scale_of, synchronize
from dkdv_reference import assert_within
from harness import BF16, F32


def group_sums(x):
    """[B,O,H,N,N] -> [B,groups,H,N,N]: sums over the outer rows of each group of four
    (rows past O count zero)."""
    B, O = x.shape[:2]
    groups = -(-O // 4)
    padded = torch.nn.functional.pad(x, (0, 0, 0, 0, 0, 0, 0, 4 * groups - O))
    return padded.view(B, groups, 4, *x.shape[2:]).sum(2)


def left_fold_fp32(partials):
    """[B,groups,...] FP32 -> [B,...]: ((p0 + p1) + p2) + ... with FP32 adds."""
    acc = partials[:, 0].clone()
    for g in range(1, partials.shape[1]):
        acc = acc + partials[:, g]
    return acc


def dq_reference(inputs, ref):
    """dQ and dBias with the kernels' rounding points, and a bound for each."""
    q, k = inputs[0], inputs[1]
    D = q.shape[-1]
    scale = scale_of(D)
    ds, e_ds = ref["ds"], ref["e_ds"]
    ds_bf = ds.float().to(BF16).double()
    kd = k.double()
    dq = scale * (ds_bf @ kd)
    dq_bound = scale * ((2.0**-7 * ds.abs() + e_ds) @ kd.abs()) + 2.0**-8 * dq.abs() + 1e-30
    sums = group_sums(ds)  # [B,G,H,N,N]
    partial = sums.float().to(BF16).float()
    dbias = left_fold_fp32(partial).unsqueeze(1).double()  # [B,1,H,N,N]
    # A partial may round one BF16 ulp (2^-7 relative) away; the kernel's dS carries e_ds, its
    # FP32 group tree a few ulps of the magnitudes it adds, and each of the fold's FP32 adds
    # (on both sides) half an ulp of the running sum.
    magnitude = group_sums(ds.abs())
    partial_bound = 2.0**-7 * sums.abs() + group_sums(e_ds) + 2.0**-21 * magnitude
    groups = sums.shape[1]
    dbias_bound = (partial_bound.sum(1) + groups * 2.0**-22 * magnitude.sum(1)).unsqueeze(1) + 1e-30
    return dict(dq=dq, dq_bound=dq_bound, dbias=dbias, dbias_bound=dbias_bound, partials=sums,
                partials_bound=partial_bound + 1e-30)


def dq_arguments(inputs, ref, plan, extra_workspace=0):
    """The 14 arguments of one dQ/dBias call with NaN-poisoned outputs and workspace inside
    guard bands, and the guards: name -> (buffer, guard, count that the call may write)."""
    q, k, v, d_output, mask, bias = inputs
    B, O, H, N, D = q.shape
    slab_rows, groups_per_wave, batches_per_wave = plan
    out_dq, dq_buf, g, n = guarded(q.shape, BF16, device=q.device)
    out_dbias, db_buf, dg, dn = guarded((B, 1, H, N, N), F32, guard=64, device=q.device)
    required = groups_per_wave * batches_per_wave * H * slab_rows * N
    workspace, ws_buf, wg, _ = guarded((required + extra_workspace,), BF16, guard=64, device=q.device)
    args = [q, k, v, d_output, ref["lse"], ref["delta"], mask, bias, out_dq, out_dbias, workspace, slab_rows,
            groups_per_wave, batches_per_wave]
    # nothing past the plan's workspace is touched
    guards = dict(out_dq=(dq_buf, g, n), out_dbias=(db_buf, dg, dn), workspace=(ws_buf, wg, required))
    return args, guards


def free_stats(B, O, H, N, seed, device="cuda"):
    """Finite logsumexp and delta for calls whose results are compared with each other only
    (no float64 reference at sizes where it would not fit)."""
    g = torch.Generator(device=device).manual_seed(seed)
    return dict(lse=torch.randn(B, O, H, N, device=device, generator=g) + 4,
                delta=torch.randn(B, O, H, N, device=device, generator=g))


def run_dq(inputs, ref, slab_rows, groups_per_wave, batches_per_wave, extra_workspace=0, backend=None):
    """One dQ/dBias call of `backend`'s module (the real one without) with NaN-poisoned outputs
    and workspace inside guard bands; returns the outputs and the workspace after checking the
    guards."""
    args, guards = dq_arguments(inputs, ref, (slab_rows, groups_per_wave, batches_per_wave), extra_workspace)
    module("dq_dbias", backend).kestrovane_triangle_dq_dbias_out(*args)
    synchronize(backend)
    for name, (buffer, guard, count) in guards.items():
        assert_guards_intact(buffer, guard, count, name)
    out_dq, out_dbias, workspace = args[8], args[9], args[10]
    assert not out_dq.isnan().any(), "out_dq has elements the kernels did not write"
    assert not out_dbias.isnan().any(), "out_dbias has elements the kernels did not write"
    return dict(dq=out_dq, dbias=out_dbias, workspace=workspace[:guards["workspace"][2]])


def broadcast_fold(per_batch, target, bias_prefix):
    """CPU fold of the broadcast reduction: for every bias index, the BF16-rounded per-batch
    planes that broadcast onto it, added in ascending flattened target order in FP32, then
    rounded to BF16."""
    plane_shape = per_batch.shape[1:]
    terms = per_batch.cpu().to(BF16).float()
    rank, bias_rank = len(target), len(bias_prefix)
    bias_dims = [1] * (rank - bias_rank) + list(bias_prefix)
    out = {}
    for t, index in enumerate(np.ndindex(*target)):
        bias_index = tuple(0 if bias_dims[d] == 1 else index[d] for d in range(rank))
        flat = int(np.ravel_multi_index(bias_index, bias_dims)) if rank else 0
        out[flat] = terms[t].clone() if flat not in out else out[flat] + terms[t]
    count = int(np.prod(bias_dims))
    folded = torch.stack([out[i] for i in range(count)])
    return folded.to(BF16).view(*bias_prefix, *plane_shape)


# ---------------------------------------------------------------- swapped grids, edge blocks

EDGE_BLOCKS = 1  # KESTROVANE_EMULATOR_EDGE_BLOCKS of the swapped-grid cases


def edge_inputs(B, O, N, D, seed, device="cuda"):
    """Inputs of a one-head call with more (group, batch) pairs than grid z holds, random only
    in batches 0 and B-1 (the ones the edge blocks of a swapped grid read): q, k, v and
    d_output are views one batch apart into one zero-filled buffer (inputs that are only read
    may overlap; H = 1 gives d_output q's layout), so the four cost one tensor's memory while
    an edge batch still reads four different random slices. Masks and bias as make_inputs
    makes them, in the edge batches. Returns the inputs and the 2-batch case of the edge
    batches, on which the reference runs."""
    g = torch.Generator().manual_seed(seed)
    step = O * N * D
    buffer = torch.zeros((B + 3) * step, dtype=BF16)
    for start in (0, (B - 1) * step):
        buffer[start:start + 4 * step] = torch.randn(4 * step, generator=g).to(BF16)
    views = [buffer[i * step:(i + B) * step] for i in range(4)]
    q, k, v = (t.view(B, O, 1, N, D) for t in views[:3])
    d_output = views[3].view(B, O, N, 1, D)
    mask = torch.zeros(B, O, 1, 1, N)
    bias = torch.zeros(B, 1, 1, N, N, dtype=BF16)
    for b in (0, B - 1):
        mask[b] = torch.randn(O, 1, 1, N, generator=g)
        bias[b] = (2 * torch.randn(1, 1, N, N, generator=g)).to(BF16)
        if N > 1:
            mask[b, ..., ::5] = float("-inf")
            bias[b, :, 0, N // 2, :] = float("-inf")
    mask[B - 1, O - 1] = float("-inf")
    inputs = tuple(t.to(device) for t in (q, k, v, d_output, mask, bias))
    edges = tuple(torch.cat([t[:1], t[-1:]]).cpu() for t in inputs)
    return inputs, edges


def edge_stats(B, edge_ref, device="cuda"):
    """logsumexp and delta of the whole call: the edge batches' from their reference, zero in
    the batches no edge block reads."""
    stats = {}
    for name in ("lse", "delta"):
        edge = edge_ref[name]
        full = torch.zeros((B, *edge.shape[1:]), dtype=edge.dtype)
        full[0], full[B - 1] = edge[0], edge[1]
        stats[name] = full.to(device)
    return stats


def edge_spans(total, span, k=EDGE_BLOCKS):
    """Lengths of the prefix and the suffix of `total` elements that the first and last k
    blocks of a one-dimensional grid of `span`-element blocks cover."""
    blocks = -(-total // span)
    if blocks <= 2 * k:
        return total, total
    return k * span, total - (blocks - k) * span


def assert_edges_within(got, expected, bound, prefix, suffix, what):
    """The first `prefix` elements of batch 0 and the last `suffix` of batch B-1 of `got`
    against the 2-batch reference of the edge batches."""
    flat, ref, lim = got.reshape(got.shape[0], -1), expected.reshape(2, -1), bound.reshape(2, -1)
    assert prefix > 0 and suffix > 0
    assert_within(flat[0, :prefix], ref[0, :prefix], lim[0, :prefix], f"{what} of the first edge block")
    assert_within(flat[-1, -suffix:], ref[1, -suffix:], lim[1, -suffix:], f"{what} of the last edge block")
