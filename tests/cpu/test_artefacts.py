"""Every built module carries one sm_90a cubin, no PTX, and exports only PyInit_."""
import glob
import itertools
import os
import re
import shutil
import subprocess
import sys

import pytest

from harness import BUILD, MODULES, ROOT


def nvidia_tool(name):
    """A CUDA binary tool from PATH or from the pip-installed nvidia packages."""
    found = shutil.which(name)
    if found:
        return found
    for site in sys.path:
        for candidate in glob.glob(os.path.join(site, "nvidia", "*", "bin", name)):
            return candidate
    pytest.fail(f"{name} not found: install the nvidia-cuda-cuobjdump and nvidia-cuda-nvdisasm packages")


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


def sass_by_function(path):
    """The SASS of each kernel in a module, keyed by its mangled name."""
    dump = cuobjdump("-sass", str(path))
    assert dump.returncode == 0, dump.stderr
    functions, name = {}, None
    for line in dump.stdout.splitlines():
        match = re.match(r"\s*Function : (\S+)", line)
        if match:
            name = match.group(1)
            functions[name] = []
        elif name is not None:
            functions[name].append(line)
    return {n: "\n".join(lines) for n, lines in functions.items()}


TMA_FORWARD_KERNEL = re.compile(r"kestrovane_triangle_forward_tma_kernelILi(\d+)ELb([01])ELb([01])ELb([01])E")


def test_only_the_tma_forward_kernels_use_wgmma_and_bulk_tensor_copies():
    (path,) = BUILD.glob(f"{MODULES['forward']}.*.so")
    functions = sass_by_function(path)
    instances = {TMA_FORWARD_KERNEL.search(n).groups() for n in functions if TMA_FORWARD_KERNEL.search(n)}
    # three tiers, each with its eight (QueryTilesOnX, FullTiles, SquarePair) instantiations
    assert instances == {(tier, *flags) for tier in ("16", "32", "64")
                         for flags in itertools.product("01", repeat=3)}
    for name, sass in functions.items():
        uses = (re.search(r"\bHGMMA\.", sass) is not None, re.search(r"\bUTMALDG\.", sass) is not None)
        expected = (True, True) if TMA_FORWARD_KERNEL.search(name) else (False, False)
        assert uses == expected, f"{name}: HGMMA/UTMALDG {uses}"
