"""kestrovane_triangle_delta_out and kestrovane_triangle_delta_shadow_out validation
through the real entries, in their check order."""
import pytest
import torch

from harness import (BF16, F32, FAKE_DEVICE, OTHER_DEVICE, assert_fails_with, assert_passes_validation,
                     call_error, expected_condition, fake, guard_failure, load)

C1 = expected_condition("d_output.is_cuda() && d_output.dtype() == torch::kBFloat16")
C2 = expected_condition("d_output.dim() == 5 && d_output.size(-1) > 0")
C3 = expected_condition("output.is_cuda() && output.device() == d_output.device() && "
                        "output.dtype() == torch::kBFloat16 && output.sizes() == d_output.sizes()")
C4 = expected_condition("d_output.is_contiguous() && output.is_contiguous()")
HEAD = "head dimension exceeds the CUDA int indexing contract"
EXTENT = "d_output sizes 2 and 3 (N and H) exceed the CUDA int indexing contract"
C7 = expected_condition("delta.is_cuda() && delta.device() == d_output.device() && "
                        "delta.dtype() == torch::kFloat32 && delta.is_contiguous()")
C8 = expected_condition("delta.numel() == rows")
GRID = "delta launch exceeds the CUDA grid-x contract"
SHADOW = "shadow_residual must be contiguous BF16 matching output"

INT_MAX = 2**31 - 1
MAX_ROWS = 8 * INT_MAX
SIZES = [2, 3, 5, 4, 8]  # [B, O, N, H, D]
ROWS = 2 * 3 * 5 * 4


def dO(sizes=SIZES, **kw):
    return fake(sizes, **kw)


def delta(numel=ROWS, **kw):
    return fake([numel], F32, **kw)


def rows_of(sizes):
    n = 1
    for s in sizes[:-1]:
        n *= s
    return n


def same(sizes, numel=None):
    """d_output, output and delta that agree, for sizes that must reach a later check."""
    return dO(sizes), dO(sizes), delta(rows_of(sizes) if numel is None else numel)


def noncontiguous(sizes=SIZES, dtype=BF16):
    # the last two dimensions swapped in memory
    *outer, h, d = sizes
    strides = []
    step = h * d
    for s in reversed(outer):
        strides.insert(0, step)
        step *= s
    return fake(sizes, dtype, strides=strides + [1, h])


