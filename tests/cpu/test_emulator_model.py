"""The CPU execution model itself: faults it must report, the launch configurations and
device attributes of its runtime, and its launch log."""
import importlib
import math
import os
import re
import struct

import pytest
import torch

from cubin_kernels import cubin_kernels, launched_kernels
from harness import load
from harness import testing as emulator_testing


def faults():
    return importlib.import_module("_kestrovane_emulator_faults")


@pytest.mark.parametrize("fault, hazard", [
    ("missing_arrival", r"deadlock: every live thread of the block is waiting; thread \(\d+,0,0\) waits at the "
                        r"mbarrier at shared address 0x0 \(kernel \(anonymous namespace\)::missing_arrival_kernel"
                        r"\(float\*\), block \(0,0,0\)\)"),
    ("partial_mask_shuffle", r"a warp shuffle \(mask 0x[0-9a-f]{8}\) meets a warp shuffle .* do not match its mask "
                             r"\(kernel \(anonymous namespace\)::partial_mask_shuffle_kernel\(float\*\), "
                             r"block \(0,0,0\), thread \(\d+,0,0\)\)"),
    ("out_of_window", r"shared access of 16 bytes at 0x4[0-7]0 outside the block's shared window \(kernel "
                      r"\(anonymous namespace\)::out_of_window_kernel\(float\*\), block \(0,0,0\), thread"),
    ("early_copy_read", r"read \(a 4-byte load\) by thread \(0,0,0\) of shared byte 0x0 before the asynchronous "
                        r"copy that thread \(0,0,0\) issued into it has completed \(kernel \(anonymous "
                        r"namespace\)::early_copy_read_kernel\(float const\*, float\*\), block \(0,0,0\)"),
    # a lane of warp 1 reads the element lane - 32 of warp 0 wrote
    ("shared_race", r"shared-memory race on byte 0x[0-7][048c]: a read \(a 4-byte load\) by thread \((?P<t>3[2-9]|[4-6]\d),"
                    r"0,0\) and an earlier write by thread \(\d+,0,0\), with no order between them \(kernel "
                    r"\(anonymous namespace\)::shared_race_kernel\(float\*\), block \(0,0,0\), thread \((?P=t),0,0\)\)"),
    ("uninitialised_read", r"read of uninitialised shared memory: byte 0x0 \(a 4-byte load by thread \(0,0,0\)\) was "
                           r"not written since the block started \(kernel \(anonymous namespace\)::"
                           r"uninitialised_read_kernel"),
    ("tail_store", r"global a 4-byte store of 4 bytes at 0x[0-9a-f]+ lies outside every tensor of the launch: the "
                   r"nearest is out \(256 bytes\), 0 bytes past its end \(kernel \(anonymous namespace\)::"
                   r"tail_store_kernel\(float\*, int\), block \(0,0,0\), thread \(64,0,0\)\)"),
    ("misaligned_store", r"store of type '(struct )?uint4' at 0x[0-9a-f]*8 is not aligned to its 16 bytes \(tests/support/"
                         r"emulated/faults_kernels.cu:\d+\) \(kernel \(anonymous namespace\)::misaligned_store_kernel"
                         r"\(float\*\), block \(0,0,0\), thread \(0,0,0\)\)"),
    ("block_conflict", r"two blocks write one launch: global byte 0x[0-9a-f]+ of out \(a 4-byte store by this "
                       r"block\), written earlier by block \(0,0,0\) \(kernel \(anonymous namespace\)::"
                       r"block_conflict_kernel\(float\*\), block \(1,0,0\), thread \(0,0,0\)\)"),
])
def test_planted_faults_raise(fault, hazard):
    out = torch.zeros(64)
    with pytest.raises(RuntimeError) as info:
        faults().run_fault(fault, torch.ones(4), out)
    assert str(info.value).startswith("emulator: ")
    assert re.search(hazard, str(info.value)), str(info.value)


def test_ordered_exchanges_run_clean():
    out = torch.zeros(64)
    faults().run_fault("ordered_exchange", torch.ones(4), out)
    t = torch.arange(64)
    expected = (63 - t) + (63 - (t ^ 1))
    expected[:32] += 100 + (63 - t[:32])
    assert torch.equal(out, expected.float())


def test_without_checks_a_copy_destination_reads_as_poison_until_its_group_completes(monkeypatch):
    monkeypatch.setenv("KESTROVANE_EMULATOR_CHECKS", "off")
    src, out = torch.tensor([1.5, 2.5, 3.5, 4.5]), torch.zeros(64)
    faults().run_fault("early_copy_read", src, out)
    assert out.view(torch.int32)[0] == -1  # the NaN pattern, all bits set
    assert out[1] == 1.5


INVALID_VALUE, INVALID_CONFIGURATION = 1, 9


