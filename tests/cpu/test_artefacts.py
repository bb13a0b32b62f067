"""Every built module carries one sm_90a cubin, no PTX, and exports only PyInit_."""
import glob
import itertools
import os
import re
import shutil
import subprocess
import sys

import pytest

from cubin_kernels import nvidia_tool as find_nvidia_tool
from harness import BUILD, MODULES, ROOT, library_kernels


def nvidia_tool(name):
    """A CUDA binary tool from PATH or from the pip-installed nvidia packages."""
    found = find_nvidia_tool(name)
    if found is None:
        pytest.fail(f"{name} not found: install the nvidia-cuda-cuobjdump and nvidia-cuda-nvdisasm packages")
    return found


def module_files():
    files = []
    for folder, name in MODULES.items():
        if (ROOT / folder).is_dir():
            matches = list(BUILD.glob(f"{name}.*.so"))
            assert len(matches) == 1, f"{name} is not built"
            files.append(pytest.param(matches[0], id=name))
    return files


def cuobjdump(*args):
    tool = nvidia_tool("cuobjdump")
    env = dict(os.environ, NVDISASM_PATH=os.path.dirname(nvidia_tool("nvdisasm")))
    return subprocess.run([tool, *args], capture_output=True, text=True, env=env)


@pytest.mark.parametrize("path", module_files())
def test_one_sm90a_cubin_and_no_ptx(path):
    elves = cuobjdump("--list-elf", str(path))
    assert elves.returncode == 0, elves.stderr
    lines = [line for line in elves.stdout.splitlines() if line.strip()]
    assert len(lines) == 1 and lines[0].endswith(".sm_90a.cubin"), elves.stdout
    ptx = cuobjdump("--list-ptx", str(path))
    assert "PTX file" not in ptx.stdout and "No PTX file found" in ptx.stderr, ptx.stdout + ptx.stderr


@pytest.mark.parametrize("path", module_files())
def test_exports_only_pyinit(path):
    out = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True,
                         check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    module = path.name.split(".")[0]
    assert symbols == [f"PyInit_{module}"]


@pytest.mark.parametrize("path", module_files())
def test_links_the_shared_cuda_runtime(path):
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    assert "libcudart.so" in out and "libpython" not in out


# Opcodes that read-modify-write memory atomically: generic, global and shared atomics,
# reductions to global or distributed shared memory, and bulk / tensor-map reductions.
# REDUX (a warp-wide register reduction) and mbarrier operations (SYNCS.*.RED) are not.
ATOMIC_OPCODE = re.compile(r"^(ATOM\w*|RED|REDG|REDAS|UBLKRED|UTMAREDG)$")
SASS_INSTRUCTION = re.compile(r"/\*[0-9a-f]{4,}\*/\s+(?:@!?U?P[T0-9]+\s+)?([A-Z][A-Z0-9_]*)[.\s;]")


def sass_functions(text):
    """{kernel name: [base opcode, ...]} of cuobjdump -sass output."""
    functions, current = {}, None
    for line in text.splitlines():
        if "Function :" in line:
            current = functions.setdefault(line.split("Function :")[1].strip(), [])
        elif current is not None:
            match = SASS_INSTRUCTION.search(line)
            if match:
                current.append(match.group(1))
    return functions


def atomics(functions):
    return {name: sorted({op for op in ops if ATOMIC_OPCODE.match(op)}) for name, ops in functions.items()
            if any(ATOMIC_OPCODE.match(op) for op in ops)}


def test_atomic_detector_on_known_lines():
    lines = [
        "        Function : with_atomics",
        "        /*0010*/  @P0 ATOMG.E.ADD.F32.FTZ.RN.STRONG.GPU PT, RZ, [R2.64], R5 ;",
        "        /*0020*/       RED.E.ADD.STRONG.GPU [R2.64], R5 ;",
        "        /*0030*/  @!P1 ATOMS.ADD RZ, [R3], R4 ;",
        "        Function : without_atomics",
        "        /*0010*/       SYNCS.ARRIVE.TRANS64.RED.A1T0 RZ, [UR4], RZ ;",
        "        /*0020*/       REDUX.SUM UR4, R5 ;",
        "        /*0030*/       HMMA.16816.F32.BF16 R4, R8, R12, R4 ;",
        "        /*0040*/  @P0 STG.E.U16 desc[UR4][R2.64], R7 ;",
    ]
    assert atomics(sass_functions("\n".join(lines))) == {"with_atomics": ["ATOMG", "ATOMS", "RED"]}


@pytest.mark.parametrize("path", module_files())
def test_the_sanitizer_filter_names_every_kernel(path):
    # scripts/gpu_check.sh checks only kernels whose names hold one of these substrings, so a
    # kernel outside them would never meet the sanitizers
    names = library_kernels()
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    assert functions
    assert [f for f in functions if not any(n in f for n in names)] == []


