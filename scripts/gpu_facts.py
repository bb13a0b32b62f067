"""Prints the facts of this machine that a GPU result depends on (Python, PyTorch, numpy, the
pybind11 in PyTorch's headers, each CUDA device) and exits 0 only when PyTorch's current CUDA
device has compute capability 9.0, the only one the modules carry code for."""
import pathlib
import platform
import re
import sys


def pybind11_version(torch):
    for folder in torch.utils.cpp_extension.include_paths():
        header = pathlib.Path(folder) / "pybind11" / "detail" / "common.h"
        if header.is_file():
            text = header.read_text(errors="replace")
            parts = [re.search(rf"#define PYBIND11_VERSION_{p}\s+(\S+)", text) for p in ("MAJOR", "MINOR", "PATCH")]
            return ".".join(m.group(1) for m in parts if m)
    return "not found"


def main():
    print(f"python: {platform.python_version()} ({sys.executable})")
    try:
        import torch
        import torch.utils.cpp_extension
    except ImportError as error:
        print(f"torch: cannot be imported ({error})")
        return 1
    print(f"torch: {torch.__version__} (CUDA {torch.version.cuda})")
    try:
        import numpy
        print(f"numpy: {numpy.__version__}")
    except ImportError:
        print("numpy: not installed")
    print(f"pybind11 in torch's headers: {pybind11_version(torch)}")
    if not torch.cuda.is_available():
        print("CUDA devices: none that PyTorch can use")
        return 1
    for index in range(torch.cuda.device_count()):
        p = torch.cuda.get_device_properties(index)
        print(f"device {index}: {p.name}, compute capability {p.major}.{p.minor}, {p.multi_processor_count} "
              f"multiprocessors, {p.total_memory / 2**30:.1f} GiB")
    return 0 if torch.cuda.get_device_capability() == (9, 0) else 1


if __name__ == "__main__":
    sys.exit(main())
