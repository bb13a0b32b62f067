"""trimul_in_fwd and trimul_out_fwd validation through the real entries with fake CUDA
tensors: every message in full, in the entries' check order (the first failure wins)."""
import pytest
import torch

from harness import BF16, F32, OTHER_DEVICE, assert_fails_with, assert_passes_validation, fake, load

B, NN, C = 2, 12, 32
ROWS = B * NN
INT64_MAX = 2**63 - 1


def tensor_extents(B_, NN_, H):
    """(B, NN) for the tensors' sizes: the defaults where the extents themselves must fail."""
    return (B_, NN_) if B_ > 0 and NN_ > 0 and B_ * NN_ * max(H, 1) < 2**62 else (B, NN)


def in_args(B=B, NN=NN, C=C, H=None, save=True, **tensors):
    """trimul_in_fwd arguments that pass validation, with `tensors` replacing some of them."""
    H = C if H is None else H
    tb, tnn = tensor_extents(B, NN, H)
    rows = tb * tnn
    t = dict(z=lambda: fake([rows, C]), w_ap=lambda: fake([H, C], F32), w_ag=lambda: fake([H, C], F32),
             w_bp=lambda: fake([H, C], F32), w_bg=lambda: fake([H, C], F32), w_g=lambda: fake([H, C], F32),
             mask=lambda: fake([rows], F32), gamma=lambda: fake([C], F32), beta=lambda: fake([C], F32))
    t.update(tensors)
    names = ["z", "w_ap", "w_ag", "w_bp", "w_bg", "w_g", "mask", "gamma", "beta"]
    return [t[n]() for n in names] + [B, NN, C, H, save]


def out_args(B=B, NN=NN, C=C, H=None, save=True, **tensors):
    """trimul_out_fwd arguments that pass validation, with `tensors` replacing some of them."""
    H = C if H is None else H
    tb, tnn = tensor_extents(B, NN, H)
    rows = tb * tnn
    t = dict(x=lambda: fake([tb * H, tnn]), wz=lambda: fake([C, H], F32), gate=lambda: fake([rows, C]),
             gamma=lambda: fake([H], F32), beta=lambda: fake([H], F32))
    t.update(tensors)
    return [t[n]() for n in ["x", "wz", "gate", "gamma", "beta"]] + [B, NN, C, H, save]


def requiring_grad(sizes):
    return lambda: fake(sizes, F32).requires_grad_(True)


