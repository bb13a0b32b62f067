"""References of the multiplicative update's backward pieces.

- FP32 emulations (numpy) of the kernels whose every rounding is fixed: the LayerNorm dX row
  (lane sums, the shuffle-down tree, correctly rounded divisions), the dGamma/dBeta chunk
  partials and their ordered fold, the transposed backward's half tiles, chunks and 64 groups,
  and the weight-gradient fold. They give the kernels' bits exactly.
- float64 references for the pieces that use the approximate exponential and division
  (sigmoid-multiply, gate split), checked with per-element bounds.
- `ReferenceModule`: the eight functions written plainly in PyTorch (FP32 arithmetic, BF16
  where the module rounds), so that the layer built from them can be checked against autograd
  on a machine without a GPU.
"""
import numpy as np
import torch

F32 = np.float32


# ---------------------------------------------------------------- FP32 primitives

def fma32(a, b, c):
    """fma(a, b, c) rounded once to FP32, elementwise. The product of two FP32 values is exact
    in float64; the float64 sum is corrected where its own rounding would make the FP32
    rounding a false tie."""
    a, b, c = (np.asarray(v, F32).astype(np.float64) for v in (a, b, c))
    p = a * b
    s = p + c
    t = s - p
    err = (p - (s - t)) + (c - t)  # exact: s + err == p + c
    r = s.astype(F32)
    r64 = r.astype(np.float64)
    other = np.nextafter(r, np.where(s > r64, np.inf, -np.inf).astype(F32)).astype(np.float64)
    tie = (r64 != s) & (s == (r64 + other) / 2) & (err != 0)
    # at a false tie the exact value lies on err's side of s
    toward_other = tie & (np.sign(other - s) == np.sign(err))
    return np.where(toward_other, other, r64).astype(F32)


def bf16_bits_round(values):
    """FP32 values rounded to BF16 (nearest even), returned as FP32."""
    return torch.from_numpy(np.ascontiguousarray(values, F32)).to(torch.bfloat16).float().numpy()


def lane_sums(terms, fma_with=None):
    """Per-lane sums over the channel axis (last): lane l adds channels l, l + 32, ... in
    ascending order from 0, with fma(terms, fma_with, s) when fma_with is given."""
    C = terms.shape[-1]
    lanes = np.zeros(terms.shape[:-1] + (32,), F32)
    for j in range(C):
        lane = j % 32
        if fma_with is None:
            lanes[..., lane] = lanes[..., lane] + terms[..., j]
        else:
            lanes[..., lane] = fma32(terms[..., j], fma_with[..., j], lanes[..., lane])
    return lanes


def shuffle_down_total(lanes):
    """Lane 0's total after the shuffle-down tree (offsets 16, 8, 4, 2, 1)."""
    v = lanes.copy()
    for offset in (16, 8, 4, 2, 1):
        v[..., :offset] = v[..., :offset] + v[..., offset:2 * offset]
    return v[..., 0]


# ---------------------------------------------------------------- exact emulations

def ln_backward_rows(x, g, gamma, mean, rstd):
    """dx (FP32, before the BF16 rounding) of rows [R, C]: the warp-per-row kernel's order."""
    x, g, gamma, mean, rstd = (np.asarray(v, F32) for v in (x, g, gamma, mean, rstd))
    C = x.shape[1]
    gg = g * gamma
    xhat = rstd[:, None] * (x - mean[:, None])
    s1 = shuffle_down_total(lane_sums(gg))
    s2 = shuffle_down_total(lane_sums(gg, fma_with=xhat))
    a = s1 / F32(C)
    b = s2 / F32(C)
    return rstd[:, None] * ((gg - a[:, None]) - b[:, None] * xhat)


