"""The main job (examples/main_job.py) without a Hopper GPU: it runs every example on the emulated
modules, checked against PyTorch, says that it ran on the CPU execution model, and ends non-zero
when a result and its reference disagree. Each case runs the job in a process of its own with
CUDA hidden, so that it takes the CPU path on any machine."""
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

from harness import MODULES, ROOT

CPU_MODEL_LINE = "running the same examples on the CPU execution model"
NEEDED = [f"_kestrovane_{folder}_emulated" for folder in MODULES] + ["_kestrovane_testing"]

pytestmark = pytest.mark.skipif(any(importlib.util.find_spec(name) is None for name in NEEDED),
                                reason="the emulated modules are not built (make builds them in build/)")


def run_job(code):
    env = dict(os.environ, CUDA_VISIBLE_DEVICES="")
    return subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=120)


# The job imported as a module, with `plant` run before main(): a test-only way to make one of
# its references wrong, which the shipped job has no switch for.
JOB = textwrap.dedent("""\
    import sys
    sys.path.insert(0, "examples")
    import main_job
    {plant}
    sys.exit(main_job.main())
""")

# The layer's eager output, which relative_errors compares the kernels' output with row by row,
# off by 10 %: the last example fails.
WRONG_LAYER_REFERENCE = textwrap.dedent("""\
    import trimul_layer
    right = trimul_layer.eager_layer
    trimul_layer.eager_layer = lambda *args: right(*args) * 1.1
""")


def test_job_runs_every_example_on_the_cpu_model():
    job = run_job(JOB.format(plant=""))
    assert job.returncode == 0, job.stdout + job.stderr
    lines = job.stdout.splitlines()
    assert sum(CPU_MODEL_LINE in line for line in lines) == 1, job.stdout
    # one line per example that ran (both trimul layer orientations), then the verdict
    for function in ("kestrovane_pack_qkv", "kestrovane_triangle_forward_shadow_out",
                     "kestrovane_triangle_delta_out", "kestrovane_triangle_delta_shadow_out",
                     "kestrovane_triangle_dkdv_delta_true_out", "kestrovane_triangle_dq_dbias_out",
                     "kestrovane_triangle_sr_backward_out", "trimul_in_fwd, trimul_out_fwd",
                     "triangle multiplicative update (outgoing)", "triangle multiplicative update (incoming)"):
        assert any(line.startswith(f"  {function}") for line in lines), f"{function} did not run:\n{job.stdout}"
    assert lines[-1] == "all checks passed"


def test_a_wrong_reference_fails_the_job():
    job = run_job(JOB.format(plant=WRONG_LAYER_REFERENCE))
    assert job.returncode == 1, job.stdout + job.stderr
    assert CPU_MODEL_LINE in job.stdout
    # every example before the planted one still passed
    assert "  trimul_in_fwd, trimul_out_fwd" in job.stdout, job.stdout
    assert job.stdout.splitlines()[-1].startswith("MISMATCH: out: "), job.stdout
    assert "all checks passed" not in job.stdout
