"""The references that the backward GPU suite relies on, checked where no GPU is needed: the FP32
fma emulation against exact rational arithmetic, the FP32 emulations against float64, and the
layer built from the module's functions (here their plain PyTorch versions) against autograd of
the eager layer, for both edge orientations."""
import sys
from fractions import Fraction

import numpy as np
import pytest

from harness import ROOT
from trimul_bwd_reference import (ReferenceModule, dgb_partials, fma32, grouped_fold, ln_backward_rows,
                                  ordered_fold, transpose_partials)

sys.path.insert(0, str(ROOT / "examples"))
import trimul_layer  # noqa: E402


def exact_fma32(a, b, c):
    exact = Fraction(float(a)) * Fraction(float(b)) + Fraction(float(c))
    # the FP32 rounding of an exact rational: nearest of the two neighbours of its float64 rounding
    r = np.float32(float(exact))
    below, above = (np.nextafter(r, np.float32(-np.inf)), r) if Fraction(float(r)) > exact else \
        (r, np.nextafter(r, np.float32(np.inf)))
    d_below, d_above = exact - Fraction(float(below)), Fraction(float(above)) - exact
    if d_below != d_above:
        return below if d_below < d_above else above
    return below if int(below.view(np.uint32)) % 2 == 0 else above


def test_fma32_is_correctly_rounded():
    rng = np.random.default_rng(3)
    a = rng.standard_normal(4000).astype(np.float32)
    b = rng.standard_normal(4000).astype(np.float32)
    c = (rng.standard_normal(4000) * 4).astype(np.float32)
    # a false tie: p = 64 - 2^-40 exactly, and p + (2^30 + 128) rounds in float64 to the FP32
    # midpoint 2^30 + 192, whose even neighbour is the wrong FP32 result
    a = np.append(a, np.float32(1 + 2**-23))
    b = np.append(b, np.float32(64 - 2**-17))
    c = np.append(c, np.float32(2**30 + 128))
    naive = (a.astype(np.float64) * b + c).astype(np.float32)
    got = fma32(a, b, c)
    want = np.array([exact_fma32(x, y, z) for x, y, z in zip(a, b, c)], np.float32)
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32))
    assert naive[-1] != want[-1]


def test_emulations_agree_with_float64():
    rng = np.random.default_rng(4)
    rows, C = 77, 96
    x = rng.standard_normal((rows, C)).astype(np.float32)
    g = rng.standard_normal((rows, C)).astype(np.float32)
    gamma = (1 + 0.2 * rng.standard_normal(C)).astype(np.float32)
    mean = x.mean(1).astype(np.float32)
    rstd = (1 / x.std(1)).astype(np.float32)
    xhat = (x.astype(np.float64) - mean[:, None]) * rstd[:, None]
    gg = g.astype(np.float64) * gamma
    want = rstd[:, None] * ((gg - gg.mean(1, keepdims=True)) - (gg * xhat).mean(1, keepdims=True) * xhat)
    np.testing.assert_allclose(ln_backward_rows(x, g, gamma, mean, rstd), want, atol=1e-4, rtol=1e-4)
    sums = np.stack([(g * xhat).sum(0), g.astype(np.float64).sum(0)])
    np.testing.assert_allclose(ordered_fold(dgb_partials(x, g, mean, rstd, 16)), sums, atol=1e-3, rtol=1e-4)
    np.testing.assert_allclose(grouped_fold(transpose_partials(x, g, mean, rstd, 1, rows)), sums, atol=1e-3,
                               rtol=1e-4)


def test_fold_order_is_visible():
    slabs = np.array([[1e8], [1.0], [-1e8]], np.float32)
    assert ordered_fold(slabs)[0] == 0.0      # (1e8 + 1) rounds back to 1e8
    assert ordered_fold(slabs[[0, 2, 1]])[0] == 1.0


@pytest.mark.parametrize("outgoing", [True, False])
@pytest.mark.parametrize("B, N, C", [(2, 5, 32), (1, 9, 64)])
def test_layer_from_the_module_functions_matches_autograd(B, N, C, outgoing):
    p = trimul_layer.make_params(C, seed=N, device="cpu")
    z, mask, grad = trimul_layer.make_inputs(B, N, C, seed=C, device="cpu")
    m = ReferenceModule()
    out, saved = trimul_layer.forward(m, z, mask, p, B, N, outgoing)
    got = trimul_layer.backward(m, grad, saved, p, B, N, outgoing)
    errors = trimul_layer.relative_errors(out, got, z, mask, grad, p, B, N, outgoing)
    assert errors.pop("out") <= 2e-2
    assert max(errors.values()) <= 3e-2, errors
