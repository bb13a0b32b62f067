"""Prints the make variables that depend on the interpreter and its PyTorch build."""
import os
import sysconfig

import torch
from torch.utils import cpp_extension

root = os.path.dirname(torch.__file__)
includes = cpp_extension.include_paths()
flags = [f"-isystem {p}" for p in includes]
flags.append(f"-isystem {sysconfig.get_paths()['include']}")
flags.append(f"-D_GLIBCXX_USE_CXX11_ABI={int(torch._C._GLIBCXX_USE_CXX11_ABI)}")
# Match PyTorch's pybind11 ABI tags so that type information is shared with torch's module.
for name in ("COMPILER_TYPE", "STDLIB", "BUILD_ABI"):
    value = getattr(torch._C, f"_PYBIND11_{name}", None)
    if value is not None:
        flags.append(f'-DPYBIND11_{name}=\\"{value}\\"')
print(f"TORCH_CXXFLAGS := {' '.join(flags)}")
print(f"TORCH_LIB := {os.path.join(root, 'lib')}")
print(f"EXT_SUFFIX := {sysconfig.get_config_var('EXT_SUFFIX')}")
