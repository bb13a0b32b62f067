"""The dK/dV GPU suites' reference and checks: a float64 reference of the gradients, guarded
outputs, the bounds of the comparison and the bit-level checks.

The reference recomputes the forward in float64 from the same BF16 inputs, rounds
logsumexp and delta to FP32 (what the kernel is given), and applies the kernel's BF16
roundings of P and dS before the products. Tolerances are bounds built from the
magnitudes of the terms, not fixed numbers.
"""
import numpy as np
import torch

from harness import BF16, F32, assert_bit_identical, assert_runs_bit_identical, load

NEG_INF = float("-inf")


def scale_of(D):
    return float(np.float32(1.0) / np.sqrt(np.float32(D)))


def module(name, backend=None):
    """A built module by folder name: the backend's (tests/support/backend.py), or the real one."""
    return load(name) if backend is None else backend.load(name)


def synchronize(backend=None):
    if backend is None:
        torch.cuda.synchronize()
    else:
        backend.synchronize()


def make_inputs(B, O, H, N, D, seed, masked=True, device="cuda"):
    """BF16 q, k, v [B,O,H,N,D], d_output [B,O,N,H,D], FP32 mask [B,O,1,1,N], BF16 bias
    [B,1,H,N,N] on `device`. With `masked`: some keys at -inf, one (batch, outer) row with every
    key masked, and one query row of bias at -inf (fully masked attention rows)."""
    g = torch.Generator(device=device).manual_seed(seed)

    def randn(*shape):
        return torch.randn(*shape, device=device, generator=g)

    q, k, v = (randn(B, O, H, N, D).to(BF16) for _ in range(3))
    d_output = randn(B, O, N, H, D).to(BF16)
    mask = randn(B, O, 1, 1, N)
    bias = (2 * randn(B, 1, H, N, N)).to(BF16)
    if masked:
        if N > 1:
            mask[..., ::5] = NEG_INF              # -inf keys in every row
            bias[:, :, 0, N // 2, :] = NEG_INF    # one query row of head 0 fully masked
        mask[B - 1, O - 1] = NEG_INF              # every key of one (batch, outer) row
    return q, k, v, d_output, mask, bias


def exact_sum_inputs(B, O, H, N, D, seed, device="cuda"):
    """The masks and bias of make_inputs with q, k in {-1, 0, 1} and v, d_output in {-2, ..., 2}:
    every product and partial sum of S = q k^T and dP = dO v^T is an integer far below 2^24, so
    FP32 holds them exactly whatever order an MMA step adds them in."""
    _, _, _, _, mask, bias = make_inputs(B, O, H, N, D, seed, device=device)
    g = torch.Generator(device=device).manual_seed(seed)

    def small(limit, *shape):
        return torch.randint(-limit, limit + 1, shape, device=device, generator=g).to(BF16)

    q, k, v = small(1, B, O, H, N, D), small(1, B, O, H, N, D), small(2, B, O, H, N, D)
    return q, k, v, small(2, B, O, N, H, D), mask, bias


def reference(q, k, v, d_output, mask, bias):
    """float64 gradients plus what they are built from; logsumexp and delta in FP32."""
    D = q.shape[-1]
    scale = scale_of(D)
    qd, kd, vd = q.double(), k.double(), v.double()
    do = d_output.double().permute(0, 1, 3, 2, 4)  # logical [B,O,H,N,D]
    s = (qd @ kd.transpose(-1, -2)) * scale + mask.double() + bias.double()
    lse = torch.logsumexp(s, dim=-1).float()
    masked_row = (lse == NEG_INF)[..., None]
    p = torch.where(masked_row, torch.zeros_like(s), torch.exp(s - lse.double()[..., None]))
    out = p @ vd
    delta = (do * out).sum(-1).float()
    dp = do @ vd.transpose(-1, -2)
    ds = p * (dp - delta.double()[..., None])
    p_bf = p.float().to(BF16).double()
    ds_bf = ds.float().to(BF16).double()
    dv = p_bf.transpose(-1, -2) @ do
    dk = scale * (ds_bf.transpose(-1, -2) @ qd)
    # the same without the BF16 roundings of P and dS, which the kernel must be farther from
    dv_unrounded = p.transpose(-1, -2) @ do
    dk_unrounded = scale * (ds.transpose(-1, -2) @ qd)
    # Error bounds, term by term. The kernel's score minus logsumexp carries the FP32
    # accumulation of S and the roundings of the fma, the bias add and the subtraction
    # (e_s); P adds the approximate exponential (relative 2^-21 covers it and the rounded
    # multiplication by log2e); dP carries its FP32 accumulation (e_dp). A BF16 rounding
    # of P or dS can land one ulp (at most 2^-7 relative) away from the reference's when
    # the two values straddle a rounding point; the outputs are rounded to BF16 (half an
    # ulp, 2^-8 relative) and accumulate in FP32.
    finite_lse = torch.where(masked_row, torch.zeros_like(s), lse.double()[..., None])
    finite_s = torch.where(torch.isfinite(s), s, torch.zeros_like(s))
    e_s = 2.0**-20 * scale * (qd.abs() @ kd.abs().transpose(-1, -2)) + 2.0**-22 * (finite_s.abs() + finite_lse.abs())
    e_p = p * (e_s + 2.0**-21 + 2.0**-23 * (finite_s - finite_lse).abs())
    e_dp = 2.0**-18 * ((do.abs() @ vd.abs().transpose(-1, -2)) + delta.double().abs()[..., None])
    e_ds = e_p * (dp - delta.double()[..., None]).abs() + p * e_dp
    dv_bound = (2.0**-7 * p + e_p).transpose(-1, -2) @ do.abs() + 2.0**-8 * dv.abs() + 1e-30
    dk_bound = scale * ((2.0**-7 * ds.abs() + e_ds).transpose(-1, -2) @ qd.abs()) + 2.0**-8 * dk.abs() + 1e-30
    pdp = p * dp
    # the in-block tree and the fold add at most a few hundred FP32 terms per row
    pdp_bound = e_p * dp.abs() + p * e_dp + 2.0**-14 * (p * dp.abs())
    return dict(lse=lse, delta=delta, p=p, pdp=pdp, pdp_bound=pdp_bound, dk=dk, dv=dv, dk_bound=dk_bound,
                dv_bound=dv_bound, dk_unrounded=dk_unrounded, dv_unrounded=dv_unrounded, ds=ds, e_ds=e_ds)


def guarded(shape, dtype, guard=1027, device="cuda"):
    """An output view inside a NaN-filled buffer, and the buffer itself. The odd guard
    puts the view at an odd element offset (the kernels store element by element)."""
    count = int(np.prod(shape))
    buffer = torch.full((guard + count + guard,), float("nan"), device=device, dtype=dtype)
    return buffer[guard:guard + count].view(shape), buffer, guard, count


def assert_guards_intact(buffer, guard, count, what):
    bits = buffer.view(torch.int16 if buffer.dtype == BF16 else torch.int32)
    nan_bits = torch.full((1,), float("nan"), device=buffer.device, dtype=buffer.dtype).view(bits.dtype)
    assert torch.equal(bits[:guard], nan_bits.expand(guard)), f"{what}: guard band before the view was written"
    assert torch.equal(bits[guard + count:], nan_bits.expand(bits.numel() - guard - count)), \
        f"{what}: guard band after the view was written"


def run(inputs, ref, delta_true, extra_partials=0, forced=None, backend=None, owned=None):
    """Calls one entry of `backend`'s module (the real one without) with guarded outputs on the
    inputs' device; returns the outputs after checking the guards. With `forced` (the test-only
    cp.async module) its kernels run instead of the entry; they write the partials but no
    delta_true (the fold is not theirs). With `owned` (batch-outer indices b*O + o, see
    edge_pairs) only the outputs of those (b, o) pairs must have been written."""
    q, k, v, d_output, mask, bias = inputs
    B, O, H, N, D = q.shape
    rows, key_blocks = B * O * H * N, (N + 63) // 64
    dk, dk_buf, g, n = guarded(q.shape, BF16, device=q.device)
    dv, dv_buf, _, _ = guarded(q.shape, BF16, device=q.device)
    args = [q, k, v, d_output, ref["lse"], ref["delta"], mask, bias, dk, dv]
    if delta_true:
        partials, p_buf, pg, pn = guarded((rows * key_blocks + extra_partials,), F32, guard=64, device=q.device)
    if forced is not None:
        forced.dkdv_mma_out(*args, partials if delta_true else None)
    elif delta_true:
        out_dt, t_buf, tg, tn = guarded((B, O, H, N), F32, guard=64, device=q.device)
        module("dkdv", backend).kestrovane_triangle_dkdv_delta_true_out(*args, partials, out_dt)
    else:
        module("dkdv", backend).kestrovane_triangle_dkdv_out(*args)
    synchronize(backend)
    assert_guards_intact(dk_buf, g, n, "out_dk")
    assert_guards_intact(dv_buf, g, n, "out_dv")
    result = dict(dk=dk, dv=dv)
    if delta_true:
        # the partials past rows*key_blocks are never touched
        assert_guards_intact(p_buf, pg, rows * key_blocks, "delta_true_partials")
        result.update(partials=partials[:rows * key_blocks].view(B * O * H, key_blocks, N))
        if forced is None:
            assert_guards_intact(t_buf, tg, tn, "out_delta_true")
            result.update(delta_true=out_dt)
    for name, t in result.items():
        if owned is not None:
            t = t.reshape(B * O, -1)[owned]  # every output is (b, o)-major
        assert not t.isnan().any(), f"{name} has elements the kernels did not write"
    return result


def assert_within(got, expected, bound, what):
    err = (got.double() - expected).abs()
    excess = err - bound
    assert (excess <= 0).all(), f"{what}: {(excess > 0).sum().item()} elements outside the bound, " \
                                f"worst excess {excess.max().item():.3e}"


def fold(partials):
    """The key-block partials of each row added in ascending block order, in FP32."""
    total = torch.zeros_like(partials[:, 0, :])
    for block in range(partials.shape[1]):
        total = total + partials[:, block, :]
    return total


def check_against_reference(inputs, ref, out):
    assert_within(out["dv"], ref["dv"], ref["dv_bound"], "dV")
    assert_within(out["dk"], ref["dk"], ref["dk_bound"], "dK")
    if inputs[0].shape[3] >= 32:
        # over many elements the BF16 roundings of P and dS show: the outputs lie closer to
        # the reference that applies them than to the one that does not
        for name in ("dv", "dk"):
            got = out[name].double()
            assert (got - ref[name]).norm() < (got - ref[name + "_unrounded"]).norm(), name
    if "partials" in out:
        B, O, H, N, D = inputs[0].shape
        kb = (N + 63) // 64
        pdp = torch.nn.functional.pad(ref["pdp"], (0, 64 * kb - N)).reshape(B * O * H, N, kb, 64)
        bound = torch.nn.functional.pad(ref["pdp_bound"], (0, 64 * kb - N)).reshape(B * O * H, N, kb, 64)
        assert_within(out["partials"], pdp.sum(-1).transpose(1, 2), bound.sum(-1).transpose(1, 2) + 1e-30,
                      "delta_true partials")
        assert_within(out["delta_true"], ref["pdp"].sum(-1), ref["pdp_bound"].sum(-1) + 1e-30, "delta_true")
        # the fold adds each row's partials in ascending key-block order, so its result
        # is exactly the FP32 left fold of the partials that the call returned
        assert_bit_identical(out["delta_true"].view(-1), fold(out["partials"]).view(-1), "delta_true vs fold")


def check_masked(inputs, ref, out):
    """Masked keys and fully masked rows contribute exactly zero."""
    q, k, v, d_output, mask, bias = inputs
    B, O, H, N, D = q.shape
    masked_keys = (mask[:, :, 0, 0, :] == NEG_INF)[:, :, None, :, None].expand(B, O, H, N, D)
    for name in ("dk", "dv"):
        assert (out[name][masked_keys] == 0).all(), f"{name} of a masked key is not zero"
    if "delta_true" in out:
        masked_rows = ref["lse"] == NEG_INF
        assert masked_rows.any()
        assert (out["delta_true"][masked_rows] == 0).all()


def check_entries(inputs, backend=None):
    """Both entries on `inputs`: the gradients within the reference's bounds, masked keys and
    rows exactly zero, and the plain entry's dK and dV equal to the delta_true entry's to the
    bit. Returns the reference and the delta_true entry's outputs."""
    ref = reference(*inputs)
    out = run(inputs, ref, delta_true=True, backend=backend)
    check_against_reference(inputs, ref, out)
    check_masked(inputs, ref, out)
    plain = run(inputs, ref, delta_true=False, backend=backend)
    assert_bit_identical(plain["dk"], out["dk"], "dK of the two entries")
    assert_bit_identical(plain["dv"], out["dv"], "dV of the two entries")
    return ref, out


def fp32_rows(q, k, v, d_output, mask, bias):
    """logsumexp and delta computed in FP32 on the inputs' device: the kind of inputs the kernels get,
    for runs that are compared with each other rather than with the reference."""
    s = (q.float() @ k.float().transpose(-1, -2)) * scale_of(q.shape[-1]) + mask + bias.float()
    lse = torch.logsumexp(s, dim=-1)
    p = torch.exp(s - lse[..., None]).nan_to_num(0.0)  # a fully masked row: lse -inf, P 0
    delta = (d_output.float().permute(0, 1, 3, 2, 4) * (p @ v.float())).sum(-1)
    return dict(lse=lse.contiguous(), delta=delta.contiguous())


def assert_reruns_bit_identical(inputs, runs=20, backend=None):
    """`runs` runs of the delta_true entry (its kernel and the fold) give the same bits in every
    output; each run writes fresh NaN-filled outputs and a partials scratch larger than needed,
    whose guard bands and unused tail run() checks."""
    rows = fp32_rows(*inputs)
    assert_runs_bit_identical(lambda: run(inputs, rows, delta_true=True, extra_partials=100, backend=backend), runs,
                              f"D={inputs[0].shape[-1]} N={inputs[0].shape[3]} rerun")


# The fewest (b, o) pairs that put the batch-outer index on grid x and the key blocks on z
# (dkdv_plan.h grid_for: B*O above 65535 swaps the two).
SWAPPED_PAIRS = 65536


def swapped_grid_shape(N, square):
    """(B, O, H) of SWAPPED_PAIRS (b, o) pairs of one head: two batches, or O = N."""
    return (SWAPPED_PAIRS // N, N, 1) if square else (2, SWAPPED_PAIRS // 2, 1)


def edge_pairs(B, O, H, N, k):
    """The batch-outer indices b*O + o all of whose outputs (dK and dV rows, the partials and the
    delta_true of its H*N rows) are written when the model runs only the blocks whose every grid
    coordinate lies within k of either end of its axis (KESTROVANE_EMULATOR_EDGE_BLOCKS=k). The
    dK/dV grid is (key blocks, H, B*O) up to 65535 pairs and (B*O, H, key blocks) above (dkdv_plan.h
    grid_for); the fold's is one block of 256 rows per x coordinate over the rows slice*N + n."""
    pairs, key_blocks, rows = B * O, (N + 63) // 64, B * O * H * N

    def near(c, extent):
        return k == 0 or c < k or c >= extent - min(k, extent)

    if not all(near(h, H) for h in range(H)) or not all(near(kb, key_blocks) for kb in range(key_blocks)):
        return []  # some head or key block of every pair is skipped
    on_edge = range(pairs) if k == 0 or pairs <= 2 * k else [*range(k), *range(pairs - k, pairs)]
    fold = (rows + 255) // 256

    def folded(p):
        first, last = p * H * N // 256, ((p + 1) * H * N - 1) // 256
        return all(near(f, fold) for f in range(first, last + 1))

    return [p for p in on_edge if near(p, pairs) and folded(p)]


def edge_inputs(B, O, H, N, D, pairs, seed, device="cuda"):
    """The inputs of make_inputs over [B,O,...] with random values in the (b, o) pairs `pairs` and zeros
    in every other pair (whose outputs no check reads). q, k, v and d_output are read-only views of one
    buffer, each one pair further on (a pair's H*N*D elements are contiguous in either layout), so that
    tens of thousands of pairs cost one input buffer; the four hold distinct values in every pair of
    `pairs`. Every fifth key of those pairs and one query row of head 0 are -inf (when N > 1)."""
    g = torch.Generator(device=device).manual_seed(seed)

    def randn(*shape):
        return torch.randn(*shape, device=device, generator=g)

    s = H * N * D
    total = B * O * s
    buffer = torch.zeros(total + 3 * s, device=device, dtype=BF16)
    for j in sorted({p + i for p in pairs for i in range(4)}):
        buffer[j * s:(j + 1) * s] = randn(s).to(BF16)
    q, k, v = (buffer[i * s:i * s + total].view(B, O, H, N, D) for i in range(3))
    d_output = buffer[3 * s:3 * s + total].view(B, O, N, H, D)
    mask = torch.zeros(B, O, 1, 1, N, device=device)
    for p in pairs:
        b, o = divmod(p, O)
        mask[b, o] = randn(1, 1, N)
        if N > 1:
            mask[b, o, ..., ::5] = NEG_INF
    bias = (2 * randn(B, 1, H, N, N)).to(BF16)
    if N > 1:
        bias[:, :, 0, N // 2, :] = NEG_INF
    return q, k, v, d_output, mask, bias


def check_swapped_grid(backend, monkeypatch, D, N, square, seed):
    """The swapped grid of the smallest shape that needs it (B * O past 65535 pairs), run on
    the edge blocks alone (the whole grid on a GPU), checked on the pairs those blocks own."""
    monkeypatch.setenv("KESTROVANE_EMULATOR_EDGE_BLOCKS", "1")
    B, O, H = swapped_grid_shape(N, square)
    pairs = edge_pairs(B, O, H, N, 1)
    assert pairs == [0, B * O - 1]
    inputs = edge_inputs(B, O, H, N, D, pairs, seed=seed, device=backend.device)
    check_edge_entries(inputs, pairs, backend)


def check_edge_entries(inputs, pairs, backend=None):
    """check_entries restricted to the (b, o) pairs `pairs`: the reference of each pair alone (its
    logsumexp and delta are the only nonzero rows given to the kernels), both entries' dK and dV
    and the delta_true entry's partials and delta_true of those pairs against it, and the two
    entries' dK and dV of those pairs equal to the bit. Nothing outside those pairs is read."""
    q, k, v, d_output, mask, bias = inputs
    B, O, H, N, D = q.shape
    assert pairs, "no (b, o) pair is written whole"
    where = [divmod(p, O) for p in pairs]
    parts = [(q[b:b + 1, o:o + 1], k[b:b + 1, o:o + 1], v[b:b + 1, o:o + 1], d_output[b:b + 1, o:o + 1],
              mask[b:b + 1, o:o + 1], bias[b:b + 1]) for b, o in where]
    refs = [reference(*part) for part in parts]
    lse = torch.zeros(B, O, H, N, device=q.device)
    delta = torch.zeros_like(lse)
    for (b, o), ref in zip(where, refs):
        lse[b, o], delta[b, o] = ref["lse"][0, 0], ref["delta"][0, 0]
    rows = dict(lse=lse, delta=delta)

    def owned(out):
        """Copies of each pair's outputs, so that the full-size ones can go."""
        got = []
        for p, (b, o) in zip(pairs, where):
            one = {name: out[name][b:b + 1, o:o + 1].clone() for name in ("dk", "dv", "delta_true") if name in out}
            if "partials" in out:
                one["partials"] = out["partials"][p * H:(p + 1) * H].clone()
            got.append(one)
        return got

    full = owned(run(inputs, rows, delta_true=True, backend=backend, owned=pairs))
    plain = owned(run(inputs, rows, delta_true=False, backend=backend, owned=pairs))
    for p, part, ref, out, out_plain in zip(pairs, parts, refs, full, plain):
        check_against_reference(part, ref, out)
        assert_bit_identical(out_plain["dk"], out["dk"], f"dK of the two entries, pair {p}")
        assert_bit_identical(out_plain["dv"], out["dv"], f"dV of the two entries, pair {p}")
