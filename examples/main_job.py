"""End-to-end example: every built module on small random inputs, checked against PyTorch.

On a GPU of compute capability 9.0 (H100/H200) it runs the _sm90a modules. Elsewhere it runs
the same examples on their emulated twins (_kestrovane_X_emulated in build/), the same kernel
sources compiled for the CPU execution model: that shows the results are right, not how fast
the kernels are. The examples and their checks are the same on both; only the Device below,
chosen once, differs. It ends non-zero when any result differs from PyTorch.
"""
import importlib
import pathlib
import sys

import torch

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts"))
from build_path import use_build  # noqa: E402

use_build()

FOLDERS = ("forward", "delta", "dkdv", "dq_dbias", "trimul")


def _map_tensors(value, convert):
    if isinstance(value, torch.Tensor):
        return convert(value)
    if isinstance(value, (list, tuple)):
        return type(value)(_map_tensors(v, convert) for v in value)
    if isinstance(value, dict):
        return {k: _map_tensors(v, convert) for k, v in value.items()}
    return value


class HostMemoryModule:
    """An emulated module called with CPU tensors: every tensor argument goes in as a cuda:0
    alias of its own host memory (which the module reads and writes in place), every tensor the
    module returns comes back as a CPU view of its host memory."""

    def __init__(self, module, testing):
        self._module, self._testing = module, testing

    def __getattr__(self, name):
        value = getattr(self._module, name)
        if not callable(value) or isinstance(value, type):
            return value
        to_module = lambda t: self._testing.cuda_alias(t) if t.device.type == "cpu" else t  # noqa: E731
        from_module = lambda t: self._testing.host_view(t) if t.device.type == "cuda" else t  # noqa: E731

        def call(*args, **kwargs):
            result = value(*_map_tensors(args, to_module), **_map_tensors(kwargs, to_module))
            return _map_tensors(result, from_module)

        return call


class Device:
    """Where the examples run: the device their tensors live on, the module built for it for
    each folder, and how to wait for its work."""
    device = suffix = None

    def module_name(self, folder):
        return f"_kestrovane_{folder}{self.suffix}"

    def wrap(self, module):
        return module

    def synchronize(self):
        pass


class Hopper(Device):
    device, suffix = "cuda", "_sm90a"

    def banner(self):
        return f"Running on {torch.cuda.get_device_name()}:"

    def synchronize(self):
        torch.cuda.synchronize()


class CpuModel(Device):
    """The emulated twins, over CPU tensors; every launch has finished when its call returns."""
    device, suffix = "cpu", "_emulated"

    def __init__(self):
        self._testing = importlib.import_module("_kestrovane_testing")

    def banner(self):
        return ("No CUDA device of compute capability 9.0 (Hopper) here: running the same examples on the CPU "
                "execution model (the emulated modules), which shows correctness, not speed:")

    def wrap(self, module):
        return HostMemoryModule(module, self._testing)


def hopper_available():
    return torch.cuda.is_available() and torch.cuda.get_device_capability() == (9, 0)


def available_modules(dev):
    """folder -> (module name, module) for every module built for dev."""
    found = {}
    for folder in FOLDERS:
        name = dev.module_name(folder)
        try:
            found[folder] = name, importlib.import_module(name)
        except ModuleNotFoundError:
            continue
    return found


def run_pack(m, dev):
    B, O, N, H, D = 1, 8, 8, 4, 32
    g = torch.Generator(device=dev.device).manual_seed(0)
    q, k, v = (torch.randn(B * O, N, H, D, device=dev.device, generator=g).bfloat16() for _ in range(3))
    qp, kp, vp = m.kestrovane_pack_qkv(q, k, v, B * O, H, N, D)
    for packed, src in ((qp, q), (kp, k), (vp, v)):
        assert torch.equal(packed, src.permute(0, 2, 1, 3)), "pack differs from the PyTorch permutation"
    print("  kestrovane_pack_qkv: bit-identical to the PyTorch permutation")


