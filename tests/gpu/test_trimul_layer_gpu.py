"""The whole triangle multiplicative update (outgoing and incoming edges) on a Hopper GPU, built
from the module's eight functions: its output and every gradient (input and all ten parameters)
against PyTorch autograd of the same layer in eager PyTorch, within BF16 tolerance (over all
rows, and row by row for the output and dz), with a fractional mask, and the whole forward and
backward bit-identical over reruns."""
import sys

import pytest
import torch

from harness import ROOT, assert_bit_identical, load, requires_hopper

sys.path.insert(0, str(ROOT / "examples"))
import trimul_layer  # noqa: E402

pytestmark = requires_hopper


def run(m, z, mask, grad, p, B, N, outgoing):
    out, saved = trimul_layer.forward(m, z, mask, p, B, N, outgoing)
    grads = trimul_layer.backward(m, grad, saved, p, B, N, outgoing)
    torch.cuda.synchronize()
    return out, grads


@pytest.mark.parametrize("outgoing", [True, False], ids=["outgoing", "incoming"])
@pytest.mark.parametrize("B, N, C", [
    pytest.param(1, 16, 32, id="B1-N16-C32"),
    pytest.param(2, 37, 64, id="B2-N37-C64"),
    pytest.param(1, 64, 128, id="B1-N64-C128"),
    # NN = 4225: a partial 32-position tile, and a last 128-row tile of one row, at C = 128
    pytest.param(1, 65, 128, id="B1-N65-C128"),
])
def test_layer_against_autograd(B, N, C, outgoing):
    m = load("trimul")
    p = trimul_layer.make_params(C, seed=N)
    z, mask, grad = trimul_layer.make_inputs(B, N, C, seed=C + N)
    out, grads = run(m, z, mask, grad, p, B, N, outgoing)
    errors = trimul_layer.relative_errors(out, grads, z, mask, grad, p, B, N, outgoing)
    assert errors.pop("out") <= 2e-2
    assert max(errors.values()) <= 3e-2, errors
    # bit-identical over a rerun
    out2, grads2 = run(m, z, mask, grad, p, B, N, outgoing)
    assert_bit_identical(out2, out, "out rerun")
    for name in grads:
        assert_bit_identical(grads2[name], grads[name], f"{name} rerun")
