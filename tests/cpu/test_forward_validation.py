"""kestrovane_triangle_forward_out and _shadow_out validation through the real entries, in
their check order: the first failure wins, a call that passes stops at the device guard."""
import pytest
import torch

from harness import (BF16, F32, OTHER_DEVICE, assert_fails_with, assert_passes_validation, expected_condition,
                     fake, load)

Q_CUDA_BF16 = expected_condition("q.is_cuda() && q.dtype() == torch::kBFloat16")
Q_RANK = expected_condition("q.dim() == 5 && q.size(2) >= 1")
GRID = "batch/outer/sequence/head count exceeds the CUDA grid contract"
KV = "k/v/out must be contiguous BF16 tensors matching q on one device"
OUT = "out must be contiguous BF16 [B,O,N,H,D] on q.device"
Q_CONTIGUOUS = expected_condition("q.is_contiguous()")
MASK = "mask must be contiguous FP32 [B,O,1,1,N] on q.device"
BIAS = "bias must be contiguous BF16 [B,1,H,N,N] on q.device"
LSE = "lse must be contiguous FP32 [B,O,H,N] on q.device"
SHADOW = "shadow_residual must be contiguous BF16 matching out"


def aligned(name, width):
    return f"{name} must be {width}-byte aligned"


def args(B=2, O=3, H=2, N=5, D=8, with_shadow=False, **replace):
    """Valid arguments for these sizes, with some replaced: a value or a function of the sizes."""
    made = {
        "q": lambda: fake([B, O, H, N, D]),
        "k": lambda: fake([B, O, H, N, D]),
        "v": lambda: fake([B, O, H, N, D]),
        "mask": lambda: fake([B, O, 1, 1, N], F32),
        "bias": lambda: fake([B, 1, H, N, N]),
        "out": lambda: fake([B, O, N, H, D]),
        "lse": lambda: fake([B, O, H, N], F32),
        "shadow": lambda: fake([B, O, N, H, D]),
    }
    names = ["q", "k", "v", "mask", "bias", "out", "lse"] + (["shadow"] if with_shadow else [])
    return [replace[n]() if n in replace else made[n]() for n in names]


def transposed(sizes, dtype=BF16):
    """Right sizes, not contiguous: the last two dimensions swapped in memory."""
    strides = [1] * len(sizes)
    for i in range(len(sizes) - 2, -1, -1):
        strides[i] = strides[i + 1] * sizes[i + 1]
    strides[-2], strides[-1] = 1, sizes[-2]
    return fake(sizes, dtype, strides=strides)


def wrong_everything():
    return dict(k=lambda: fake([1], F32), v=lambda: torch.zeros(3), mask=lambda: fake([2], BF16),
                bias=lambda: torch.zeros(1), out=lambda: fake([4]), lse=lambda: fake([1], BF16))


