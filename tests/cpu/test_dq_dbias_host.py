"""The dQ/dBias module's pure host logic: sizing utilities, limits, lanes, the query-slab
wave walk with its grids, shared memory and the broadcast plan record."""
import importlib
import itertools

import pytest

import harness  # noqa: F401  (puts the build folder on sys.path)

INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1


@pytest.fixture(scope="module")
def host():
    return importlib.import_module("_kestrovane_dq_dbias_host")


@pytest.mark.parametrize("a, b, expected", [
    (7, 2, 4), (8, 2, 4), (1, 256, 1), (256, 256, 1), (257, 256, 2), (INT64_MAX, 1, INT64_MAX),
    (INT64_MAX, 2, 2**62), (INT64_MAX, INT64_MAX, 1),
    (0, 1, None), (1, 0, None), (-5, 2, None), (5, -2, None),
])
def test_positive_ceil_div(host, a, b, expected):
    if expected is None:
        with pytest.raises(RuntimeError, match=r"^ceil-div inputs must be positive$"):
            host.positive_ceil_div(a, b)
    else:
        assert host.positive_ceil_div(a, b) == expected


@pytest.mark.parametrize("a, b, expected", [
    (3, 4, 12), (INT64_MAX, 1, INT64_MAX), (2**31, 2**32 - 1, 2**63 - 2**31), (3037000499, 3037000499, 3037000499**2),
    (2**62, 2, "overflow"), (3037000500, 3037000500, "overflow"), (INT64_MAX, 2, "overflow"),
    (0, 5, "dimensions"), (5, 0, "dimensions"), (-1, 5, "dimensions"), (5, -1, "dimensions"),
])
def test_checked_positive_product(host, a, b, expected):
    if expected == "overflow":
        with pytest.raises(RuntimeError, match=r"^label element count overflow$"):
            host.checked_positive_product(a, b, "label")
    elif expected == "dimensions":
        with pytest.raises(RuntimeError, match=r"^label dimensions must be positive$"):
            host.checked_positive_product(a, b, "label")
    else:
        assert host.checked_positive_product(a, b, "label") == expected == a * b


def test_workspace_chain_runs_left_to_right(host):
    assert host.workspace_elements(2, 3, 4, 5, 6) == 720
    # the first failing link decides the message
    with pytest.raises(RuntimeError, match="^workspace plan dimensions must be positive$"):
        host.workspace_elements(2, 0, 2**40, 2**40, 1)
    with pytest.raises(RuntimeError, match="^workspace plan element count overflow$"):
        host.workspace_elements(2**40, 2**40, 1, 1, 0)
    with pytest.raises(RuntimeError, match="^workspace plan element count overflow$"):
        host.workspace_elements(1, 1, 2**31, 2**31, 2**2)


@pytest.mark.parametrize("B, O, H, N, D, ok", [
    (1, 1, 1, 1, 1, True),
    (1, 1, 1, 2097120, 8, True), (1, 1, 1, 2097121, 8, False),
    (1, 1, 65535, 1, 8, True), (1, 1, 65536, 1, 8, False),
    (1, INT32_MAX, 1, 1, 8, True), (2, 2**30, 1, 1, 8, False), (INT32_MAX, 1, 1, 1, 8, True),
    (2**31, 1, 1, 1, 8, False), (1, 2**31, 1, 1, 8, False),
    (1, 1, 1, 1, INT32_MAX, True), (1, 1, 1, 1, 2**31, False),
    (0, 1, 1, 1, 8, False), (1, 0, 1, 1, 8, False), (1, 1, 0, 1, 8, False), (1, 1, 1, 0, 8, False),
    (1, 1, 1, 1, 0, False),
])
def test_grid_contract(host, B, O, H, N, D, ok):
    assert host.within_grid_contract(B, O, H, N, D) is ok


def test_outer_groups_do_not_wrap(host):
    assert [host.outer_groups(O) for O in (1, 4, 5, 8, 9)] == [1, 1, 2, 2, 3]
    assert host.outer_groups(INT32_MAX) == 2**29


@pytest.mark.parametrize("check", ["plan_within_limits", "launcher_plan_valid"])
@pytest.mark.parametrize("O, B, slab_rows, groups, batches, ok", [
    (5, 3, 1, 2, 3, True), (5, 3, 1, 3, 3, False), (5, 3, 1, 2, 4, False),
    (5, 3, 0, 1, 1, False), (5, 3, 1, 0, 1, False), (5, 3, 1, 1, 0, False),
    (INT32_MAX, 1, 1, 2**29, 1, True), (INT32_MAX, 1, 1, 2**29 + 1, 1, False),
    (4, 1, INT32_MAX, 1, 1, True),
])
def test_plan_limits(host, check, O, B, slab_rows, groups, batches, ok):
    assert getattr(host, check)(O, B, slab_rows, groups, batches) is ok


def test_entry_bounds_slab_rows_to_int(host):
    assert not host.plan_within_limits(4, 1, 2**31, 1, 1)