# Each case: name -> (factory of (d_output, output, delta), expected text). Both entries run
# these checks in this order.
CASES = {
    # 1: d_output device and dtype
    "d_output on the CPU": (lambda: (torch.zeros(SIZES, dtype=BF16), dO(), delta()), C1),
    "d_output FP32": (lambda: (dO(dtype=F32), dO(), delta()), C1),
    "d_output FP32 and 4-D": (lambda: (fake([2, 3, 5, 4], F32), dO(), delta()), C1),
    # 2: rank and head dimension
    "d_output 4-D": (lambda: (fake([2, 3, 5, 4]), dO(), delta()), C2),
    "D = 0": (lambda: (dO([2, 3, 5, 4, 0]), dO([2, 3, 5, 4, 0]), delta()), C2),
    "D = 0 before output on the CPU": (lambda: (dO([2, 3, 5, 4, 0]), torch.zeros(2), delta()), C2),
    # 3: output against d_output
    "output on the CPU": (lambda: (dO(), torch.zeros(SIZES, dtype=BF16), delta()), C3),
    "output on another device": (lambda: (dO(), dO(device=OTHER_DEVICE), delta()), C3),
    "output FP32": (lambda: (dO(), dO(dtype=F32), delta()), C3),
    "output sizes differ": (lambda: (dO(), dO([2, 3, 4, 5, 8]), delta()), C3),
    "output flattened": (lambda: (dO(), fake([2 * 3 * 5 * 4 * 8]), delta()), C3),
    # 4: contiguity
    "d_output not contiguous": (lambda: (noncontiguous(), dO(), delta()), C4),
    "output not contiguous": (lambda: (dO(), noncontiguous(), delta()), C4),
    "not contiguous before D above the limit":
        (lambda: (noncontiguous([1, 1, 1, 2, 2**31]), noncontiguous([1, 1, 1, 2, 2**31]), delta(2)), C4),
    # 5: head-dimension limit
    "D = 2^31": (lambda: same([1, 1, 1, 1, 2**31]), HEAD),
    "D = 2^31 before N above the limit": (lambda: same([1, 1, 2**31, 1, 2**31]), HEAD),
    # 6: the extents I = N and J = H that the kernels take as int
    "N = 2^32 (would wrap to 0)": (lambda: same([1, 1, 2**32, 1, 1]), EXTENT),
    "N = 2^31 (would wrap negative)": (lambda: same([1, 1, 2**31, 2, 1]), EXTENT),
    "H = 2^31": (lambda: same([1, 1, 1, 2**31, 1]), EXTENT),
    "N above the limit before delta on the CPU": (lambda: (dO([1, 1, 2**31, 1, 1]), dO([1, 1, 2**31, 1, 1]),
                                                          torch.zeros(2)), EXTENT),
    # 7: delta's device, dtype and layout
    "delta on the CPU": (lambda: (dO(), dO(), torch.zeros(ROWS)), C7),
    "delta on another device": (lambda: (dO(), dO(), delta(device=OTHER_DEVICE)), C7),
    "delta BF16": (lambda: (dO(), dO(), fake([ROWS])), C7),
    "delta not contiguous": (lambda: (dO(), dO(), fake([4, 30], F32, strides=[1, 4])), C7),
    "delta BF16 with the wrong count": (lambda: (dO(), dO(), fake([ROWS + 1])), C7),
    # 8: delta's element count only
    "delta one element more": (lambda: (dO(), dO(), delta(ROWS + 1)), C8),
    "delta one element less": (lambda: (dO(), dO(), delta(ROWS - 1)), C8),
    "delta [B,O,H,N] plus one row": (lambda: (dO(), dO(), fake([2, 3, 4, 6], F32)), C8),
    "wrong count before the grid limit": (lambda: same([MAX_ROWS + 1, 1, 1, 1, 1], MAX_ROWS), C8),
    # 9: grid x
    "rows = 8*(2^31-1) + 1": (lambda: same([MAX_ROWS + 1, 1, 1, 1, 1]), GRID),
    "N = H = 2^31-1": (lambda: same([1, 1, INT_MAX, INT_MAX, 1]), GRID),
}

ENTRIES = ["plain", "shadow"]


def call(entry, d_output, output, delta_t, shadow=None):
    m = load("delta")
    if entry == "plain":
        return m.kestrovane_triangle_delta_out, (d_output, output, delta_t)
    if shadow is None:
        # a residual that passes its own check whenever output is a CUDA tensor
        shadow = fake(output.shape, BF16, output.device.index) if output.is_cuda else torch.zeros(1, dtype=BF16)
    return m.kestrovane_triangle_delta_shadow_out, (d_output, output, shadow, delta_t)


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("name", CASES)
def test_delta_rejects(entry, name):
    make, expected = CASES[name]
    d_output, output, delta_t = make()
    if entry == "shadow" and not output.is_cuda:
        expected = SHADOW  # the residual cannot be on a CPU output's device
    fn, args = call(entry, d_output, output, delta_t)
    assert_fails_with(fn, args, expected)