@pytest.mark.parametrize("path", module_files())
def test_no_kernel_uses_atomics(path):
    sass = cuobjdump("-sass", str(path))
    assert sass.returncode == 0, sass.stderr
    functions = sass_functions(sass.stdout)
    assert functions and all(functions.values()), "no kernels disassembled"
    assert atomics(functions) == {}


def test_dkdv_sass_holds_every_kernel():
    (path,) = BUILD.glob(f"{MODULES['dkdv']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    names = list(functions)
    # (4 cp.async tiers + 3 TMA tiers) x SeqTail x KeyBlocksOnX x SquarePair, for each family,
    # and the fold
    assert sum("kestrovane_triangle_dkdv_kernel" in n for n in names) == 56
    assert sum("kestrovane_triangle_dkdv_delta_true_kernel" in n for n in names) == 56
    assert sum("kestrovane_delta_true_reduce_kernel" in n for n in names) == 1
    assert all("HMMA" in ops for n, ops in functions.items() if "triangle_dkdv" in n)


TMA_FORWARD_KERNEL = re.compile(r"kestrovane_triangle_forward_tma_kernelILi(\d+)ELb([01])ELb([01])ELb([01])E")


def test_only_the_tma_forward_kernels_use_wgmma_and_bulk_tensor_copies():
    (path,) = BUILD.glob(f"{MODULES['forward']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    instances = {TMA_FORWARD_KERNEL.search(n).groups() for n in functions if TMA_FORWARD_KERNEL.search(n)}
    # three tiers, each with its eight (QueryTilesOnX, FullTiles, SquarePair) instantiations
    assert instances == {(tier, *flags) for tier in ("16", "32", "64")
                         for flags in itertools.product("01", repeat=3)}
    for name, ops in functions.items():
        uses = ("HGMMA" in ops, "UTMALDG" in ops)
        expected = (True, True) if TMA_FORWARD_KERNEL.search(name) else (False, False)
        assert uses == expected, f"{name}: HGMMA/UTMALDG {uses}"


# kestrovane_triangle_dkdv[_delta_true]_kernel<HeadDimTier, SeqTail, KeyBlocksOnX, SquarePair, UseTma>
DKDV_KERNEL = re.compile(r"kestrovane_triangle_dkdv(_delta_true)?_kernelILi(\d+)ELi(n?\d+)ELb([01])ELb([01])ELb([01])E")


def test_only_the_tma_dkdv_kernels_use_wgmma_and_bulk_tensor_copies():
    (path,) = BUILD.glob(f"{MODULES['dkdv']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    kernels = {name: DKDV_KERNEL.search(name).groups() for name in functions if DKDV_KERNEL.search(name)}
    tma = sorted((groups[0] or "",) + groups[1:5] for groups in kernels.values() if groups[5] == "1")
    # both families, tiers 16, 32 and 64, each with its eight (SeqTail, KeyBlocksOnX, SquarePair)
    assert tma == sorted((family, tier, tail, *flags) for family in ("", "_delta_true")
                         for tier in ("16", "32", "64") for tail in ("n1", "0")
                         for flags in itertools.product("01", repeat=2))
    for name, ops in functions.items():
        uses = ("HGMMA" in ops, "UTMALDG" in ops)
        expected = (True, True) if name in kernels and kernels[name][5] == "1" else (False, False)
        assert uses == expected, f"{name}: HGMMA/UTMALDG {uses}"


def test_dq_dbias_sass_holds_every_kernel():
    (path,) = BUILD.glob(f"{MODULES['dq_dbias']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    leaf = re.compile(r"kestrovane_dq_dbias_leaf_kernelILi(\d+)ELi(n?\d+)ELb([01])ELb([01])ELb([01])E")
    instances = {leaf.search(n).groups() for n in functions if leaf.search(n)}
    # per tier: SeqTail -1 with whole query tiles, SeqTail 0 with both, each in both
    # orientations and with and without SquarePair
    assert instances == {(tier, tail, full, *flags) for tier in ("16", "32", "64", "128")
                         for tail, full in (("n1", "1"), ("0", "1"), ("0", "0"))
                         for flags in itertools.product("01", repeat=2)}
    assert sum("kestrovane_dq_dbias_finalize_kernel" in n for n in functions) == 1
    assert sum("kestrovane_reduce_broadcast_dbias_kernel" in n for n in functions) == 1
    assert all("HMMA" in ops for n, ops in functions.items() if leaf.search(n))


# The forward kernels at global scope with their parameter lists: (z, five weights, mask, gamma,
# beta, rows, NN, C, H, a, b, g, mean, rstd, zln) and (x, wz, gate, gamma, beta, rows, NN, C, H,
# out, xln, mean, rstd).
TRIMUL_FORWARD_KERNELS = [
    "_Z20trimul_in_fwd_kernelPK13__nv_bfloat16PKfS3_S3_S3_S3_S3_S3_S3_lliiPS_S4_S4_PfS5_S4_",
    "_Z21trimul_out_fwd_kernelPK13__nv_bfloat16PKfS1_S3_S3_lliiPS_S4_PfS5_",
]


def test_trimul_forward_kernels_run_on_mma_sync():
    (path,) = BUILD.glob(f"{MODULES['trimul']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    for name in TRIMUL_FORWARD_KERNELS:
        ops = functions[name]
        assert "HMMA" in ops and "HGMMA" not in ops and "UTMALDG" not in ops, name


# The backward kernels at global scope with their parameter lists, both instantiations of the
# weight-gradient fold among them; only the gate split recomputes products on tensor cores.
TRIMUL_BACKWARD_KERNELS = {
    "_Z28trimul_gate_split_bwd_kernelPK13__nv_bfloat16PKfS3_S3_S3_S3_S1_S1_lliiPS_": True,
    "_Z22sig_mul_bwd_out_kernelPK13__nv_bfloat16S1_S1_lilPS_S2_": False,
    "_Z16ln_bwd_dx_kernelPK13__nv_bfloat16S1_lillPKfS3_S3_PS_": False,
    "_Z25ln_bwd_dgb_partial_kernelPK13__nv_bfloat16S1_lilllPKfS3_Pf": False,
    "_Z22ln_bwd_dgb_fold_kernelPKfiiPfS1_": False,
    "_Z23transpose_ln_bwd_kernelPK13__nv_bfloat16S1_liPKfS3_S3_PS_Pf": False,
    "_Z28ln_bwd_dgb_group_fold_kernelPKfiiiPf": False,
    "_Z30trimul_wgrad_fixed_fold_kernelILb1EEvPKfilPf": False,
    "_Z30trimul_wgrad_fixed_fold_kernelILb0EEvPKfilPf": False,
}


def test_trimul_backward_kernels():
    (path,) = BUILD.glob(f"{MODULES['trimul']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    assert len(functions) == len(TRIMUL_FORWARD_KERNELS) + len(TRIMUL_BACKWARD_KERNELS)
    for name, tensor_cores in TRIMUL_BACKWARD_KERNELS.items():
        ops = functions[name]
        assert ("HMMA" in ops) == tensor_cores and "HGMMA" not in ops, name


# kestrovane_sr_leaf_kernel<HeadDimTier, KeyBlocksOnX, SquarePair>
SR_LEAF_KERNEL = re.compile(r"kestrovane_sr_leaf_kernelILi(\d+)ELb([01])ELb([01])E")


def test_sr_leaf_uses_wgmma_in_every_instantiation():
    (path,) = BUILD.glob(f"{MODULES['dq_dbias']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    leaves = {SR_LEAF_KERNEL.search(n).groups(): ops for n, ops in functions.items() if SR_LEAF_KERNEL.search(n)}
    assert sorted(leaves) == sorted((tier, *flags) for tier in ("16", "32", "64")
                                    for flags in itertools.product("01", repeat=2))
    for key, ops in leaves.items():
        assert "HGMMA" in ops and "HMMA" in ops and "LDGSTS" in ops, key
    assert sum("kestrovane_sr_dq_reduce_kernel" in n for n in functions) == 1


WG_KERNEL = re.compile(r"kestrovane_dq_dbias_wg_kernelILi(\d+)ELb([01])ELb([01])E")


def test_dq_dbias_warpgroup_kernels_use_wgmma_and_the_other_lanes_do_not():
    (path,) = BUILD.glob(f"{MODULES['dq_dbias']}.*.so")
    functions = sass_functions(cuobjdump("-sass", str(path)).stdout)
    instances = {WG_KERNEL.search(n).groups() for n in functions if WG_KERNEL.search(n)}
    # three tiers, each with its four (QueryTilesOnX, SquarePair) instantiations
    assert instances == {(tier, *flags) for tier in ("16", "32", "64") for flags in itertools.product("01", repeat=2)}
    for name, ops in functions.items():
        if WG_KERNEL.search(name):
            # S and dP on wgmma, dQ on mma.sync, tiles staged by plain loads and shared stores
            assert "HGMMA" in ops and "HMMA" in ops and "LDSM" in ops, name
            assert "UTMALDG" not in ops and "LDGSTS" not in ops, name
        elif any(k in name for k in ("dq_dbias_leaf_kernel", "dq_dbias_finalize_kernel", "broadcast_dbias_kernel")):
            # the exact-tiles and general lanes, their finalizer and the broadcast fold
            assert "HGMMA" not in ops, name
