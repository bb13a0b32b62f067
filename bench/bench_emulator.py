"""The CPU execution model as a benchmark: runs the emulated cases of the GPU suites given
on the command line (default: pack, delta and forward) with KESTROVANE_EMULATOR_STATS and
reports launches, blocks, fiber switches and their rates, from the model's own time per
launch (the references and comparisons of the tests are not counted)."""
import collections
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT = ["tests/gpu/test_pack_gpu.py", "tests/gpu/test_delta_gpu.py", "tests/gpu/test_forward_gpu.py",
           "tests/gpu/test_forward_tma_gpu.py"]


def main(files):
    with tempfile.TemporaryDirectory() as folder:
        stats = pathlib.Path(folder) / "stats.tsv"
        env = dict(os.environ, KESTROVANE_EMULATOR_STATS=str(stats))
        started = time.perf_counter()
        result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-k", "emulated", "-p", "no:cacheprovider",
                                 *files], cwd=ROOT, env=env, capture_output=True, text=True)
        wall = time.perf_counter() - started
        lines = stats.read_text().splitlines() if stats.exists() else []
    print(result.stdout.strip().splitlines()[-1] if result.stdout.strip() else result.stderr)
    totals = collections.Counter()
    for line in lines:
        fields = dict(f.split("=", 1) for f in line.split("\t")[1:])
        totals["launches"] += 1
        for key in ("blocks", "threads", "switches"):
            totals[key] += int(fields[key])
        totals["seconds"] += float(fields["seconds"])
    seconds = totals["seconds"] or float("nan")
    print(f"pytest wall time {wall:.1f} s, of which in the model {totals['seconds']:.1f} s")
    print(f"{totals['launches']} launches ({totals['launches'] / seconds:.0f}/s), {totals['blocks']} blocks "
          f"({totals['blocks'] / seconds:.0f}/s), {totals['threads']} threads, {totals['switches']} fiber switches "
          f"({totals['switches'] / seconds / 1e6:.2f} M/s, {1e9 * seconds / max(totals['switches'], 1):.0f} ns each "
          f"with all the work between them)")
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or DEFAULT))
