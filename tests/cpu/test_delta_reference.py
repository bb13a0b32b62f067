"""The float32 emulation that the GPU delta tests compare against, checked on its own:
its fma against exact rational arithmetic, and its order against other orders."""
from fractions import Fraction

import numpy as np

from delta_reference import bf16_inputs, expected_delta, fma_f32, residual_of, rows_in_delta_order

F = np.float32


def exact_fma(a, b, c):
    """Correctly rounded float32 of a*b + c: exact rational sum, then the nearest float32
    (ties to even), found between the float32 neighbours of the rounded float64 value."""
    exact = Fraction(float(a)) * Fraction(float(b)) + Fraction(float(c))
    guess = np.float32(float(exact))
    best = None
    for cand in (np.nextafter(guess, F(-np.inf)), guess, np.nextafter(guess, F(np.inf))):
        err = abs(Fraction(float(cand)) - exact)
        even = int(cand.view(np.uint32)) % 2 == 0
        key = (err, not even)
        if best is None or key < best[0]:
            best = (key, cand)
    return best[1]


ONE_ULP = F(2.0**-23)
# Exact sums a*b + c a hair below or above a float32 midpoint: the float64 sum rounds onto
# the midpoint, and a second rounding to float32 would then go the wrong way.
MIDPOINT_CASES = [
    (F(1 + 2.0**-23), F((1 - 2.0**-23) * 2.0**-24), F(1 + 2.0**-23)),    # below: stays at 1 + ulp
    (F(1 + 2.0**-23), F(2.0**-24), F(1.0)),                              # above: goes up
    (F(1 + 2.0**-23), F(-(1 - 2.0**-23) * 2.0**-24), F(-(1 + 2.0**-23))),
    (F(1.0), F(2.0**-24), F(1.0)),                                       # exact tie: to even
    (F(3.0), F(2.0**-25), F(1 + 2.0**-22)),
]


def test_fma_matches_exact_arithmetic():
    rng = np.random.default_rng(0)
    a = (rng.standard_normal(4000) * np.exp2(rng.integers(-20, 20, 4000))).astype(F)
    b = (rng.standard_normal(4000) * np.exp2(rng.integers(-20, 20, 4000))).astype(F)
    c = (rng.standard_normal(4000) * np.exp2(rng.integers(-20, 20, 4000))).astype(F)
    cases = list(zip(a, b, c)) + MIDPOINT_CASES
    got = fma_f32(*(np.array(column, F) for column in zip(*cases)))
    want = np.array([exact_fma(*case) for case in cases], F)
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32))


def test_midpoint_cases_defeat_a_double_rounding():
    # the cases above are the ones where a product and sum in float64 then float32 is wrong
    a, b, c = (np.array(column, F) for column in zip(*MIDPOINT_CASES[:1]))
    naive = (a.astype(np.float64) * b + c).astype(F)
    assert not np.array_equal(naive, fma_f32(a, b, c))
    assert fma_f32(a, b, c)[0] == F(1 + 2.0**-23)


def test_emulated_order_is_visible_in_the_bits():
    # On the GPU tests' inputs the lane-then-butterfly order gives other bits than a plain
    # sequential sum or a float64 sum for many rows, so a kernel with another order fails them.
    dO, O = bf16_inputs([2, 3, 5, 3, 100], 1), bf16_inputs([2, 3, 5, 3, 100], 2)
    ours = expected_delta(dO, O)
    a, o = rows_in_delta_order(dO), rows_in_delta_order(O)
    sequential = np.zeros(a.shape[0], F)
    for d in range(a.shape[1]):
        sequential = sequential + a[:, d] * o[:, d]
    wide = (a.astype(np.float64) * o).sum(1).astype(F)
    assert (ours != sequential).mean() > 0.2 and (ours != wide).mean() > 0.2
    np.testing.assert_allclose(ours, wide, rtol=1e-4, atol=1e-4 * np.abs(a * o).sum(1).max())


def test_shadow_emulation_adds_the_residual_before_the_product():
    dO, O = bf16_inputs([1, 2, 4, 3, 40], 3), bf16_inputs([1, 2, 4, 3, 40], 4)
    S = residual_of(O, 5)
    with_residual = expected_delta(dO, O, S)
    split = expected_delta(dO, O) + expected_delta(dO, S)
    assert (with_residual != split).any()
    wide = (rows_in_delta_order(dO).astype(np.float64) *
            (rows_in_delta_order(O).astype(np.float64) + rows_in_delta_order(S))).sum(1)
    np.testing.assert_allclose(with_residual, wide, rtol=1e-4)

