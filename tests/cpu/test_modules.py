"""The built modules load without a GPU and have the shared multi-phase definition."""
import ctypes
import subprocess
import sys

import pytest
import torch

from harness import BUILD, MODULES, ROOT, fake, load

# Each module's functions in definition order, with their docstrings.
FUNCTION_TABLES = {
    "forward": [
        ("kestrovane_pack_qkv", "Kestrovane fused physical [N,H,D] to logical [H,N,D] QKV pack"),
        ("kestrovane_triangle_forward_out", "Kestrovane Triangle Attention forward (online softmax)"),
        ("kestrovane_triangle_forward_shadow_out", "Forward + BF16 rounding-residual shadow for the SR delta"),
    ],
    "delta": [
        ("kestrovane_triangle_delta_out", "delta = rowsum(dO * O), warp-owned rows, fixed shuffle tree"),
        ("kestrovane_triangle_delta_shadow_out",
         "delta = rowsum(dO * (O + shadow residual)), probability-consistent"),
    ],
    "dkdv": [
        ("kestrovane_triangle_dkdv_out", "Kestrovane dK/dV (key-block ownership, runtime H/D/N)"),
        ("kestrovane_triangle_dkdv_delta_true_out",
         "Kestrovane dK/dV plus the recomputed delta_true = sum(P*dP) row scalars (fixed-order key-block fold, "
         "zero atomics)"),
    ],
    "dq_dbias": [
        ("kestrovane_triangle_dq_dbias_out", "Kestrovane fused dQ+dBias (query-slab deterministic waves)"),
        ("kestrovane_reduce_broadcast_dbias_out", "Fixed-order broadcast dBias reduction"),
        ("kestrovane_triangle_sr_backward_out", "Kestrovane single-reconstruction backward (dQ/dK/dV/dBias)"),
    ],
    # no docstrings: pybind11 reports only the signature line
    "trimul": [
        ("trimul_in_fwd", None),
        ("trimul_out_fwd", None),
        ("trimul_gate_split_bwd", None),
        ("sig_mul_bwd_out", None),
        ("ln_bwd_dx", None),
        ("ln_bwd_dgb", None),
        ("transpose_ln_bwd", None),
        ("trimul_wgrad_fixed_fold", None),
    ],
}

# Argument kinds of the functions without docstrings, in order, and their result.
T, I, BOOL = "torch.Tensor", "typing.SupportsInt", "bool"
SIGNATURES = {
    "trimul_in_fwd": ([T] * 9 + [I] * 4 + [BOOL], "list[torch.Tensor]"),
    "trimul_out_fwd": ([T] * 5 + [I] * 4 + [BOOL], "list[torch.Tensor]"),
    "trimul_gate_split_bwd": ([T] * 9 + [I] * 4, T),
    "sig_mul_bwd_out": ([T] * 4 + [I] * 2, T),
    "ln_bwd_dx": ([T] * 2 + [I] * 3 + [T] * 3, T),
    "ln_bwd_dgb": ([T] * 2 + [I] * 4 + [T] * 2, "list[torch.Tensor]"),
    "transpose_ln_bwd": ([T] * 2 + [I] * 3 + [T] * 3, "list[torch.Tensor]"),
    "trimul_wgrad_fixed_fold": ([T, T, BOOL], T),
}


def built_modules():
    return [name for folder, name in MODULES.items() if (ROOT / folder).is_dir()]


def module_path(name):
    (path,) = BUILD.glob(f"{name}.*.so")
    return path


def test_every_built_module_has_a_function_table():
    assert sorted(MODULES[f] for f in FUNCTION_TABLES) == sorted(built_modules())


@pytest.mark.parametrize("folder", FUNCTION_TABLES)
def test_function_table(folder):
    m = load(folder)
    table = FUNCTION_TABLES[folder]
    # the module body defines the functions in table order, and nothing else
    assert [n for n in vars(m) if not n.startswith("__")] == [n for n, _ in table]
    for name, doc in table:
        lines = getattr(m, name).__doc__.strip().splitlines()
        if doc is None:
            assert len(lines) == 1 and lines[0].startswith(f"{name}(")
        else:
            # pybind11 puts the signature line first, then the docstring
            assert lines[-1] == doc


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature_text(name):
    kinds, result = SIGNATURES[name]
    (line,) = getattr(load("trimul"), name).__doc__.strip().splitlines()
    params, returned = line[len(name) + 1:].rsplit(") -> ", 1)
    assert returned == result
    args = params.split(", ")
    assert [a.split(": ", 1)[0] for a in args] == [f"arg{i}" for i in range(len(kinds))]
    for arg, kind in zip(args, kinds):
        # integers accept any object that converts to int
        assert arg.split(": ", 1)[1].split(" | ")[0] == kind, arg


