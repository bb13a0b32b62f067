"""The kernels of a module's sm90a cubin, spelled as c++filt spells their symbols, and the
kernels that the CPU execution model's launch log (KESTROVANE_EMULATOR_LOG) records."""
import glob
import os
import pathlib
import shutil
import subprocess
import sys

from harness import BUILD, MODULES


def nvidia_tool(name):
    """A CUDA binary tool from PATH or from the pip-installed nvidia packages, or None."""
    found = shutil.which(name)
    if found:
        return found
    for site in sys.path:
        for candidate in glob.glob(os.path.join(site, "nvidia", "*", "bin", name)):
            return candidate
    return None


def cubin_kernels(folder):
    """Demangled names of every kernel in the sm90a cubin of module folder `folder`."""
    tool = nvidia_tool("cuobjdump")
    if tool is None:
        raise RuntimeError("cuobjdump not found: install the nvidia-cuda-cuobjdump package")
    (path,) = BUILD.glob(f"{MODULES[folder]}.*.so")
    elf = subprocess.run([tool, "-elf", str(path)], capture_output=True, text=True, check=True).stdout
    mangled = sorted({word[len(".text."):] for line in elf.splitlines() for word in line.split()
                      if word.startswith(".text._Z")})
    names = subprocess.run(["c++filt"], input="\n".join(mangled), capture_output=True, text=True, check=True)
    return set(names.stdout.splitlines())


def launched_kernels(log):
    """The kernel names of every line of a launch log (name, then grid, block and shared bytes)."""
    path = pathlib.Path(log)
    if not path.exists():
        return set()
    return {line.split("\t")[0] for line in path.read_text().splitlines() if line}
