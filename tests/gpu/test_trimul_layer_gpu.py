"""The whole triangle multiplicative update (outgoing and incoming edges) on a Hopper GPU or its
emulated twin, built from the module's eight functions: its output and every gradient (input and
all ten parameters) against PyTorch autograd of the same layer in eager PyTorch, within BF16
tolerance (over all rows, and row by row for the output and dz), with a fractional mask, and the
whole forward and backward bit-identical over reruns."""
import sys

import pytest
import torch

from backend import gpu_only
from harness import ROOT, assert_bit_identical

sys.path.insert(0, str(ROOT / "examples"))
import trimul_layer  # noqa: E402


def run(backend, m, z, mask, grad, p, B, N, outgoing):
    out, saved = trimul_layer.forward(m, z, mask, p, B, N, outgoing)
    grads = trimul_layer.backward(m, grad, saved, p, B, N, outgoing)
    backend.synchronize()
    return out, grads


@pytest.mark.parametrize("outgoing", [True, False], ids=["outgoing", "incoming"])
@pytest.mark.parametrize("B, N, C", [
    pytest.param(1, 16, 32, id="B1-N16-C32"),
    # the larger layers take tens of seconds on the CPU model: the smaller ones below reach
    # their channel counts and row regimes there
    pytest.param(2, 37, 64, marks=gpu_only, id="B2-N37-C64"),
    pytest.param(1, 64, 128, marks=gpu_only, id="B1-N64-C128"),
    # NN = 4225: a partial 32-position tile, and a last 128-row tile of one row, at C = 128
    pytest.param(1, 65, 128, marks=gpu_only, id="B1-N65-C128"),
    # 242 rows: B > 1, NN odd, a 128-row tile across the batch boundary, at C = 64
    pytest.param(2, 11, 64, id="B2-N11-C64"),
    # NN = 144: a partial 32-position tile and a 16-row last tile at C = 128
    pytest.param(1, 12, 128, id="B1-N12-C128"),
    # 129 rows: a last 128-row tile of one row, tiles across batch elements, at C = 128
    pytest.param(129, 1, 128, id="B129-N1-C128"),
])
def test_layer_against_autograd(backend, B, N, C, outgoing):
    m = backend.load("trimul")
    p = trimul_layer.make_params(C, seed=N, device=backend.device)
    z, mask, grad = trimul_layer.make_inputs(B, N, C, seed=C + N, device=backend.device)
    out, grads = run(backend, m, z, mask, grad, p, B, N, outgoing)
    errors = trimul_layer.relative_errors(out, grads, z, mask, grad, p, B, N, outgoing)
    assert errors.pop("out") <= 2e-2
    assert max(errors.values()) <= 3e-2, errors
    # bit-identical over a rerun
    out2, grads2 = run(backend, m, z, mask, grad, p, B, N, outgoing)
    assert_bit_identical(out2, out, "out rerun")
    for name in grads:
        assert_bit_identical(grads2[name], grads[name], f"{name} rerun")
