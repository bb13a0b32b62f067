"""pip wheel of the checkout: the Makefile's modules in a wheel that installs into a fresh virtual
environment given this machine's PyTorch, where every module imports from any directory."""
import importlib.metadata
import importlib.util
import json
import pathlib
import subprocess
import sys
import zipfile

from harness import BUILD, MODULES, ROOT


def run(*command, cwd=None):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, cwd=cwd)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result.stdout


def test_wheel_installs_into_a_fresh_environment_and_every_module_imports(tmp_path):
    built = sorted(name for folder, name in MODULES.items() if (ROOT / folder).is_dir())
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index", "--no-cache-dir",
        "-w", tmp_path / "wheels", ROOT)
    (wheel,) = (tmp_path / "wheels").glob("kestrovane-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        top = {name for name in archive.namelist() if "/" not in name}
        assert sorted(name.split(".")[0] for name in top) == built and all(name.endswith(".so") for name in top)
        if BUILD == ROOT / "build":
            # the Makefile's own files (those the artefact checks read), not a second build
            for name in top:
                assert archive.read(name) == (BUILD / name).read_bytes(), name

    env = tmp_path / "env"
    run(sys.executable, "-m", "venv", "--without-pip", env)
    python = env / "bin" / "python"
    site = pathlib.Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").strip())
    # this machine's PyTorch, without downloading it again
    (site / "machine-torch.pth").write_text(str(pathlib.Path(importlib.util.find_spec("torch").origin).parents[1]))
    run(sys.executable, "-m", "pip", "--python", python, "install", "--no-index", "--no-cache-dir", wheel)

    code = f"""if True:
        import importlib, importlib.metadata, json
        import torch
        modules = {{name: importlib.import_module(name) for name in {built!r}}}
        print(json.dumps(dict(
            files={{name: m.__file__ for name, m in modules.items()}},
            functions={{name: [f for f in dir(m) if not f.startswith("__")] for name, m in modules.items()}},
            requires=importlib.metadata.requires("kestrovane"))))
        """
    report = json.loads(run(python, "-c", code, cwd=tmp_path))  # not the checkout: nothing found by accident
    assert all(pathlib.Path(f).parent == site for f in report["files"].values()), report["files"]
    assert all(report["functions"].values()), report["functions"]
    assert report["requires"] == [f"torch=={importlib.metadata.version('torch')}"]
