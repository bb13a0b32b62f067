"""Pure host logic of the warpgroup lane of dQ/dBias without a GPU: the lane table, its plan
check, shared memory per tier, the swizzled tile addresses and wgmma descriptors
decoded back, and the waves of a call with their grids and failures."""
import importlib

import pytest

import harness  # noqa: F401  (puts the build folder on sys.path)
from tma_pattern import tma_swizzled_byte

host = importlib.import_module("_kestrovane_dq_dbias_wg_host")

TIERS = [16, 32, 64]
INT32_MAX = 2**31 - 1


def test_lane_table_runs_the_warpgroup_rows_on_their_own_launcher():
    module = importlib.import_module("_kestrovane_dq_dbias_host")
    # (tier, lane of the table, lane whose launcher the entry calls)
    assert module.lane(64, 64, 64) == (64, "warpgroup", "warpgroup")
    assert module.lane(64, 64, 32) == (64, "exact_tiles", "exact_tiles")   # the same tensors, 32-row slabs
    assert module.lane(128, 64, 64) == (128, "exact_tiles", "exact_tiles")  # never above tier 64
    assert module.lane(64, 128, 96) == (64, "exact_tiles", "exact_tiles")


@pytest.mark.parametrize("N, O, B, slab_rows, gpw, bpw, valid", [
    (128, 6, 3, 64, 2, 3, True),
    (128, 6, 3, 96, 1, 1, False),    # slab_rows 96 with N = 128
    (96, 6, 3, 64, 1, 1, False),     # N not a multiple of 64
    (128, 6, 3, 0, 1, 1, False),
    (128, 6, 3, 64, 0, 1, False),
    (128, 6, 3, 64, 3, 1, False),    # groups = ceil(6/4) = 2
    (128, 5, 3, 64, 2, 1, True),
    (128, 6, 3, 64, 1, 0, False),
    (128, 6, 3, 64, 1, 4, False),
    (64, INT32_MAX, 1, 64, 536870912, 1, True),   # groups in 64 bits: (2^31-1+3)/4
])
def test_plan_check(N, O, B, slab_rows, gpw, bpw, valid):
    assert host.plan_valid(N, O, B, slab_rows, gpw, bpw) is valid


@pytest.mark.parametrize("tier, total", [(16, 46592), (32, 71168), (64, 120320)])
def test_shared_memory_layout(tier, total):
    assert host.shared_bytes(tier) == total
    t = tier
    assert host.layout(tier) == {
        "q_tiles": 0, "do_tiles": 512 * t, "kv_tiles": 1024 * t, "bias": 1536 * t, "mask": 1536 * t + 4608,
        "ds": 1536 * t + 5120, "total": total, "query_tile_bytes": 64 * 2 * t, "kv_row_stride": 2 * 32 * 2 * t,
        "v_offset": 32 * 2 * t}
    # bias [64][36] BF16, mask [4][32] FP32, dS [2][64][33] FP32 fill the rest exactly
    assert total - 1536 * t == 64 * 36 * 2 + 4 * 32 * 4 + 2 * 64 * 33 * 4