def dgb_partials(x, g, mean, rstd, rows_per_chunk):
    """[chunks, 2, C]: each chunk's dGamma (fma chain) and dBeta sums over its rows in order."""
    x, g, mean, rstd = (np.asarray(v, F32) for v in (x, g, mean, rstd))
    rows, C = x.shape
    chunks = -(-rows // rows_per_chunk)
    out = np.zeros((chunks, 2, C), F32)
    xhat = (x - mean[:, None]) * rstd[:, None]
    for k in range(chunks):
        dg = np.zeros(C, F32)
        db = np.zeros(C, F32)
        for r in range(k * rows_per_chunk, min((k + 1) * rows_per_chunk, rows)):
            dg = fma32(g[r], xhat[r], dg)
            db = db + g[r]
        out[k, 0], out[k, 1] = dg, db
    return out


def ordered_fold(partials):
    """Sum over the leading axis in ascending order, from 0."""
    acc = np.zeros(partials.shape[1:], F32)
    for p in np.asarray(partials, F32):
        acc = acc + p
    return acc


def transpose_partials(x_rows, g_rows, mean, rstd, B, NN):
    """[B * tiles, 2, H]: per 32-position tile the sum of its two half-tile sums."""
    x_rows, g_rows, mean, rstd = (np.asarray(v, F32) for v in (x_rows, g_rows, mean, rstd))
    H = x_rows.shape[1]
    tiles = -(-NN // 32)
    out = np.zeros((B * tiles, 2, H), F32)
    xhat = (x_rows - mean[:, None]) * rstd[:, None]
    for b in range(B):
        for t in range(tiles):
            halves = np.zeros((2, 2, H), F32)
            for q in range(2):
                for s in range(16 * q, min(16 * q + 16, NN - 32 * t)):
                    r = b * NN + 32 * t + s
                    halves[q, 0] = fma32(g_rows[r], xhat[r], halves[q, 0])
                    halves[q, 1] = halves[q, 1] + g_rows[r]
            out[b * tiles + t] = halves[0] + halves[1]
    return out


def grouped_fold(chunk_partials, groups=64):
    """Chunks dealt to `groups` runs of ceil(chunks / groups), each summed in order, then the
    groups summed in order."""
    chunks = chunk_partials.shape[0]
    per_group = -(-chunks // groups)
    group_sums = np.zeros((groups,) + chunk_partials.shape[1:], F32)
    for gi in range(groups):
        group_sums[gi] = ordered_fold(chunk_partials[gi * per_group:min(gi * per_group + per_group, chunks)])
    return ordered_fold(group_sums)


# ---------------------------------------------------------------- float64 references

def sigmoid64(v):
    return 1.0 / (1.0 + np.exp(-np.asarray(v, np.float64)))


# ---------------------------------------------------------------- the module, in plain PyTorch

def _bf16(t):
    return t.to(torch.bfloat16)


def _rows(x, B, H, NN):
    return x.float().reshape(B, H, NN).permute(0, 2, 1).reshape(B * NN, H)


def _planes(y, B, H, NN):
    return y.reshape(B, NN, H).permute(0, 2, 1).reshape(B * H, NN)


def _layer_norm_stats(x):
    mean = x.mean(1)
    var = (x * x).mean(1) - mean * mean
    return mean, torch.rsqrt(var + 1e-5)


def _ln_backward(x, g, gamma, mean, rstd):
    xhat = (x - mean[:, None]) * rstd[:, None]
    gg = g * gamma
    return rstd[:, None] * ((gg - gg.mean(1, keepdim=True)) - (gg * xhat).mean(1, keepdim=True) * xhat), xhat


class ReferenceModule:
    """The eight functions of the module in plain PyTorch on any device, with the module's
    BF16 roundings and none of its fixed orders."""

    @staticmethod
    def trimul_in_fwd(z, w_ap, w_ag, w_bp, w_bg, w_g, mask, gamma, beta, B, NN, C, H, save_zln):
        mean, rstd = _layer_norm_stats(z.float())
        zln = _bf16((z.float() - mean[:, None]) * rstd[:, None] * gamma + beta)
        ap, ag, bp, bg, gp = (zln.float() @ _bf16(w).float().t() for w in (w_ap, w_ag, w_bp, w_bg, w_g))
        a = _bf16(_planes(mask[:, None] * ap * torch.sigmoid(ag), B, H, NN))
        b = _bf16(_planes(mask[:, None] * bp * torch.sigmoid(bg), B, H, NN))
        return [a, b, _bf16(gp), mean, rstd, zln if save_zln else zln[:0]]

    @staticmethod
    def trimul_out_fwd(x, wz, gate, gamma, beta, B, NN, C, H, save_xln):
        xr = _rows(x, B, H, NN)
        mean, rstd = _layer_norm_stats(xr)
        xln = _bf16((xr - mean[:, None]) * rstd[:, None] * gamma + beta)
        out = _bf16((xln.float() @ _bf16(wz).float().t()) * torch.sigmoid(gate.float()))
        return [out, xln.t().contiguous(), mean, rstd]

    @staticmethod
    def trimul_gate_split_bwd(zln, w_ap, w_ag, w_bp, w_bg, mask, d_a, d_b, d_proj5, B, NN, C, H):
        m = mask[:, None]
        for first, (wv, wg, d) in ((0, (w_ap, w_ag, d_a)), (2, (w_bp, w_bg, d_b))):
            value, logit = (zln.float() @ _bf16(w).float().t() for w in (wv, wg))
            s = torch.sigmoid(logit)
            dv = _rows(d, B, H, NN)
            d_proj5[:, first * H:(first + 1) * H] = _bf16(m * dv * s)
            d_proj5[:, (first + 1) * H:(first + 2) * H] = _bf16(m * value * dv * s * (1 - s))
        return d_proj5

    @staticmethod
    def sig_mul_bwd_out(out, gate, grad_out, dgate_dst, H, dgate_stride):
        s = torch.sigmoid(gate.float())
        dgate_dst.copy_(_bf16((1 - s) * grad_out.float() * out.float()))
        return _bf16(s * grad_out.float())

    @staticmethod
    def ln_bwd_dx(input, grad_out, rows, row_stride, col_stride, gamma, mean, rstd):
        return _bf16(_ln_backward(input.float(), grad_out.float(), gamma, mean, rstd)[0])

    @staticmethod
    def ln_bwd_dgb(input, grad_out, rows, row_stride, col_stride, C, mean, rstd):
        xhat = (input.float() - mean[:, None]) * rstd[:, None]
        return [(grad_out.float() * xhat).sum(0), grad_out.float().sum(0)]

    @staticmethod
    def transpose_ln_bwd(x, d_xln, N, H, B, gamma, mean, rstd):
        NN = N * N
        dx, xhat = _ln_backward(_rows(x, B, H, NN), d_xln.float(), gamma, mean, rstd)
        return [_bf16(_planes(dx, B, H, NN)).reshape(B * H, N, N), (d_xln.float() * xhat).sum(0),
                d_xln.float().sum(0)]

    @staticmethod
    def trimul_wgrad_fixed_fold(partials, accumulator, overwrite):
        total = partials.sum(0)
        return accumulator.copy_(total) if overwrite else accumulator.add_(total)
