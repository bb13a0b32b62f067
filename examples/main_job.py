"""End-to-end example: every built module on small random inputs, checked against PyTorch.

Running the kernels needs a GPU of compute capability 9.0 (H100/H200). Elsewhere the
example imports every module, lists its functions and says so.
"""
import importlib
import pathlib
import sys

import torch

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "build"))

MODULES = ["_kestrovane_forward_sm90a", "_kestrovane_delta_sm90a", "_kestrovane_dkdv_sm90a",
           "_kestrovane_dq_dbias_sm90a", "_kestrovane_trimul_sm90a"]


def available_modules():
    found = {}
    for name in MODULES:
        try:
            found[name] = importlib.import_module(name)
        except ModuleNotFoundError:
            continue
    return found


def run_pack(m):
    B, O, N, H, D = 1, 8, 8, 4, 32
    g = torch.Generator(device="cuda").manual_seed(0)
    q, k, v = (torch.randn(B * O, N, H, D, device="cuda", generator=g).bfloat16() for _ in range(3))
    qp, kp, vp = m.kestrovane_pack_qkv(q, k, v, B * O, H, N, D)
    for packed, src in ((qp, q), (kp, k), (vp, v)):
        assert torch.equal(packed, src.permute(0, 2, 1, 3)), "pack differs from the PyTorch permutation"
    print("  kestrovane_pack_qkv: bit-identical to the PyTorch permutation")


def run_delta(m):
    B, O, N, H, D = 1, 8, 8, 4, 40
    g = torch.Generator(device="cuda").manual_seed(1)
    d_out, out, shadow = (torch.randn(B, O, N, H, D, device="cuda", generator=g).bfloat16() for _ in range(3))
    shadow = (shadow.float() * 2.0**-9).bfloat16()
    delta = torch.empty(B, O, H, N, device="cuda")
    for name, call, reference in (
            ("kestrovane_triangle_delta_out", lambda: m.kestrovane_triangle_delta_out(d_out, out, delta),
             d_out.double() * out.double()),
            ("kestrovane_triangle_delta_shadow_out",
             lambda: m.kestrovane_triangle_delta_shadow_out(d_out, out, shadow, delta),
             d_out.double() * (out.double() + shadow.double()))):
        call()
        # delta is ordered [B,O,H,N]; the physical inputs are [B,O,N,H,D]
        expected = reference.sum(-1).permute(0, 1, 3, 2)
        torch.testing.assert_close(delta.double(), expected, rtol=1e-5, atol=1e-4)
        print(f"  {name}: matches the float64 PyTorch row sums")


def main():
    modules = available_modules()
    for name, m in modules.items():
        functions = [f for f in dir(m) if not f.startswith("__")]
        print(f"{name}: {', '.join(functions)}")
    if not (torch.cuda.is_available() and torch.cuda.get_device_capability() == (9, 0)):
        print("No CUDA device of compute capability 9.0 (Hopper) here: the modules load, but running "
              "their kernels needs an H100 or H200 GPU.")
        return 0
    print(f"Running on {torch.cuda.get_device_name()}:")
    run_pack(modules["_kestrovane_forward_sm90a"])
    if "_kestrovane_delta_sm90a" in modules:
        run_delta(modules["_kestrovane_delta_sm90a"])
    torch.cuda.synchronize()
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