def row_xor(tier, r):
    return {16: (r // 4) % 2, 32: (r // 2) % 4, 64: r % 8}[tier]


@pytest.mark.parametrize("tier", TIERS)
def test_swizzled_element_address(tier):
    for r in range(64):
        for c in range(tier):
            byte = host.tile_byte(tier, r, c)
            assert byte == 2 * (r * tier + 8 * ((c // 8) ^ row_xor(tier, r)) + c % 8)
            # and where the copy engine's swizzle of a one-span row puts it
            assert byte == tma_swizzled_byte(2 * tier, r, 2 * c)


def decode(desc):
    return {"start": desc & 0x3FFF, "leading": (desc >> 16) & 0x3FFF, "stride": (desc >> 32) & 0x3FFF,
            "swizzle": desc >> 62, "rest": desc & ~((0x3FFF) | (0x3FFF << 16) | (0x3FFF << 32) | (3 << 62))}


@pytest.mark.parametrize("tier, mode", [(16, 3), (32, 2), (64, 1)])
def test_descriptor_fields_of_every_tile(tier, mode):
    layout = host.layout(tier)
    base = 0x400  # dynamic shared memory starts 1024-byte aligned
    tiles = [base + layout["q_tiles"] + i * layout["query_tile_bytes"] for i in range(4)]
    tiles += [base + layout["do_tiles"] + i * layout["query_tile_bytes"] for i in range(4)]
    tiles += [base + layout["kv_tiles"] + i * layout["kv_row_stride"] + v * layout["v_offset"]
              for i in range(4) for v in range(2)]
    repeat = 8 * 2 * tier
    for tile in tiles:
        assert tile % repeat == 0  # the swizzle pattern lines up with the address bits
        for step in range(tier // 16):
            fields = decode(host.operand_descriptor(tier, tile, step))
            assert fields == {"start": (tile + 32 * step) >> 4, "leading": 1024 // 16, "stride": 8 * 2 * tier // 16,
                              "swizzle": mode, "rest": 0}
    assert [decode(host.operand_descriptor(tier, 0, 0))["stride"] for tier in TIERS] == [16, 32, 64]


def covered(waves):
    return [(b, w["q0"], g) for w in waves for b in range(w["b0"], w["b0"] + w["nb"])
            for g in range(w["g0"], w["g0"] + w["ng"])]


def test_waves_of_three_batches_in_waves_of_two():
    # O = 6: two outer groups; N = 128 in slabs of 64; groups one per wave
    waves, failure = host.waves(128, 6, 3, 3, 64, 1, 2, -1)
    assert failure == ""
    order = [(w["b0"], w["nb"], w["q0"], w["g0"], w["ng"]) for w in waves]
    assert order == [(0, 2, 0, 0, 1), (0, 2, 0, 1, 1), (0, 2, 64, 0, 1), (0, 2, 64, 1, 1),
                     (2, 1, 0, 0, 1), (2, 1, 0, 1, 1), (2, 1, 64, 0, 1), (2, 1, 64, 1, 1)]
    for w in waves:
        assert w["accumulate"] == (w["g0"] != 0)
        assert w["active_rows"] == 64 and w["slab_blocks"] == 1
        assert w["slab_elems"] == w["nb"] * 3 * 64 * 128
        assert w["finalizer_blocks"] == -(-w["slab_elems"] // 256)
        assert w["wave_pairs"] == w["nb"] and w["query_tiles_on_x"] and not w["square_pair"]
        assert w["grid"] == [1, 3, w["nb"]]
    # every (batch, slab, group) exactly once
    assert sorted(covered(waves)) == sorted((b, q, g) for b in range(3) for q in (0, 64) for g in range(2))


@pytest.mark.parametrize("N, slab_rows, slabs", [(64, 64, [(0, 64)]), (192, 1 << 20, [(0, 192)]),
                                                 (192, 128, [(0, 128), (128, 64)])])
def test_query_slabs(N, slab_rows, slabs):
    waves, failure = host.waves(N, N, 2, 1, slab_rows, N // 4, 1, -1)  # O == N, one group wave
    assert failure == ""
    assert [(w["q0"], w["active_rows"]) for w in waves] == slabs
    for w in waves:
        assert w["square_pair"] and w["ng"] == N // 4 and not w["accumulate"]
        assert w["grid"] == [w["active_rows"] // 64, 2, N // 4]


def test_orientation_swaps_above_65535_pairs():
    first, failure = host.first_wave(64, 4 * 65535, 3, 1, 64, 65535, 1)
    assert failure == "" and first["wave_pairs"] == 65535 and first["query_tiles_on_x"]
    assert first["grid"] == [1, 3, 65535]
    first, failure = host.first_wave(128, 4 * 32768, 3, 2, 128, 32768, 2)
    assert failure == "" and first["wave_pairs"] == 65536 and not first["query_tiles_on_x"]
    assert first["grid"] == [65536, 3, 2]


@pytest.mark.parametrize("sizes, message", [
    # N, O, H, B, slab_rows, groups_per_wave, batches_per_wave
    ((65536 * 64, 4, 1, 1, 65536 * 64, 1, 1), "query slab exceeds the CUDA grid-z contract"),
    ((2097088, 4, 65535, 1, 2097088, 1, 1), "dBias slab finalizer exceeds the CUDA grid-x contract"),
    ((2097088, 4, 65535, INT32_MAX, 2097088, 1, INT32_MAX), "active dBias slab element count overflow"),
    ((64, 1 << 22, 1, 1 << 12, 64, 1 << 20, 1 << 12), "dBias leaf wave exceeds the CUDA grid-x contract"),
])
def test_wave_checks_raise_before_the_first_launch(sizes, message):
    first, failure = host.first_wave(*sizes)
    assert first is None and failure == message


def test_finalizer_grid_at_its_limit():
    # slab of 2048 rows of N = 2^20 keys: H x 2^23 finalizer blocks of 256 elements
    first, failure = host.first_wave(1 << 20, 4, 255, 1, 2048, 1, 1)
    assert failure == "" and first["finalizer_blocks"] == 255 << 23 and first["slab_elems"] == 255 << 31
    first, failure = host.first_wave(1 << 20, 4, 256, 1, 2048, 1, 1)  # 2^31 blocks
    assert first is None and failure == "dBias slab finalizer exceeds the CUDA grid-x contract"


def test_a_failed_leaf_launch_stops_the_walk():
    waves, failure = host.waves(128, 6, 1, 1, 64, 1, 1, 2)
    assert failure == "Kestrovane dQ/dBias warpgroup leaf launch failed"
    assert len(waves) == 3  # the waves before it stay launched


def launcher_args(B=3, O=6, H=2, N=128, D=64, slab_rows=64, gpw=2, bpw=2, workspace=None, N_arg=None):
    """Fake tensors of a call and the launcher's integer arguments."""
    from harness import BF16, F32, fake
    q = fake((B, O, H, N, D))
    tensors = [q, fake((B, O, H, N, D)), fake((B, O, H, N, D)), fake((B, O, N, H, D)), fake((B, O, H, N), F32),
               fake((B, O, H, N), F32), fake((B, O, 1, 1, N), F32), fake((B, 1, H, N, N)), fake((B, O, H, N, D)),
               fake((B, 1, H, N, N), F32)]
    if workspace is None:
        workspace = gpw * bpw * H * slab_rows * N
    tensors.append(fake((workspace,), BF16))
    return tensors + [N if N_arg is None else N_arg, O, H, B, slab_rows, gpw, bpw, D]


def launch_error(tier, args):
    with pytest.raises(RuntimeError) as info:
        host.launch_wg(tier, *args)
    return str(info.value).splitlines()[0]


@pytest.mark.parametrize("tier", TIERS)
@pytest.mark.parametrize("kwargs, message", [
    (dict(slab_rows=96), "invalid warpgroup query-slab plan"),        # N = 128: the entry never sends it here
    (dict(slab_rows=32), "invalid warpgroup query-slab plan"),
    (dict(N=96, slab_rows=192), "invalid warpgroup query-slab plan"),
    (dict(gpw=3), "invalid warpgroup query-slab plan"),               # groups = 2
    (dict(bpw=4), "invalid warpgroup query-slab plan"),
    (dict(bpw=0), "invalid warpgroup query-slab plan"),
    (dict(workspace=2 * 2 * 2 * 64 * 128 - 1), "workspace is smaller than the query-slab plan"),
])
def test_launcher_plan_checks(tier, kwargs, message):
    assert launch_error(tier, launcher_args(D=min(tier, 64), **kwargs)) == message


def test_launcher_workspace_count_overflow():
    # only a direct call can ask for more than INT64_MAX workspace elements
    args = launcher_args(H=65535, N=64, slab_rows=INT32_MAX - 63, gpw=2, bpw=3, workspace=1)
    args[-8] = 2**21 * 64  # N as the launcher is told it
    assert launch_error(64, args) == "workspace element count overflow"


@pytest.mark.parametrize("tier", TIERS)
def test_launcher_reaches_the_opt_in_with_a_valid_plan(tier):
    from harness import driver_present
    if driver_present():
        pytest.skip("with a driver the opt-in succeeds and the fake tensors would reach a kernel")
    # a larger workspace is fine; slab_rows above N is one slab
    message = launch_error(tier, launcher_args(slab_rows=256, workspace=10**6))
    assert message == "failed to opt in Kestrovane dQ/dBias warpgroup shared memory"
