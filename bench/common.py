"""Timing helpers shared by the benchmarks (CUDA events, median of repeated runs)."""
import pathlib
import statistics
import sys

import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "scripts"))
from build_path import use_build  # noqa: E402

use_build()


def time_ms(fn, warmup=5, repeat=30):
    for _ in range(warmup):
        fn()
    torch.cuda.synchronize()
    times = []
    for _ in range(repeat):
        start, end = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
        start.record()
        fn()
        end.record()
        end.synchronize()
        times.append(start.elapsed_time(end))
    return statistics.median(times)


def require_hopper():
    if not (torch.cuda.is_available() and torch.cuda.get_device_capability() == (9, 0)):
        print("benchmarks need a CUDA device of compute capability 9.0 (Hopper)")
        sys.exit(0)
    print(f"device: {torch.cuda.get_device_name()}")