def run_delta(m, dev):
    B, O, N, H, D = 1, 8, 8, 4, 40
    g = torch.Generator(device=dev.device).manual_seed(1)
    d_out, out, shadow = (torch.randn(B, O, N, H, D, device=dev.device, generator=g).bfloat16() for _ in range(3))
    shadow = (shadow.float() * 2.0**-9).bfloat16()
    delta = torch.empty(B, O, H, N, device=dev.device)
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


def backward_inputs(dev, B, O, H, N, D, seed, masked_key):
    """Random BF16 q, k, v [B,O,H,N,D] and d_output [B,O,N,H,D], an FP32 key mask [B,O,1,1,N]
    with key `masked_key` masked in every outer row, and the generator for further draws."""
    g = torch.Generator(device=dev.device).manual_seed(seed)
    q, k, v = (torch.randn(B, O, H, N, D, device=dev.device, generator=g).bfloat16() for _ in range(3))
    d_output = torch.randn(B, O, N, H, D, device=dev.device, generator=g).bfloat16()
    mask = torch.randn(B, O, 1, 1, N, device=dev.device, generator=g)
    mask[..., masked_key] = float("-inf")
    return q, k, v, d_output, mask, g


def assert_close_to_autograd(results):
    """Each (name, kernel result, float64 autograd result) within 2 % of the reference's largest
    magnitude (BF16 inputs and outputs)."""
    for name, got, ref in results:
        err = (got.double() - ref).abs().max().item()
        limit = 2e-2 * ref.abs().max().item() + 1e-3
        assert err <= limit, f"{name} differs from PyTorch autograd by {err:.3e} (limit {limit:.3e})"


