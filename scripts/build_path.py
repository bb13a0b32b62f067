"""Where the tests, benchmarks and examples import the modules from: the build folder named by
KESTROVANE_BUILD; else the installed modules (pip install .) where there are any; else this
checkout's build/."""
import importlib.util
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
PROBE = "_kestrovane_forward_sm90a"  # built whenever any module is


def use_build():
    """Makes the modules importable; returns the folder that holds them. Beside installed modules
    the checkout's build folder goes last on the path: the test-only modules live there."""
    chosen = os.environ.get("KESTROVANE_BUILD")
    build = pathlib.Path(chosen or ROOT / "build").resolve()
    if not chosen:
        found = importlib.util.find_spec(PROBE)
        if found is not None and found.origin and pathlib.Path(found.origin).parent != build:
            if str(build) not in sys.path:
                sys.path.append(str(build))
            return pathlib.Path(found.origin).parent
    if str(build) not in sys.path:
        sys.path.insert(0, str(build))
    return build