PASSING = {
    "small": lambda: same(SIZES),
    "delta [B,O,H,N]": lambda: (dO(), dO(), fake([2, 3, 4, 5], F32)),
    "delta [B*O*H*N]": lambda: (dO(), dO(), delta()),
    "delta in any shape of the count": lambda: (dO(), dO(), fake([5, 1, 24], F32)),
    "delta a view at an offset": lambda: (dO(), dO(), fake([ROWS], F32, offset=4)),
    "D = 1": lambda: same([2, 3, 5, 4, 1]),
    "D = 40": lambda: same([1, 1, 3, 3, 40]),
    "D = 2^31-1": lambda: same([1, 1, 1, 1, INT_MAX]),
    "N = 2^31-1": lambda: same([1, 1, INT_MAX, 1, 1]),
    "H = 2^31-1": lambda: same([1, 1, 1, INT_MAX, 1]),
    "rows = 8*(2^31-1)": lambda: same([MAX_ROWS, 1, 1, 1, 1]),
    "rows = 8*(2^31-1) with H = 2^31-1": lambda: same([2, 4, 1, INT_MAX, 1]),
    "B above the int range": lambda: same([2**33, 1, 1, 1, 1]),
}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("name", PASSING)
def test_delta_passes_validation(entry, name):
    fn, args = call(entry, *PASSING[name]())
    assert_passes_validation(fn, *args)


SHADOW_CASES = {
    "residual FP32 before d_output on the CPU":
        (lambda: (torch.zeros(SIZES, dtype=BF16), dO(), dO(dtype=F32), delta()), SHADOW),
    "residual on the CPU": (lambda: (dO(), dO(), torch.zeros(SIZES, dtype=BF16), delta()), SHADOW),
    "residual on another device": (lambda: (dO(), dO(), dO(device=OTHER_DEVICE), delta()), SHADOW),
    "residual sizes differ": (lambda: (dO(), dO(), dO([2, 3, 4, 5, 8]), delta()), SHADOW),
    "residual flattened": (lambda: (dO(), dO(), fake([ROWS * 8]), delta()), SHADOW),
    "residual not contiguous": (lambda: (dO(), dO(), noncontiguous(), delta()), SHADOW),
    # the residual is compared with output, so a residual matching a wrong output passes its check
    "residual matches a wrong output": (lambda: (dO(), dO([2, 3, 4, 5, 8]), dO([2, 3, 4, 5, 8]), delta()), C3),
}


@pytest.mark.parametrize("name", SHADOW_CASES)
def test_shadow_residual_is_checked_first(name):
    make, expected = SHADOW_CASES[name]
    d_output, output, shadow, delta_t = make()
    assert_fails_with(*call("shadow", d_output, output, delta_t, shadow), expected)


ZERO_ROWS = [[0, 3, 5, 4, 8], [2, 0, 5, 4, 8], [2, 3, 0, 4, 8], [2, 3, 5, 0, 8], [0, 0, 0, 0, INT_MAX]]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("sizes", ZERO_ROWS, ids=lambda s: "x".join(map(str, s)))
def test_zero_rows_return_without_launching(entry, sizes):
    # The fake tensors' device does not exist: a call that went on to the device guard,
    # the probe or a launch would raise.
    fn, args = call(entry, *same(sizes))
    assert fn(*args) is None


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("make, expected", [
    (lambda: same([0, 3, 5, 4, 8], 1), C8),
    (lambda: (dO([0, 3, 5, 4, 8]), dO([0, 3, 5, 4, 8], dtype=F32), delta(0)), C3),
    (lambda: (dO([0, 3, 5, 4, 8]), dO([0, 3, 5, 4, 8]), fake([0])), C7),
    (lambda: same([0, 1, 2**31, 1, 1]), EXTENT),
], ids=["delta count", "output dtype", "delta dtype", "N above the limit"])
def test_zero_rows_are_still_validated(entry, make, expected):
    assert_fails_with(*call(entry, *make()), expected)


def test_fake_device_is_the_default():
    # the passing cases rely on the guard failing for the fake device
    m = load("delta")
    assert fake([1]).device.index == FAKE_DEVICE
    assert guard_failure(call_error(m.kestrovane_triangle_delta_out, *same(SIZES)))
