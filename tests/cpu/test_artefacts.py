"""Every built module carries one sm_90a cubin, no PTX, and exports only PyInit_."""
import glob
import os
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