@pytest.mark.parametrize("D, tier", [(8, 16), (16, 16), (24, 32), (32, 32), (40, 64), (64, 64), (72, 128),
                                     (128, 128)])
@pytest.mark.parametrize("N, slab_rows, lane", [
    (64, 64, "warpgroup"), (128, 192, "warpgroup"), (64, 32, "exact_tiles"), (96, 64, "exact_tiles"),
    (64, 40, "exact_tiles"), (32, 32, "exact_tiles"), (100, 64, "general"), (100, 100, "general"),
    (33, 64, "general"), (1, 1, "general"),
])
def test_lane_table(host, D, tier, N, slab_rows, lane):
    if tier == 128 and lane == "warpgroup":
        lane = "exact_tiles"  # no warpgroup lane above tier 64
    # every lane of the table runs on its own launcher
    assert host.lane(D, N, slab_rows) == (tier, lane, lane)


def test_lane_table_named_cases(host):
    assert host.lane(64, 64, 64)[1] == "warpgroup"
    assert host.lane(64, 64, 32)[1] == "exact_tiles"
    assert host.lane(128, 64, 64)[1] == "exact_tiles"
    assert {host.lane(128, 100, s)[1] for s in (1, 32, 64, 100, 4096)} == {"general"}


def test_leaf_shared_bytes(host):
    assert [host.leaf_shared_bytes(t) for t in (16, 32, 64, 128)] == [40960, 57344, 90112, 155648]


def walk(host, N, O, H, B, slab_rows, groups, batches, exact=False, **kw):
    return host.waves(N, O, H, B, slab_rows, groups, batches, exact, **kw)