# Calls that pybind11 must refuse with TypeError before any check of ours runs.
BAD_CALLS = {
    "pack, all keywords": ("forward", lambda m, t: m.kestrovane_pack_qkv(q=t, k=t, v=t, batch_outer=1, H=1, N=1,
                                                                          D=2)),
    "pack, one keyword": ("forward", lambda m, t: m.kestrovane_pack_qkv(t, t, t, 1, 1, 1, D=2)),
    "pack, str for int": ("forward", lambda m, t: m.kestrovane_pack_qkv(t, t, t, 1, 1, 1, "2")),
    "pack, list for tensor": ("forward", lambda m, t: m.kestrovane_pack_qkv(t, t, [t], 1, 1, 1, 2)),
    "pack, too few": ("forward", lambda m, t: m.kestrovane_pack_qkv(t, t, t, 1, 1, 1)),
    "forward, keyword": ("forward", lambda m, t: m.kestrovane_triangle_forward_out(t, t, t, t, t, t, lse=t)),
    "forward, too few": ("forward", lambda m, t: m.kestrovane_triangle_forward_out(t, t, t, t, t, t)),
    "forward, too many": ("forward", lambda m, t: m.kestrovane_triangle_forward_out(t, t, t, t, t, t, t, t)),
    "forward shadow, keyword": ("forward", lambda m, t: m.kestrovane_triangle_forward_shadow_out(
        t, t, t, t, t, t, t, shadow_residual=t)),
    "forward shadow, list for tensor": ("forward", lambda m, t: m.kestrovane_triangle_forward_shadow_out(
        t, t, t, t, t, t, t, [t])),
    "delta, all keywords": ("delta", lambda m, t: m.kestrovane_triangle_delta_out(d_output=t, output=t, delta=t)),
    "delta shadow, one keyword": ("delta", lambda m, t: m.kestrovane_triangle_delta_shadow_out(t, t, t, delta=t)),
    "delta, too few": ("delta", lambda m, t: m.kestrovane_triangle_delta_out(t, t)),
    "delta shadow, too few": ("delta", lambda m, t: m.kestrovane_triangle_delta_shadow_out(t, t, t)),
    "delta, list for tensor": ("delta", lambda m, t: m.kestrovane_triangle_delta_out(t, t, [t])),
    "dkdv, keyword": ("dkdv", lambda m, t: m.kestrovane_triangle_dkdv_out(*[t] * 9, out_dv=t)),
    "dkdv delta_true, too few": ("dkdv", lambda m, t: m.kestrovane_triangle_dkdv_delta_true_out(*[t] * 10)),
    "dkdv, int for tensor": ("dkdv", lambda m, t: m.kestrovane_triangle_dkdv_out(*[t] * 9, 1)),
    "dq, keyword": ("dq_dbias", lambda m, t: m.kestrovane_triangle_dq_dbias_out(*[t] * 11, 32, 1,
                                                                                 batches_per_wave=1)),
    "dq, too few": ("dq_dbias", lambda m, t: m.kestrovane_triangle_dq_dbias_out(*[t] * 11, 32, 1)),
    "dq, tensor for int": ("dq_dbias", lambda m, t: m.kestrovane_triangle_dq_dbias_out(*[t] * 12, 1, 1)),
    "broadcast, int for list": ("dq_dbias", lambda m, t: m.kestrovane_reduce_broadcast_dbias_out(t, t, 4, [])),
    "broadcast, keyword": ("dq_dbias", lambda m, t: m.kestrovane_reduce_broadcast_dbias_out(t, t, [4],
                                                                                            bias_prefix=[])),
    "trimul in, keyword": ("trimul", lambda m, t: m.trimul_in_fwd(*[t] * 9, 1, 1, 32, 32, save_zln=True)),
    "trimul in, too few": ("trimul", lambda m, t: m.trimul_in_fwd(*[t] * 9, 1, 1, 32, 32)),
    "trimul in, str for int": ("trimul", lambda m, t: m.trimul_in_fwd(*[t] * 9, 1, "1", 32, 32, True)),
    "trimul out, int for tensor": ("trimul", lambda m, t: m.trimul_out_fwd(*[t] * 4, 1, 1, 1, 32, 32, True)),
    "trimul out, list for bool": ("trimul", lambda m, t: m.trimul_out_fwd(*[t] * 5, 1, 1, 32, 32, [True])),
    "gate split, too few": ("trimul", lambda m, t: m.trimul_gate_split_bwd(*[t] * 9, 1, 1, 32)),
    "sig mul, keyword": ("trimul", lambda m, t: m.sig_mul_bwd_out(t, t, t, t, 32, dgate_stride=32)),
    "ln dx, tensor for int": ("trimul", lambda m, t: m.ln_bwd_dx(t, t, t, 32, 1, t, t, t)),
    "ln dgb, float for int": ("trimul", lambda m, t: m.ln_bwd_dgb(t, t, 1, 32, 1, 32.5, t, t)),
    "transpose, too many": ("trimul", lambda m, t: m.transpose_ln_bwd(t, t, 4, 32, 1, t, t, t, t)),
    "wgrad fold, int for tensor": ("trimul", lambda m, t: m.trimul_wgrad_fixed_fold(t, 1, True)),
    "sr, keyword": ("dq_dbias", lambda m, t: m.kestrovane_triangle_sr_backward_out(*[t] * 16, 64, 1,
                                                                                    batches_per_wave=1)),
    "sr, too few": ("dq_dbias", lambda m, t: m.kestrovane_triangle_sr_backward_out(*[t] * 16, 64, 1)),
    "sr, tensor for int": ("dq_dbias", lambda m, t: m.kestrovane_triangle_sr_backward_out(*[t] * 17, 1, 1)),
}


