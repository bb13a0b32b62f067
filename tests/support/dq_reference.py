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
