"""The built modules load without a GPU and have the shared multi-phase definition."""
import ctypes
import subprocess
import sys

import pytest
import torch

from harness import BUILD, MODULES, ROOT, fake, load

FORWARD_TABLE = [
    ("kestrovane_pack_qkv", "Kestrovane fused physical [N,H,D] to logical [H,N,D] QKV pack"),
    ("kestrovane_triangle_forward_out", "Kestrovane Triangle Attention forward (online softmax)"),
    ("kestrovane_triangle_forward_shadow_out", "Forward + BF16 rounding-residual shadow for the SR delta"),
]


def built_modules():
    return [name for folder, name in MODULES.items() if (ROOT / folder).is_dir()]


def module_path(name):
    (path,) = BUILD.glob(f"{name}.*.so")
    return path


def test_forward_function_table():
    m = load("forward")
    # the module's namespace keeps the order in which the body defined the functions
    names = [n for n in vars(m) if n.startswith("kestrovane_")]
    assert names == [n for n, _ in FORWARD_TABLE]
    for name, doc in FORWARD_TABLE:
        # pybind11 puts the signature line first, then the docstring
        assert getattr(m, name).__doc__.strip().splitlines()[-1] == doc


@pytest.mark.parametrize("call", [
    lambda m, t: m.kestrovane_pack_qkv(q=t, k=t, v=t, batch_outer=1, H=1, N=1, D=2),
    lambda m, t: m.kestrovane_pack_qkv(t, t, t, 1, 1, 1, D=2),
    lambda m, t: m.kestrovane_pack_qkv(t, t, t, 1, 1, 1, "2"),
    lambda m, t: m.kestrovane_pack_qkv(t, t, [t], 1, 1, 1, 2),
    lambda m, t: m.kestrovane_pack_qkv(t, t, t, 1, 1, 1),
    lambda m, t: m.kestrovane_triangle_forward_out(t, t, t, t, t, t, lse=t),
    lambda m, t: m.kestrovane_triangle_forward_out(t, t, t, t, t, t),
    lambda m, t: m.kestrovane_triangle_forward_out(t, t, t, t, t, t, t, t),
    lambda m, t: m.kestrovane_triangle_forward_shadow_out(t, t, t, t, t, t, t, shadow_residual=t),
    lambda m, t: m.kestrovane_triangle_forward_shadow_out(t, t, t, t, t, t, t, [t]),
], ids=["all keywords", "one keyword", "str for int", "list for tensor", "too few", "forward keyword",
        "forward too few", "forward too many", "shadow keyword", "shadow list for tensor"])
def test_arguments_are_positional_and_typed(call):
    with pytest.raises(TypeError):
        call(load("forward"), fake([2]))


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