@pytest.mark.parametrize("case", BAD_CALLS)
def test_arguments_are_positional_and_typed(case):
    folder, call = BAD_CALLS[case]
    with pytest.raises(TypeError):
        call(load(folder), fake([2]))


class PyModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class PyModuleDef(ctypes.Structure):
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p), ("m_init", ctypes.c_void_p),
                ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p), ("m_name", ctypes.c_char_p),
                ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t), ("m_methods", ctypes.c_void_p),
                ("m_slots", ctypes.POINTER(PyModuleDefSlot))]


PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS = 1, 2, 3
MULTIPLE_INTERPRETERS_NOT_SUPPORTED = None  # Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED is (void *)0


@pytest.mark.parametrize("name", built_modules())
def test_module_definition_slots(name):
    load(name)  # torch and the module's libraries are loaded first
    library = ctypes.PyDLL(str(module_path(name)))
    init = getattr(library, f"PyInit_{name}")
    init.restype = ctypes.POINTER(PyModuleDef)
    definition = init().contents
    assert definition.m_name == name.encode()
    assert definition.m_doc is None and definition.m_size == 0 and definition.m_methods is None
    slots = []
    for i in range(8):
        slot = definition.m_slots[i]
        if slot.slot == 0:
            break
        slots.append((slot.slot, slot.value))
    ids = [s for s, _ in slots]
    if sys.version_info >= (3, 12):
        assert ids == [PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS]
        assert slots[2][1] is MULTIPLE_INTERPRETERS_NOT_SUPPORTED
    else:
        assert ids == [PY_MOD_CREATE, PY_MOD_EXEC]
    # the exec slot is the module's own body
    symbols = subprocess.run(["nm", str(module_path(name))], capture_output=True, text=True, check=True).stdout
    assert f"pybind11_exec_{name}" in symbols


@pytest.mark.parametrize("name", built_modules())
def test_module_imports_without_gpu_in_a_fresh_interpreter(name):
    code = (f"import sys; sys.path.insert(0, {str(BUILD)!r}); import torch, {name} as m; "
            "print(sorted(n for n in dir(m) if not n.startswith('__')))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "kestrovane_" in result.stdout or "trimul" in result.stdout or "ln_bwd" in result.stdout