@pytest.mark.parametrize("grid, block, smem, opt_in, code", [
    ((3, 2, 1), (32, 2, 1), 0, -1, 0),
    ((1, 1, 1), (1025, 1, 1), 0, -1, INVALID_CONFIGURATION),   # more than 1024 threads along x
    ((1, 1, 1), (32, 32, 2), 0, -1, INVALID_CONFIGURATION),    # 2048 threads
    ((1, 1, 1), (1, 1, 65), 0, -1, INVALID_CONFIGURATION),     # z above 64
    ((1, 65536, 1), (1, 1, 1), 0, -1, INVALID_CONFIGURATION),  # grid y above 65535
    ((0, 1, 1), (1, 1, 1), 0, -1, INVALID_CONFIGURATION),
    ((1, 1, 1), (32, 1, 1), 49153, -1, INVALID_VALUE),         # past 48 KB without an opt-in
    ((1, 1, 1), (32, 1, 1), 49153, 49152, INVALID_VALUE),      # past the opted-in size
    ((1, 1, 1), (32, 1, 1), 232448, 232448, 0),                # the whole 227 KB
    ((1, 1, 1), (32, 1, 1), 0, 232449, -INVALID_VALUE),        # an opt-in past 227 KB is refused
])
def test_launch_configurations_as_the_runtime_takes_them(grid, block, smem, opt_in, code):
    threads = math.prod(grid) * math.prod(block)
    out = torch.full((max(threads, 1) + 8,), -1.0)
    assert faults().probe_launch(list(grid), list(block), smem, opt_in, out) == code
    if code == 0:
        assert torch.equal(out[:threads], torch.arange(threads, dtype=torch.float32))
        assert (out[threads:] == -1).all()
    else:
        assert (out == -1).all(), "a refused launch ran"
    if code < 0:  # the refused opt-in left its error for the next cudaGetLastError
        assert faults().probe_launch([1, 1, 1], [1, 1, 1], 0, -1, out) == -code
    assert faults().probe_launch([1, 1, 1], [1, 1, 1], 0, -1, out) == 0


@pytest.mark.parametrize("attribute, device, value", [
    (16, 0, 132),      # cudaDevAttrMultiProcessorCount
    (8, 0, 49152),     # cudaDevAttrMaxSharedMemoryPerBlock
    (97, 0, 232448),   # cudaDevAttrMaxSharedMemoryPerBlockOptin
    (75, 0, 9),        # cudaDevAttrComputeCapabilityMajor
    (76, 0, 0),        # cudaDevAttrComputeCapabilityMinor
    (16, 1, -101),     # one device only: cudaErrorInvalidDevice
])
def test_device_attributes_are_an_h100s(attribute, device, value):
    assert faults().device_attribute(attribute, device) == value


def test_launch_log_spells_kernels_as_the_cubin_does(tmp_path, monkeypatch):
    log = tmp_path / "launches.log"
    monkeypatch.setenv("KESTROVANE_EMULATOR_LOG", str(log))
    monkeypatch.setenv("KESTROVANE_EMULATOR_SCHEDULE", "forward")
    m = load("_kestrovane_delta_emulated")
    alias = emulator_testing().cuda_alias
    d_output = torch.ones(1, 1, 9, 2, 8, dtype=torch.bfloat16)
    delta = torch.zeros(18)
    m.kestrovane_triangle_delta_out(alias(d_output), alias(d_output), alias(delta))
    assert torch.equal(delta, torch.full((18,), 8.0))
    (line,) = log.read_text().splitlines()
    name, grid, block, smem = line.split("\t")
    assert name in cubin_kernels("delta")
    assert name == ("(anonymous namespace)::kestrovane_triangle_delta_kernel(__nv_bfloat16 const*, "
                    "__nv_bfloat16 const*, float*, long, int, int, int)")
    assert (grid, block, smem) == ("grid=3,1,1", "block=256,1,1", "smem=0")
    assert launched_kernels(log) == {name}


def test_an_unknown_schedule_is_refused(monkeypatch):
    monkeypatch.setenv("KESTROVANE_EMULATOR_SCHEDULE", "sideways")
    with pytest.raises(RuntimeError, match="emulator: KESTROVANE_EMULATOR_SCHEDULE must be forward or reverse"):
        faults().probe_launch([1, 1, 1], [1, 1, 1], 0, -1, torch.zeros(8))


@pytest.mark.parametrize("grid, k", [([7, 1, 1], 2), ([5, 6, 2], 1), ([3, 1, 1], 2), ([4, 2, 1], 0)])
def test_edge_blocks_run_only_the_blocks_near_each_end_of_every_axis(monkeypatch, grid, k):
    monkeypatch.setenv("KESTROVANE_EMULATOR_EDGE_BLOCKS", str(k))
    threads = 2
    out = torch.full((math.prod(grid) * threads,), -1.0)
    assert faults().probe_launch(grid, [threads, 1, 1], 0, -1, out) == 0
    near = lambda c, n: k == 0 or c < k or c >= n - k  # noqa: E731
    for z in range(grid[2]):
        for y in range(grid[1]):
            for x in range(grid[0]):
                b = x + grid[0] * (y + grid[1] * z)
                ran = near(x, grid[0]) and near(y, grid[1]) and near(z, grid[2])
                expected = [float(b * threads + t) for t in range(threads)] if ran else [-1.0] * threads
                assert out[b * threads:(b + 1) * threads].tolist() == expected, (x, y, z)


def test_an_edge_block_count_that_is_not_a_number_is_refused(monkeypatch):
    monkeypatch.setenv("KESTROVANE_EMULATOR_EDGE_BLOCKS", "all")
    with pytest.raises(RuntimeError, match="emulator: KESTROVANE_EMULATOR_EDGE_BLOCKS must be a count"):
        faults().probe_launch([1, 1, 1], [1, 1, 1], 0, -1, torch.zeros(8))