def test_wave_order_and_fields(host):
    # B = 3 in batch waves of 2, N = 100 in slabs of 64, O = 9 (3 groups) in group waves of 2
    launched, error = walk(host, 100, 9, 2, 3, 64, 2, 2)
    assert error is None
    got = [(w["b0"], w["nb"], w["q0"], w["active_rows"], w["g0"], w["ng"], w["accumulate"]) for w in launched]
    assert got == [(b0, nb, q0, rows, g0, ng, g0 != 0)
                   for b0, nb in ((0, 2), (2, 1)) for q0, rows in ((0, 64), (64, 36)) for g0, ng in ((0, 2), (2, 1))]
    for w in launched:
        assert w["slab_tiles"] == -(-w["active_rows"] // 32)
        assert w["full_query_tiles"] is (w["active_rows"] == 64)
        assert w["wave_pairs"] == w["ng"] * w["nb"]
        assert w["slab_elems"] == w["nb"] * 2 * w["active_rows"] * 100
        assert w["finalize_blocks"] == -(-w["slab_elems"] // 256)
        assert w["grid"] == (w["slab_tiles"], 2, w["wave_pairs"]) and w["query_tiles_on_x"]
        assert w["square_pair"] is False


@pytest.mark.parametrize("N, O, H, B, slab_rows, groups, batches", [
    (100, 9, 2, 3, 64, 2, 2), (100, 9, 2, 3, 40, 1, 1), (33, 5, 1, 2, 1000, 2, 2), (64, 64, 3, 2, 32, 5, 1),
    (129, 6, 1, 4, 32, 1, 3),
])
def test_waves_cover_every_batch_row_and_group_once(host, N, O, H, B, slab_rows, groups, batches):
    launched, error = walk(host, N, O, H, B, slab_rows, groups, batches)
    assert error is None
    seen = [(b, q, g) for w in launched for b in range(w["b0"], w["b0"] + w["nb"])
            for q in range(w["q0"], w["q0"] + w["active_rows"]) for g in range(w["g0"], w["g0"] + w["ng"])]
    assert sorted(seen) == list(itertools.product(range(B), range(N), range(-(-O // 4))))
    assert len(seen) == len(set(seen))
    for w in launched:
        # the workspace holds every wave: no slab is longer than slab_rows, no wave wider than the plan
        assert w["active_rows"] <= slab_rows and w["ng"] <= groups and w["nb"] <= batches
        assert w["square_pair"] is (O == N)


def test_group_waves_of_one_slab_fold_in_ascending_order(host):
    launched, _ = walk(host, 32, 13, 1, 1, 32, 1, 1)
    assert [(w["g0"], w["accumulate"]) for w in launched] == [(0, False), (1, True), (2, True), (3, True)]


@pytest.mark.parametrize("B, grid, on_x", [
    (65535, (1, 3, 65535), True),
    (65536, (65536, 3, 1), False),
])
def test_grid_orientation_at_the_z_limit(host, B, grid, on_x):
    (wave,), error = walk(host, 32, 4, 3, B, 32, 1, B, limit=1)
    assert error is None and wave["wave_pairs"] == B
    assert wave["grid"] == grid and wave["query_tiles_on_x"] is on_x


def test_general_lane_slabs(host):
    launched, error = walk(host, 100, 4, 1, 1, 64, 1, 1)
    assert error is None
    assert [(w["active_rows"], w["slab_tiles"], w["full_query_tiles"]) for w in launched] == [(64, 2, True),
                                                                                          (36, 2, False)]


def test_exact_tiles_lane_refuses_a_partial_slab_before_any_launch(host):
    assert walk(host, 128, 4, 1, 1, 48, 1, 1, exact=True) == ([], "exact-tiles lane requires query rows in full blocks")
    # whole tiles, or one slab covering every row, are fine
    assert walk(host, 128, 4, 1, 1, 64, 1, 1, exact=True)[1] is None
    assert walk(host, 96, 4, 1, 1, 500, 1, 1, exact=True)[1] is None


@pytest.mark.parametrize("args, launched, message", [
    # 2^20 x 2^11 = 2^31 wave pairs
    ((32, 2**23, 1, 2**11, 32, 2**20, 2**11), 0, "dBias leaf wave exceeds the CUDA grid-x contract"),
    ((32, 2**23, 1, 2**11, 32, 2**20 - 1, 2**11), None, None),
    # 65536 query tiles in one slab
    ((2**21, 4, 1, 1, 2**21, 1, 1), 0, "query slab exceeds the CUDA grid-z contract"),
    # 65535 x 2097120^2 elements need more than 2^31-1 finalizer blocks
    ((2097120, 4, 65535, 1, 2097120, 1, 1), 0, "dBias slab finalizer exceeds the CUDA grid-x contract"),
    # (2^31-1) x 65535 x 2097120 x 2097120 leaves int64 at the third factor
    ((2097120, 4, 65535, INT32_MAX, 2097120, 1, INT32_MAX), 0, "active dBias slab element count overflow"),
])
def test_wave_limits(host, args, launched, message):
    waves, error = walk(host, *args, limit=2)
    assert error == message
    if launched is not None:
        assert len(waves) == launched


def test_a_failed_launch_stops_the_walk(host):
    launched, error = walk(host, 100, 9, 2, 3, 64, 2, 2, fail_at=2)
    assert len(launched) == 2 and error == "Kestrovane dQ/dBias slab leaf launch failed"


def test_finalizer_grid(host):
    (wave,), _ = walk(host, 40, 4, 3, 2, 40, 1, 2, limit=1)
    assert wave["slab_elems"] == 2 * 3 * 40 * 40 and wave["finalize_blocks"] == 38  # 9600 / 256 = 37.5
    (wave,), _ = walk(host, 32, 4, 1, 1, 8, 1, 1, limit=1)
    assert wave["slab_elems"] == 256 and wave["finalize_blocks"] == 1


def zeros_after(values, rank):
    return all(v == 0 for v in values[rank:])


@pytest.mark.parametrize("target, bias, bias_dims, strides, T, count", [
    ([4], [1], [1], [1], 4, 1),
    ([4], [4], [4], [1], 4, 4),
    ([2, 3], [3], [1, 3], [3, 1], 6, 3),
    ([2, 3], [2, 1], [2, 1], [1, 1], 6, 2),
    ([2, 3], [], [1, 1], [1, 1], 6, 1),
    ([2, 3], [2, 3], [2, 3], [3, 1], 6, 6),
    ([5, 1, 3, 2], [1, 3, 2], [1, 1, 3, 2], [6, 6, 2, 1], 30, 6),
    ([1] * 15 + [7], [7], [1] * 15 + [7], [7] * 15 + [1], 7, 7),
])
def test_broadcast_plan_record(host, target, bias, bias_dims, strides, T, count):
    plan = host.broadcast_plan(target, bias)
    rank = len(target)
    assert plan["rank"] == rank and plan["T"] == T and plan["bias_count"] == count
    assert plan["target_dims"][:rank] == target and zeros_after(plan["target_dims"], rank)
    assert plan["bias_dims"][:rank] == bias_dims and zeros_after(plan["bias_dims"], rank)
    assert plan["bias_strides"][:rank] == strides and zeros_after(plan["bias_strides"], rank)


@pytest.mark.parametrize("target, bias, message", [
    ([], [], "target prefix rank must be in [1, 16]"),
    ([1] * 17, [], "target prefix rank must be in [1, 16]"),
    ([2], [1, 2], "bias prefix rank cannot exceed target prefix rank"),
    ([2], [3], "bias prefix must broadcast exactly to the positive target prefix"),
    ([65536, 32768], [], "flattened target prefix exceeds the CUDA int indexing contract"),
])
def test_broadcast_plan_errors(host, target, bias, message):
    with pytest.raises(RuntimeError) as info:
        host.broadcast_plan(target, bias)
    assert str(info.value) == message


@pytest.mark.parametrize("total, grid", [(1, 1), (256, 1), (257, 2), (256 * 65535, 65535), (256 * 65535 + 1, 65535),
                                         (2**40, 65535)])
def test_broadcast_grid(host, total, grid):
    assert host.broadcast_grid(total) == grid