def run_dkdv(m, dev):
    # Gradients of k and v for a pair-attention block with a key tail (N = 40), one fully
    # masked outer row and a masked key, beside PyTorch autograd of the same attention.
    B, O, H, N, D = 1, 6, 2, 40, 32
    q, k, v, d_output, mask, g = backward_inputs(dev, B, O, H, N, D, seed=1, masked_key=3)
    mask[:, O - 1] = float("-inf")
    bias = torch.randn(B, 1, H, N, N, device=dev.device, generator=g).bfloat16()

    scale = D ** -0.5
    grad = d_output.double().permute(0, 1, 3, 2, 4)  # logical [B,O,H,N,D]
    with torch.no_grad():
        # the forward's row statistics, as the backward entries expect them
        scores = (q.double() @ k.double().transpose(-1, -2)) * scale + mask.double() + bias.double()
        lse = torch.logsumexp(scores, dim=-1)
        p = torch.where(torch.isfinite(lse)[..., None], torch.exp(scores - lse[..., None]), 0.0)
        delta = (grad * (p @ v.double())).sum(-1).float()
        ref_delta_true = (p * (grad @ v.double().transpose(-1, -2))).sum(-1)
    # autograd of softmax attention over the outer rows that are not fully masked
    live = O - 1
    kg, vg = k[:, :live].double().requires_grad_(), v[:, :live].double().requires_grad_()
    s = (q[:, :live].double() @ kg.transpose(-1, -2)) * scale + mask[:, :live].double() + bias.double()
    out = torch.softmax(s, dim=-1) @ vg
    ref_dk, ref_dv = torch.autograd.grad(out, (kg, vg), grad[:, :live])

    dk, dv = torch.empty_like(k), torch.empty_like(v)
    partials = torch.empty(B * O * H * N * ((N + 63) // 64), device=dev.device)
    delta_true = torch.empty(B, O, H, N, device=dev.device)
    m.kestrovane_triangle_dkdv_delta_true_out(q, k, v, d_output, lse.float(), delta, mask, bias, dk, dv, partials,
                                              delta_true)
    dev.synchronize()
    assert_close_to_autograd((("dK", dk[:, :live], ref_dk), ("dV", dv[:, :live], ref_dv),
                              ("delta_true", delta_true, ref_delta_true)))
    assert (dk[:, O - 1] == 0).all() and (dv[:, O - 1] == 0).all(), "a fully masked row contributed"
    print("  kestrovane_triangle_dkdv_delta_true_out: dK, dV and delta_true match PyTorch autograd")


def run_dq_dbias(m, dev):
    # dQ and the bias gradient of a pair-attention block whose bias is shared by the batch
    # (B = 2, O = 6 outer rows in two groups, N = 40 with a key tail), in query slabs of 32
    # rows and one outer group per wave, beside PyTorch autograd of the same attention.
    B, O, H, N, D = 2, 6, 2, 40, 32
    q, k, v, d_output, mask, g = backward_inputs(dev, B, O, H, N, D, seed=2, masked_key=7)
    shared_bias = torch.randn(1, 1, H, N, N, device=dev.device, generator=g).bfloat16()
    bias = shared_bias.expand(B, 1, H, N, N).contiguous()

    scale = D ** -0.5
    grad = d_output.double().permute(0, 1, 3, 2, 4)
    qg, bg = q.double().requires_grad_(), shared_bias.double().requires_grad_()
    s = (qg @ k.double().transpose(-1, -2)) * scale + mask.double() + bg
    out = torch.softmax(s, dim=-1) @ v.double()
    ref_dq, ref_dbias = torch.autograd.grad(out, (qg, bg), grad)
    with torch.no_grad():
        lse = torch.logsumexp(s, dim=-1).float()
        delta = (grad * out).sum(-1).float()

    slab_rows, groups_per_wave, batches_per_wave = 32, 1, 1
    workspace = torch.empty(groups_per_wave * batches_per_wave * H * slab_rows * N, device=dev.device,
                            dtype=torch.bfloat16)
    dq, dbias = torch.empty_like(q), torch.empty(B, 1, H, N, N, device=dev.device)
    m.kestrovane_triangle_dq_dbias_out(q, k, v, d_output, lse, delta, mask, bias, dq, dbias, workspace, slab_rows,
                                       groups_per_wave, batches_per_wave)
    dshared = torch.empty(1, 1, H, N, N, device=dev.device, dtype=torch.bfloat16)
    m.kestrovane_reduce_broadcast_dbias_out(dbias, dshared, [B], [1])
    dev.synchronize()
    assert_close_to_autograd((("dQ", dq, ref_dq), ("dBias", dshared, ref_dbias)))
    print("  kestrovane_triangle_dq_dbias_out + kestrovane_reduce_broadcast_dbias_out: dQ and the shared bias "
          "gradient match PyTorch autograd")


def run_sr(m, dev):
    # All four gradients of a pair-attention block from one recomputation of P (B = 2, O = 5
    # outer rows in two groups, N = 128 in query slabs of 32 rows with the dK/dV state carried
    # between them), beside PyTorch autograd of the same attention.
    B, O, H, N, D = 2, 5, 2, 128, 32
    q, k, v, d_output, mask, g = backward_inputs(dev, B, O, H, N, D, seed=3, masked_key=5)
    bias = torch.randn(B, 1, H, N, N, device=dev.device, generator=g).bfloat16()

    scale = D ** -0.5
    grad = d_output.double().permute(0, 1, 3, 2, 4)
    qg, kg, vg, bg = (t.double().requires_grad_() for t in (q, k, v, bias))
    s = (qg @ kg.transpose(-1, -2)) * scale + mask.double() + bg
    out = torch.softmax(s, dim=-1) @ vg
    refs = torch.autograd.grad(out, (qg, kg, vg, bg), grad)
    with torch.no_grad():
        lse = torch.logsumexp(s, dim=-1).float()
        delta = (grad * out).sum(-1).float()

    slab_rows, groups_per_wave, batches_per_wave = 32, 1, 1
    workspace = torch.empty(groups_per_wave * batches_per_wave * H * slab_rows * N, device=dev.device,
                            dtype=torch.bfloat16)
    dq_partials = torch.empty(N // 64, *q.shape, device=dev.device, dtype=torch.bfloat16)
    dk_state, dv_state = torch.empty(q.numel(), device=dev.device), torch.empty(q.numel(), device=dev.device)
    dq, dk, dv = torch.empty_like(q), torch.empty_like(k), torch.empty_like(v)
    dbias = torch.empty(B, 1, H, N, N, device=dev.device)
    m.kestrovane_triangle_sr_backward_out(q, k, v, d_output, lse, delta, mask, bias, dq, dk, dv, dbias, workspace,
                                          dq_partials, dk_state, dv_state, slab_rows, groups_per_wave,
                                          batches_per_wave)
    dev.synchronize()
    assert_close_to_autograd(zip(("dQ", "dK", "dV", "dBias"), (dq, dk, dv, dbias), refs))
    print("  kestrovane_triangle_sr_backward_out: dQ, dK, dV and dBias match PyTorch autograd")


def run_forward(m, dev):
    # Physical projections [B*O, N, H, D] -> packed logical Q/K/V -> attention output in the
    # physical layout [B, O, N, H, D] and the log-sum-exp, beside PyTorch's softmax attention.
    B, O, N, H, D = 2, 80, 80, 4, 32
    g = torch.Generator(device=dev.device).manual_seed(1)
    projections = [torch.randn(B * O, N, H, D, device=dev.device, generator=g).bfloat16() for _ in range(3)]
    q, k, v = (t.view(B, O, H, N, D) for t in m.kestrovane_pack_qkv(*projections, B * O, H, N, D))
    mask = torch.zeros(B, O, 1, 1, N, device=dev.device)
    mask[..., N - 5:] = float("-inf")  # padded keys
    bias = torch.randn(B, 1, H, N, N, device=dev.device, generator=g).bfloat16()
    out = torch.empty(B, O, N, H, D, device=dev.device, dtype=torch.bfloat16)
    lse = torch.empty(B, O, H, N, device=dev.device)
    shadow = torch.empty_like(out)
    m.kestrovane_triangle_forward_shadow_out(q, k, v, mask, bias, out, lse, shadow)

    scores = torch.matmul(q.float(), k.float().transpose(-1, -2)) / D**0.5 + mask + bias.float()
    expected = torch.matmul(torch.softmax(scores, dim=-1), v.float()).transpose(2, 3)
    out_error = (out.float() - expected).abs().max().item()
    lse_error = (lse - torch.logsumexp(scores, dim=-1)).abs().max().item()
    assert out_error < 2e-2, f"forward output differs from PyTorch by {out_error}"
    assert lse_error < 1e-3, f"forward log-sum-exp differs from PyTorch by {lse_error}"
    recovered = ((out.float() + shadow.float()) - expected).abs().max().item()
    print(f"  kestrovane_triangle_forward_shadow_out: max |out - PyTorch| = {out_error:.2e}, "
          f"with the shadow residual {recovered:.2e}, max |lse - PyTorch| = {lse_error:.2e}")


def run_trimul(m, dev):
    # Triangle multiplicative update forward, B = 2 pair grids of N = 12 (NN = 144) with C = H = 64
    # and the layer's fractional mask: the input stage's a and b planes, the caller's triangle
    # product (a batched matmul over the channel-major planes), then the output stage gated by g,
    # beside PyTorch.
    import trimul_layer

    B, N, C = 2, 12, 64
    NN, H = N * N, C
    g = torch.Generator(device=dev.device).manual_seed(3)
    z = torch.randn(B * NN, C, device=dev.device, generator=g).bfloat16()
    w_in = [torch.randn(H, C, device=dev.device, generator=g) / C**0.5 for _ in range(5)]
    mask = trimul_layer.fractional_mask(B * NN, torch.Generator().manual_seed(4)).to(dev.device)
    gamma, beta = torch.ones(C, device=dev.device), torch.zeros(C, device=dev.device)
    wz = torch.randn(C, H, device=dev.device, generator=g) / H**0.5
    a, b, gate, mean, rstd, zln = m.trimul_in_fwd(z, *w_in, mask, gamma, beta, B, NN, C, H, True)
    # outgoing edges: x[b, h, i, j] = sum_k a[b, h, i, k] * b[b, h, j, k]
    planes = lambda t: t.view(B, H, N, N).float()  # noqa: E731
    x = (planes(a) @ planes(b).transpose(-1, -2)).bfloat16().reshape(B * H, NN)
    out, xln, _, _ = m.trimul_out_fwd(x, wz, gate, gamma, beta, B, NN, C, H, True)

    zln_ref = torch.nn.functional.layer_norm(z.float(), (C,), gamma, beta)
    ap, ag, bp, bg, gp = (zln.float() @ w.bfloat16().float().T for w in w_in)
    to_planes = lambda t: t.view(B, NN, H).transpose(1, 2).reshape(B * H, NN)  # noqa: E731
    a_ref = to_planes(mask[:, None] * ap * torch.sigmoid(ag))
    rows = x.view(B, H, NN).transpose(1, 2).reshape(B * NN, H).float()
    xln_ref = torch.nn.functional.layer_norm(rows, (H,), gamma, beta)
    out_ref = (xln.float().T @ wz.bfloat16().float().T) * torch.sigmoid(gate.float())
    errors = {"zln": (zln.float() - zln_ref).abs().max().item(), "a": (a.float() - a_ref).abs().max().item(),
              "g": (gate.float() - gp).abs().max().item(), "xln": (xln.float().T - xln_ref).abs().max().item(),
              "out": (out.float() - out_ref).abs().max().item()}
    for name, error in errors.items():
        assert error < 5e-2, f"trimul {name} differs from PyTorch by {error}"
    print("  trimul_in_fwd, trimul_out_fwd: " + ", ".join(f"max |{k} - PyTorch| = {v:.2e}" for k, v in errors.items()))


def run_trimul_layer(m, dev):
    # The whole triangle multiplicative update, both edge orientations, from the module's eight
    # functions (triangle product, linear-layer input gradients and weight-gradient partials in
    # PyTorch), beside PyTorch autograd of the same layer in eager PyTorch, row by row for the
    # output and dz (trimul_layer.relative_errors).
    import trimul_layer

    B, N, C = 1, 48, 64
    params = trimul_layer.make_params(C, seed=2, device=dev.device)
    z, mask, grad = trimul_layer.make_inputs(B, N, C, seed=3, device=dev.device)
    for outgoing in (True, False):
        out, saved = trimul_layer.forward(m, z, mask, params, B, N, outgoing)
        grads = trimul_layer.backward(m, grad, saved, params, B, N, outgoing)
        errors = trimul_layer.relative_errors(out, grads, z, mask, grad, params, B, N, outgoing)
        worst = max(errors, key=errors.get)
        assert errors[worst] < 3e-2, f"trimul layer {worst} differs from PyTorch autograd by {errors[worst]:.2e}"
        print(f"  triangle multiplicative update ({'outgoing' if outgoing else 'incoming'}): output and all "
              f"{len(grads)} gradients within {errors[worst]:.1e} (relative) of PyTorch autograd")


def run_all(modules, dev):
    m = {folder: dev.wrap(module) for folder, (_, module) in modules.items()}
    if "forward" in m:
        run_pack(m["forward"], dev)
        run_forward(m["forward"], dev)
    if "delta" in m:
        run_delta(m["delta"], dev)
    if "dkdv" in m:
        run_dkdv(m["dkdv"], dev)
    if "dq_dbias" in m:
        run_dq_dbias(m["dq_dbias"], dev)
        run_sr(m["dq_dbias"], dev)
    if "trimul" in m:
        run_trimul(m["trimul"], dev)
        run_trimul_layer(m["trimul"], dev)
    dev.synchronize()


def main():
    if hopper_available():
        dev = Hopper()
    else:
        try:
            dev = CpuModel()
        except ModuleNotFoundError:
            print("No CUDA device of compute capability 9.0 (Hopper) here, and no emulated modules "
                  "(_kestrovane_testing is not built; make builds it in build/): nothing ran.")
            return 1
    modules = available_modules(dev)
    for name, module in modules.values():
        functions = [f for f in dir(module) if not f.startswith("_")]  # the entries (a twin's model hooks aside)
        print(f"{name}: {', '.join(functions)}")
    if not modules:
        print(f"No module {dev.module_name('*')} is built (make builds them in build/): nothing ran.")
        return 1
    print(dev.banner())
    try:
        run_all(modules, dev)
    except AssertionError as mismatch:
        print(f"MISMATCH: {mismatch}")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
