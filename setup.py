"""pip install --no-build-isolation . (or pip wheel): every module whose sources are present, built
by the Makefile (one sm_90a cubin, no PTX, one export, the shared CUDA runtime) against the
Python and PyTorch running the install, and installed as top-level extension modules."""
import hashlib
import importlib.metadata
import os
import pathlib
import platform
import shutil
import subprocess
import sys

import torch
from setuptools import Distribution, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def make(folder, *targets, capture=False):
    command = ["make", "--no-print-directory", "-C", str(ROOT), f"PYTHON={sys.executable}", f"BUILD={folder}",
               *targets]
    return subprocess.run(command, check=True, text=True, capture_output=capture).stdout


def build_folder():
    """The checkout's build/ where it was configured for this interpreter and PyTorch (or not yet
    at all), so that installing from a built checkout compiles nothing; else a folder of their own
    inside it, so that the checkout's build is left as it is."""
    config = subprocess.run([sys.executable, "scripts/print_build_config.py"], cwd=ROOT, check=True, text=True,
                            capture_output=True).stdout
    default = ROOT / "build"
    current = default / "config.mk"
    if not current.exists() or current.read_text() == config:
        return default
    return default / f"python-{hashlib.sha256(config.encode()).hexdigest()[:12]}"


class BuildWithMake(build_ext):
    def run(self):
        folder = build_folder()
        make(folder, f"-j{os.cpu_count() or 1}", "modules")
        self.outputs = []
        pathlib.Path(self.build_lib).mkdir(parents=True, exist_ok=True)
        for built in make(folder, "-s", "print-modules", capture=True).split():
            target = pathlib.Path(self.build_lib) / pathlib.Path(built).name
            shutil.copy2(ROOT / built, target)
            self.outputs.append(str(target))

    def get_outputs(self):
        return getattr(self, "outputs", [])


class BinaryDistribution(Distribution):
    """Modules built outside setuptools' own extension machinery: a wheel for this platform."""

    def has_ext_modules(self):
        return True


PYTHON = ".".join(platform.python_version_tuple()[:2])
TORCH = importlib.metadata.version("torch")

setup(
    name="kestrovane",
    version="0.1.0",
    description="Fused, deterministic Hopper (sm_90a) kernels for triangle attention, as PyTorch extension modules",
    long_description=(
        f"Built for Python {PYTHON} and PyTorch {torch.__version__} (CUDA {torch.version.cuda}), the ones that ran "
        "the install: the modules load only there, so install again after changing either. They run on "
        "compute capability 9.0 GPUs only. Import torch before a module."),
    long_description_content_type="text/plain",
    python_requires=f"=={PYTHON}.*",
    install_requires=[f"torch=={TORCH}"],
    packages=[],
    py_modules=[],
    distclass=BinaryDistribution,
    cmdclass={"build_ext": BuildWithMake},
    options={"build": {"build_base": "build/setuptools"}, "egg_info": {"egg_base": "build"}},
    zip_safe=False,
)
