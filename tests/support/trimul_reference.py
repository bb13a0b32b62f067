"""Float64 reference of the multiplicative-update forward stages, with an error bound per
element built from the kernels' roundings: FP32 single-pass LayerNorm statistics with the
approximate reciprocal square root, BF16 normalised rows and weights, FP32 accumulation,
the approximate exponential and division, and the final BF16 rounding.

The checks take the kernels' own outputs apart stage by stage: the statistics against the
float64 LayerNorm, the normalised rows against the returned statistics, and the gated
projections against the returned normalised rows (so that a projection fault is told
apart from a LayerNorm fault)."""
import numpy as np
import torch

EPS = float(np.float32(1e-5))
U32 = 2.0**-24       # unit roundoff of FP32
HALF_BF16 = 2.0**-8  # relative half-ulp of BF16
APPROX = 2.0**-20    # relative error allowance of ex2.approx, div.approx and rsqrt.approx
TINY = 2.0**-126


def bf16(values):
    """float64 array of the BF16 roundings (nearest even) of `values`."""
    return torch.from_numpy(np.asarray(values, np.float32)).to(torch.bfloat16).double().numpy()


def f64(tensor):
    return tensor.detach().cpu().double().numpy()


def rows_of_channel_major(x, B, H, NN):
    """[B*H, NN] channel-major -> [B*NN, H] row-major (element (b, h, p) to row b*NN + p)."""
    return x.reshape(B, H, NN).transpose(0, 2, 1).reshape(B * NN, H)


def channel_major_of_rows(y, B, H, NN):
    return y.reshape(B, NN, H).transpose(0, 2, 1).reshape(B * H, NN)


def assert_within(got, want, tol, what):
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    assert got.shape == want.shape, f"{what}: shape {got.shape} != {want.shape}"
    bad = ~(np.abs(got - want) <= tol)
    if bad.any():
        i = np.unravel_index(np.argmax(np.where(bad, np.abs(got - want) - tol, -np.inf)), got.shape)
        raise AssertionError(f"{what}: {bad.sum()} of {got.size} outside the bound; worst at {i}: "
                             f"got {got[i]!r}, want {want[i]!r}, bound {tol[i]!r}")


def check_statistics(x, mean, rstd, what):
    """x [rows, C] of BF16 values; mean and rstd as returned (FP32)."""
    C = x.shape[1]
    mu = x.mean(1)
    ex2 = (x * x).mean(1)
    var = ex2 - mu * mu
    assert_within(mean, mu, (C + 2) * U32 * np.abs(x).mean(1) + TINY, f"{what} mean")
    # FP32 sums of C terms, then the one-pass difference: the variance may be off by this much
    var_err = 2 * (C + 4) * U32 * (ex2 + mu * mu)
    ref = 1.0 / np.sqrt(var + EPS)
    assert_within(rstd, ref, ref * (0.5 * var_err / (var + EPS) + APPROX), f"{what} rstd")


def check_normalised(x, ln, mean, rstd, gamma, beta, what):
    """ln [rows, C] as returned, against the LayerNorm of x with the returned statistics."""
    t = (x - mean[:, None]) * rstd[:, None]
    y = gamma * t + beta
    fp32 = 4 * U32 * (np.abs(gamma * t) + np.abs(beta))
    assert_within(ln, y, HALF_BF16 * (np.abs(y) + fp32) + fp32 + TINY, what)


def projection(ln, w):
    """FP32-accumulated product of BF16 rows and the BF16-rounded weights: value and bound."""
    wb = bf16(w)
    return ln @ wb.T, 2 * ln.shape[1] * U32 * (np.abs(ln) @ np.abs(wb).T) + TINY


def gated(value, value_err, logit, logit_err):
    """value * sigmoid(logit) and its bound before the final BF16 rounding."""
    s = 1.0 / (1.0 + np.exp(-logit))
    s_err = s * (1 - s) * logit_err + 4 * APPROX * s
    out = value * s
    return out, value_err * s + np.abs(value) * s_err + APPROX * np.abs(out)


def check_bf16(got, want, err, what):
    assert_within(got, want, HALF_BF16 * (np.abs(want) + err) + err + TINY, what)


def check_in_fwd(inputs, outputs, B, NN):
    """inputs: z, w_ap, w_ag, w_bp, w_bg, w_g, mask, gamma, beta (float64 numpy); outputs: a, b,
    g, mean, rstd, zln (float64 numpy), with zln [rows, C] saved."""
    z, w_ap, w_ag, w_bp, w_bg, w_g, mask, gamma, beta = inputs
    a, b, g, mean, rstd, zln = outputs
    H = w_ap.shape[0]
    check_statistics(z, mean, rstd, "trimul_in_fwd")
    check_normalised(z, zln, mean, rstd, gamma, beta, "zln")
    ap, ap_err = projection(zln, w_ap)
    ag, ag_err = projection(zln, w_ag)
    bp, bp_err = projection(zln, w_bp)
    bg, bg_err = projection(zln, w_bg)
    gp, gp_err = projection(zln, w_g)
    m = mask[:, None]
    for name, got, (value, err) in (("a", a, gated(ap, ap_err, ag, ag_err)), ("b", b, gated(bp, bp_err, bg, bg_err))):
        check_bf16(rows_of_channel_major(got, B, H, NN), m * value, np.abs(m) * err, name)
    check_bf16(g, gp, gp_err, "g")


def check_out_fwd(inputs, outputs, B, NN):
    """inputs: x, wz, gate, gamma, beta; outputs: out, xln [H, rows], mean, rstd (saved)."""
    x, wz, gate, gamma, beta = inputs
    out, xln, mean, rstd = outputs
    H = wz.shape[1]
    xr = rows_of_channel_major(x, B, H, NN)
    check_statistics(xr, mean, rstd, "trimul_out_fwd")
    check_normalised(xr, xln.T, mean, rstd, gamma, beta, "xln")
    acc, acc_err = projection(xln.T, wz)
    value, err = gated(acc, acc_err, gate, 0.0)
    check_bf16(out, value, err, "out")