# Each case: (function, argument factory, expected message or condition).
CASES = {
    # step 1: q itself, whatever the rest is
    "q on the CPU, everything else wrong": ("plain", lambda: args(q=lambda: torch.zeros(2, 3, 2, 5, 8, dtype=BF16),
                                                                    **wrong_everything()), Q_CUDA_BF16),
    "q in FP32": ("plain", lambda: args(q=lambda: fake([2, 3, 2, 5, 8], F32)), Q_CUDA_BF16),
    # step 2: rank and head count
    "q 4-D": ("plain", lambda: args(q=lambda: fake([2, 3, 5, 8])), Q_RANK),
    "H = 0 is a rank failure, not a grid one": ("plain", lambda: args(H=0), Q_RANK),
    # step 3: grid contract at its edges
    "N = 4194241": ("plain", lambda: args(B=1, O=1, H=1, N=4194241), GRID),
    "H = 65536": ("plain", lambda: args(B=1, O=1, H=65536, N=1), GRID),
    "B*O = 2^31": ("plain", lambda: args(B=2, O=2**30, H=1, N=1), GRID),
    "B = 0": ("plain", lambda: args(B=0), GRID),
    "D = 2^31": ("plain", lambda: args(B=1, O=1, H=1, N=1, D=2**31), GRID),
    "grid before k": ("plain", lambda: args(B=1, O=1, H=65536, N=1, **wrong_everything()), GRID),
    # step 4: k then v, each followed by its alignment
    "k in FP32": ("plain", lambda: args(k=lambda: fake([2, 3, 2, 5, 8], F32)), KV),
    "k on another device": ("plain", lambda: args(k=lambda: fake([2, 3, 2, 5, 8], device=OTHER_DEVICE)), KV),
    "v with another shape": ("plain", lambda: args(v=lambda: fake([2, 3, 2, 8, 5])), KV),
    "v not contiguous": ("plain", lambda: args(v=lambda: transposed([2, 3, 2, 5, 8])), KV),
    "k on the CPU before v": ("plain", lambda: args(k=lambda: torch.zeros(2, 3, 2, 5, 8, dtype=BF16),
                                                    v=lambda: fake([1])), KV),
    "k misaligned": ("plain", lambda: args(k=lambda: fake([2, 3, 2, 5, 8], offset=8)), aligned("k", 16)),
    "k misaligned before v wrong": ("plain", lambda: args(k=lambda: fake([2, 3, 2, 5, 8], offset=2),
                                                          v=lambda: fake([1], F32)), aligned("k", 16)),
    "v misaligned before out wrong": ("plain", lambda: args(v=lambda: fake([2, 3, 2, 5, 8], offset=4),
                                                            out=lambda: fake([1])), aligned("v", 16)),
    # step 5: out in the physical layout, then its alignment
    "out in the logical layout, N != H": ("plain", lambda: args(out=lambda: fake([2, 3, 2, 5, 8])), OUT),
    "out in FP32": ("plain", lambda: args(out=lambda: fake([2, 3, 5, 2, 8], F32)), OUT),
    "out on another device": ("plain", lambda: args(out=lambda: fake([2, 3, 5, 2, 8], device=OTHER_DEVICE)), OUT),
    "out before q's contiguity": ("plain", lambda: args(q=lambda: transposed([2, 3, 2, 5, 8]),
                                                        out=lambda: fake([1])), OUT),
    "out misaligned": ("plain", lambda: args(out=lambda: fake([2, 3, 5, 2, 8], offset=2)), aligned("out", 4)),
    "out misaligned before q's contiguity": ("plain", lambda: args(q=lambda: transposed([2, 3, 2, 5, 8]),
                                                                   out=lambda: fake([2, 3, 5, 2, 8], offset=6)),
                                             aligned("out", 4)),
    # step 6: q's contiguity only after k, v and out pass
    "q not contiguous": ("plain", lambda: args(q=lambda: transposed([2, 3, 2, 5, 8])), Q_CONTIGUOUS),
    "q not contiguous, k wrong": ("plain", lambda: args(q=lambda: transposed([2, 3, 2, 5, 8]),
                                                        k=lambda: fake([1])), KV),
    "q not contiguous before mask wrong": ("plain", lambda: args(q=lambda: transposed([2, 3, 2, 5, 8]),
                                                                 mask=lambda: fake([1])), Q_CONTIGUOUS),
    # steps 7 to 9: mask, bias, lse, exact shapes
    "mask [B,O,N]": ("plain", lambda: args(mask=lambda: fake([2, 3, 5], F32)), MASK),
    "mask in BF16": ("plain", lambda: args(mask=lambda: fake([2, 3, 1, 1, 5])), MASK),
    "mask on another device": ("plain", lambda: args(mask=lambda: fake([2, 3, 1, 1, 5], F32, OTHER_DEVICE)), MASK),
    "mask not contiguous": ("plain", lambda: args(mask=lambda: fake([2, 3, 1, 1, 5], F32, strides=[30, 10, 10, 10, 2])),
                            MASK),
    "mask misaligned": ("plain", lambda: args(mask=lambda: fake([2, 3, 1, 1, 5], F32, offset=4)), aligned("mask", 8)),
    "mask misaligned before bias wrong": ("plain", lambda: args(mask=lambda: fake([2, 3, 1, 1, 5], F32, offset=4),
                                                                bias=lambda: fake([1])), aligned("mask", 8)),
    "bias [B,H,N,N]": ("plain", lambda: args(bias=lambda: fake([2, 2, 5, 5])), BIAS),
    "bias per outer row": ("plain", lambda: args(bias=lambda: fake([2, 3, 2, 5, 5])), BIAS),
    "bias in FP32": ("plain", lambda: args(bias=lambda: fake([2, 1, 2, 5, 5], F32)), BIAS),
    "bias not contiguous": ("plain", lambda: args(bias=lambda: transposed([2, 1, 2, 5, 5])), BIAS),
    "bias misaligned": ("plain", lambda: args(bias=lambda: fake([2, 1, 2, 5, 5], offset=2)), aligned("bias", 4)),
    "bias misaligned before lse wrong": ("plain", lambda: args(bias=lambda: fake([2, 1, 2, 5, 5], offset=2),
                                                               lse=lambda: fake([1])), aligned("bias", 4)),
    "lse [B*O*H*N]": ("plain", lambda: args(lse=lambda: fake([60], F32)), LSE),
    "lse in BF16": ("plain", lambda: args(lse=lambda: fake([2, 3, 2, 5])), LSE),
    "lse on another device": ("plain", lambda: args(lse=lambda: fake([2, 3, 2, 5], F32, OTHER_DEVICE)), LSE),
    # the shadow function checks shadow_residual before anything else
    "bad shadow before bad q": ("shadow", lambda: args(with_shadow=True, q=lambda: torch.zeros(1),
                                                       shadow=lambda: fake([2, 3, 5, 2, 8], F32)), SHADOW),
    "shadow in the logical layout": ("shadow", lambda: args(with_shadow=True, shadow=lambda: fake([2, 3, 2, 5, 8])),
                                     SHADOW),
    "shadow on another device than out": ("shadow", lambda: args(
        with_shadow=True, shadow=lambda: fake([2, 3, 5, 2, 8], device=OTHER_DEVICE)), SHADOW),
    "shadow not contiguous": ("shadow", lambda: args(with_shadow=True, shadow=lambda: transposed([2, 3, 5, 2, 8])),
                              SHADOW),
    "shadow misaligned before bad q": ("shadow", lambda: args(
        with_shadow=True, q=lambda: torch.zeros(1), shadow=lambda: fake([2, 3, 5, 2, 8], offset=2)),
        aligned("shadow_residual", 4)),
    "shadow function, then the common checks": ("shadow", lambda: args(with_shadow=True, lse=lambda: fake([60], F32)),
                                                LSE),
}