# Checks that both entries run first, in the same order: channels, then the pair extent.
SHARED = {
    "C = 48": (dict(C=48), ": C must be one of {32, 64, 96, 128}, got 48"),
    "C = 0": (dict(C=0), ": C must be one of {32, 64, 96, 128}, got 0"),
    "H = 16": (dict(H=16), ": H must be one of {32, 64, 96, 128}, got 16"),
    "C = 64, H = 128": (dict(C=64, H=128), ": C and H must be equal, got C=64, H=128"),
    "C = 48 before B = 0": (dict(C=48, B=0), ": C must be one of {32, 64, 96, 128}, got 48"),
    "B = 0": (dict(B=0), ": B must be positive, got 0"),
    "B = -3": (dict(B=-3), ": B must be positive, got -3"),
    "NN = 0": (dict(NN=0), ": NN must be positive, got 0"),
    "B = 0 before NN = 0": (dict(B=0, NN=0), ": B must be positive, got 0"),
    "B = 65536, NN = 1": (dict(B=65536, NN=1), ": B exceeds the production grid-z limit"),
    "B = 65536 before B*NN overflows": (dict(B=65536, NN=2**62), ": B exceeds the production grid-z limit"),
    "B*NN overflows int64": (dict(B=65535, NN=INT64_MAX // 65535 + 1), ": B*NN overflows int64"),
    "B*NN*H overflows before the row limit": (dict(B=1, NN=2**58), ": B*NN*H overflows int64"),
    "rows = 65535 * 2^20": (dict(B=65535, NN=2**20), ": LayerNorm grid-x exceeds the production limit"),
    "rows one above 8*(2^31-1)": (dict(B=1, NN=8 * (2**31 - 1) + 1), ": LayerNorm grid-x exceeds the production limit"),
    "rows * 128 above 256*(2^31-1)": (dict(B=65535, NN=2**18, C=128),
                                      ": sigmoid grid-x exceeds the production limit"),
    "rows * 64 one above 256*(2^31-1)": (dict(B=1, NN=4 * (2**31 - 1) + 1, C=64),
                                         ": sigmoid grid-x exceeds the production limit"),
}


def shape_error(what, sizes):
    return f": {what} has wrong shape; got [{', '.join(map(str, sizes))}]"


IN_CASES = {
    # z: device before dtype, contiguity, rank, shape, alignment (8 bytes)
    "z on the CPU, FP32": (dict(z=lambda: torch.zeros(ROWS, C)), ": z must be a CUDA tensor"),
    "z FP32": (dict(z=lambda: fake([ROWS, C], F32)), ": z has the wrong dtype"),
    "z FP32 before mask on the CPU": (dict(z=lambda: fake([ROWS, C], F32), mask=lambda: torch.zeros(ROWS)),
                                      ": z has the wrong dtype"),
    "z transposed": (dict(z=lambda: fake([ROWS, C], strides=[1, ROWS])), ": z must be contiguous"),
    "z rank 1": (dict(z=lambda: fake([ROWS * C])), f": z has wrong rank; got shape [{ROWS * C}]"),
    "z rank 3": (dict(z=lambda: fake([B, NN, C])), f": z has wrong rank; got shape [{B}, {NN}, {C}]"),
    "z one row short": (dict(z=lambda: fake([ROWS - 1, C])), shape_error("z", [ROWS - 1, C])),
    "z [rows, 64]": (dict(z=lambda: fake([ROWS, 64])), shape_error("z", [ROWS, 64])),
    "z at element 1": (dict(z=lambda: fake([ROWS, C], offset=2)), ": z data pointer must be 8-byte aligned"),
    "z at element 2": (dict(z=lambda: fake([ROWS, C], offset=4)), ": z data pointer must be 8-byte aligned"),
    # weights, each under its own name
    "w_ap on the CPU": (dict(w_ap=lambda: torch.zeros(C, C)), ": w_ap must be a CUDA tensor"),
    "w_ag BF16": (dict(w_ag=lambda: fake([C, C])), ": w_ag has the wrong dtype"),
    "w_bp transposed": (dict(w_bp=lambda: fake([C, C], F32, strides=[1, C])), ": w_bp must be contiguous"),
    "w_bg on another device": (dict(w_bg=lambda: fake([C, C], F32, device=OTHER_DEVICE)),
                               ": w_bg must be on the same CUDA device as the primary input"),
    "w_g [C, H] transposed shape": (dict(C=64, H=64, w_g=lambda: fake([64, 32], F32)), shape_error("w_g", [64, 32])),
    "w_ap rank 1": (dict(w_ap=lambda: fake([C * C], F32)), f": w_ap has wrong rank; got shape [{C * C}]"),
    "w_ag wrong before w_ap is looked at again": (dict(w_ag=lambda: fake([C], F32), w_bp=lambda: torch.zeros(1)),
                                                  ": w_ag has wrong rank; got shape [32]"),
    # mask
    "mask BF16": (dict(mask=lambda: fake([ROWS])), ": mask has the wrong dtype"),
    "mask on another device": (dict(mask=lambda: fake([ROWS], F32, device=OTHER_DEVICE)),
                               ": mask must be on the same CUDA device as the primary input"),
    "mask [B, NN]": (dict(mask=lambda: fake([B, NN], F32)), f": mask has wrong rank; got shape [{B}, {NN}]"),
    "mask one short": (dict(mask=lambda: fake([ROWS - 1], F32)), shape_error("mask", [ROWS - 1])),
    "mask requires gradients": (dict(mask=requiring_grad([ROWS])), "trimul_in_fwd: mask must not require gradients"),
    "mask shape before its gradient flag": (dict(mask=requiring_grad([ROWS + 1])), shape_error("mask", [ROWS + 1])),
    "mask gradient flag before gamma": (dict(mask=requiring_grad([ROWS]), gamma=lambda: torch.zeros(C)),
                                        "trimul_in_fwd: mask must not require gradients"),
    # gamma, beta: 16-byte alignment
    "gamma on the CPU": (dict(gamma=lambda: torch.zeros(C)), ": gamma must be a CUDA tensor"),
    "gamma [H+1]": (dict(gamma=lambda: fake([C + 1], F32)), shape_error("gamma", [C + 1])),
    "gamma at element 1": (dict(gamma=lambda: fake([C], F32, offset=4)),
                           ": gamma data pointer must be 16-byte aligned"),
    "beta at element 2": (dict(beta=lambda: fake([C], F32, offset=8)), ": beta data pointer must be 16-byte aligned"),
    "beta on another device": (dict(beta=lambda: fake([C], F32, device=OTHER_DEVICE)),
                               ": beta must be on the same CUDA device as the primary input"),
    "beta shape": (dict(beta=lambda: fake([1, C], F32)), f": beta has wrong rank; got shape [1, {C}]"),
}

OUT_CASES = {
    # x: channel-major [B*H, NN], 16-byte aligned
    "x on the CPU, FP32": (dict(x=lambda: torch.zeros(B * C, NN)), ": x must be a CUDA tensor"),
    "x FP32": (dict(x=lambda: fake([B * C, NN], F32)), ": x has the wrong dtype"),
    "x transposed": (dict(x=lambda: fake([B * C, NN], strides=[1, B * C])), ": x must be contiguous"),
    "x row-major [rows, H]": (dict(x=lambda: fake([ROWS, C])), shape_error("x", [ROWS, C])),
    "x [B, H, NN]": (dict(x=lambda: fake([B, C, NN])), f": x has wrong rank; got shape [{B}, {C}, {NN}]"),
    "x at element 1": (dict(x=lambda: fake([B * C, NN], offset=2)), ": x data pointer must be 16-byte aligned"),
    "x at element 4": (dict(x=lambda: fake([B * C, NN], offset=8)), ": x data pointer must be 16-byte aligned"),
    # wz [C, H]
    "wz BF16": (dict(wz=lambda: fake([C, C])), ": wz has the wrong dtype"),
    "wz on another device": (dict(wz=lambda: fake([C, C], F32, device=OTHER_DEVICE)),
                             ": wz must be on the same CUDA device as the primary input"),
    "wz [C, H+32]": (dict(wz=lambda: fake([C, C + 32], F32)), shape_error("wz", [C, C + 32])),
    # gate [rows, C], 4-byte aligned
    "gate on the CPU": (dict(gate=lambda: torch.zeros(ROWS, C, dtype=BF16)), ": gate must be a CUDA tensor"),
    "gate FP32": (dict(gate=lambda: fake([ROWS, C], F32)), ": gate has the wrong dtype"),
    "gate on another device": (dict(gate=lambda: fake([ROWS, C], device=OTHER_DEVICE)),
                               ": gate must be on the same CUDA device as the primary input"),
    "gate [B*H, NN]": (dict(gate=lambda: fake([B * C, NN])), shape_error("gate", [B * C, NN])),
    "gate at element 1": (dict(gate=lambda: fake([ROWS, C], offset=2)), ": gate data pointer must be 4-byte aligned"),
    # gamma, beta [H]
    "gamma BF16": (dict(gamma=lambda: fake([C])), ": gamma has the wrong dtype"),
    "beta [C+1]": (dict(beta=lambda: fake([C + 1], F32)), shape_error("beta", [C + 1])),
    "beta every other element": (dict(beta=lambda: fake([C], F32, strides=[2])), ": beta must be contiguous"),
}

ENTRIES = {"in": ("trimul_in_fwd", in_args), "out": ("trimul_out_fwd", out_args)}
TABLE = ([(entry, name, *case) for entry in ENTRIES for name, case in SHARED.items()]
         + [("in", name, *case) for name, case in IN_CASES.items()]
         + [("out", name, *case) for name, case in OUT_CASES.items()])


@pytest.mark.parametrize("entry, name, change, tail", TABLE, ids=[f"{e}: {n}" for e, n, *_ in TABLE])
def test_validation(entry, name, change, tail):
    fn_name, make = ENTRIES[entry]
    expected = tail if tail.startswith(fn_name) else fn_name + tail
    assert_fails_with(getattr(load("trimul"), fn_name), make(**change), expected)


# Calls that pass every check and stop at the device guard (device index 7 does not exist).
POSITIVE = {
    "smallest": dict(B=1, NN=1),
    "C = H = 128, no saved copy": dict(C=128, save=False),
    "C = H = 96, NN not a multiple of 8": dict(C=96, NN=13),
    "B = 65535, NN = 1": dict(B=65535, NN=1),
    "rows at the sigmoid limit with H = 32": dict(B=65535, NN=2**18),
    "rows = 8*(2^31-1), H = 32": dict(B=8, NN=2**31 - 1),
}
IN_POSITIVE = {
    # the weights are read element by element: any element offset is accepted
    "weights at odd elements": dict(w_ap=lambda: fake([C, C], F32, offset=4), w_g=lambda: fake([C, C], F32, offset=12)),
    "z at an 8-byte offset": dict(z=lambda: fake([ROWS, C], offset=8)),
    "gamma at a 16-byte offset": dict(gamma=lambda: fake([C], F32, offset=16)),
    "mask not requiring gradients": dict(mask=lambda: fake([ROWS], F32).requires_grad_(False)),
}
OUT_POSITIVE = {
    "wz, gamma and beta at odd elements": dict(wz=lambda: fake([C, C], F32, offset=4),
                                               gamma=lambda: fake([C], F32, offset=4),
                                               beta=lambda: fake([C], F32, offset=12)),
    "x at a 16-byte offset, gate at a 4-byte offset": dict(x=lambda: fake([B * C, NN], offset=16),
                                                           gate=lambda: fake([ROWS, C], offset=4)),
}
POSITIVE_TABLE = ([(entry, name, change) for entry in ENTRIES for name, change in POSITIVE.items()]
                  + [("in", name, change) for name, change in IN_POSITIVE.items()]
                  + [("out", name, change) for name, change in OUT_POSITIVE.items()])


@pytest.mark.parametrize("entry, name, change", POSITIVE_TABLE, ids=[f"{e}: {n}" for e, n, _ in POSITIVE_TABLE])
def test_reaches_the_device_guard(entry, name, change):
    fn_name, make = ENTRIES[entry]
    assert_passes_validation(getattr(load("trimul"), fn_name), *make(**change))
