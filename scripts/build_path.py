"""Where the tests, benchmarks and examples import the modules from: the build folder named by
KESTROVANE_BUILD, by default this checkout's build/."""
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]


def build_folder():
    return pathlib.Path(os.environ.get("KESTROVANE_BUILD") or ROOT / "build").resolve()


def use_build():
    """Puts the build folder first on sys.path; returns it."""
    folder = build_folder()
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))
    return folder