def function(kind):
    m = load("forward")
    return m.kestrovane_triangle_forward_out if kind == "plain" else m.kestrovane_triangle_forward_shadow_out


@pytest.mark.parametrize("name", CASES)
def test_forward_rejects(name):
    kind, make, message = CASES[name]
    assert_fails_with(function(kind), make(), message)


@pytest.mark.parametrize("kind, make", [
    ("plain", lambda: args()),
    ("shadow", lambda: args(with_shadow=True)),
    ("plain", lambda: args(B=1, O=1, H=1, N=4194240)),                 # the longest sequence
    ("plain", lambda: args(B=1, O=1, H=65535, N=1)),                   # the most heads
    ("plain", lambda: args(B=1, O=2**31 - 1, H=1, N=1)),               # the most batch-outer pairs
    ("plain", lambda: args(B=1, O=1, H=1, N=1, D=2**31 - 1)),          # D is checked after the guard
    ("plain", lambda: args(B=2, O=3, H=5, N=5, out=lambda: fake([2, 3, 5, 5, 8]))),  # logical out when N = H
    ("plain", lambda: args(q=lambda: fake([2, 3, 2, 5, 8], offset=2))),  # q is read one element at a time
    ("plain", lambda: args(lse=lambda: fake([2, 3, 2, 5], F32, offset=4))),  # so is lse written
    ("shadow", lambda: args(with_shadow=True, B=1, O=1, H=1, N=1, D=12)),    # D = 12 fails only after the guard
], ids=["plain", "shadow", "N = 4194240", "H = 65535", "B*O = 2^31-1", "D = 2^31-1", "out logical, N = H",
        "q on a 2-byte boundary", "lse on a 4-byte boundary", "shadow, D = 12"])
def test_forward_passes_validation(kind, make):
    assert_passes_validation(function(kind), *make())
