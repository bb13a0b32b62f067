"""The single-reconstruction backward's pure host logic: the plan check on 64-bit sizes, the
wave walk and its continuation rule, the leaf grid, the leaf's shared memory, the dQ reduce."""
import importlib

import pytest

import harness  # noqa: F401  (puts the build folder on sys.path)

INT32_MAX = 2**31 - 1


@pytest.fixture(scope="module")
def host():
    return importlib.import_module("_kestrovane_sr_host")


# (B, O, N, slab_rows, groups_per_wave, batches_per_wave) -> valid. Base: B = 2, O = 5
# (ceil(O/4) = 2 groups), N = 128.
PLANS = {
    "base": ((2, 5, 128, 32, 1, 1), True),
    "every group and batch in one wave": ((2, 5, 128, 128, 2, 2), True),
    "slab_rows above N": ((2, 5, 128, 4096, 2, 2), True),
    "slab_rows 48": ((2, 5, 128, 48, 1, 1), False),
    "slab_rows 0": ((2, 5, 128, 0, 1, 1), False),
    "slab_rows -32": ((2, 5, 128, -32, 1, 1), False),
    "slab_rows 2^31-33, the largest multiple of 32": ((2, 5, 128, 2**31 - 32, 1, 1), True),
    "slab_rows 2^31, a multiple of 32 past int32": ((2, 5, 128, 2**31, 1, 1), False),
    "slab_rows 2^32 + 64, whose low 32 bits are 64": ((2, 5, 128, 2**32 + 64, 1, 1), False),
    "groups_per_wave one past ceil(O/4)": ((2, 5, 128, 32, 3, 1), False),
    "groups_per_wave 0": ((2, 5, 128, 32, 0, 1), False),
    "groups_per_wave 2^32 + 1, whose low 32 bits are 1": ((2, 5, 128, 32, 2**32 + 1, 1), False),
    "batches_per_wave one past B": ((2, 5, 128, 32, 1, 3), False),
    "batches_per_wave 0": ((2, 5, 128, 32, 1, 0), False),
    "batches_per_wave 2^32 + 1": ((2, 5, 128, 32, 1, 2**32 + 1), False),
    "B = 0": ((0, 5, 128, 32, 1, 1), False),
    "O = 0": ((2, 0, 128, 32, 1, 1), False),
    "B*O = 2^31-1": ((1, INT32_MAX, 64, 32, 1, 1), True),
    "B = 2^31-1": ((INT32_MAX, 1, 64, 32, 1, 1), True),
    "B = 2^31": ((2**31, 1, 64, 32, 1, 1), False),
    "O = 2^31": ((1, 2**31, 64, 32, 1, 1), False),
    "B = 2^32 + 1, whose low 32 bits are 1": ((2**32 + 1, 1, 64, 32, 1, 1), False),
    "B*O = 2^31 from two int32 sizes": ((2, 2**30, 64, 32, 1, 1), False),
    "N = 0 (the workspace product rejects it)": ((2, 5, 0, 32, 1, 1), True),
    "N = 4194240": ((1, 1, 4194240, 32, 1, 1), True),
    "N = 4194304": ((1, 1, 4194304, 32, 1, 1), False),
    "N = 96": ((1, 1, 96, 32, 1, 1), False),
}


@pytest.mark.parametrize("name", PLANS)
def test_plan_check(host, name):
    args, valid = PLANS[name]
    assert host.plan_valid(*args) is valid


@pytest.mark.parametrize("N, in_blocks", [(0, True), (64, True), (96, False), (100, False), (4194240, True)])
def test_sequence_in_key_blocks(host, N, in_blocks):
    assert host.sequence_in_key_blocks(N) is in_blocks


@pytest.mark.parametrize("D, tier", [(8, 16), (16, 16), (24, 32), (32, 32), (40, 64), (48, 64), (56, 64), (64, 64)])
def test_served_head_dims_and_tiers(host, D, tier):
    assert host.head_dim_served(D) and host.head_dim_tier(D) == tier


@pytest.mark.parametrize("D", [12, 60, 72, 128, 2**32 + 8])
def test_head_dims_not_served(host, D):
    assert not host.head_dim_served(D)


@pytest.mark.parametrize("numel, N, slab_rows, needed", [
    (1000, 128, 32, 1000), (1000, 128, 127 // 32 * 32, 1000), (1000, 128, 128, 0), (1000, 128, 160, 0),
    (0, 0, 32, 0),
])
def test_continuation_state_size(host, numel, N, slab_rows, needed):
    assert host.state_elements(numel, N, slab_rows) == needed


@pytest.mark.parametrize("H, narrowed", [(1, 1), (65535, 65535), (65536, 65536), (INT32_MAX, INT32_MAX),
                                         (2**32 + 1, INT32_MAX)])
def test_heads_narrow_without_wrapping_onto_a_valid_grid(host, H, narrowed):
    assert host.saturated_heads(H) == narrowed


def test_wave_walk_nesting_and_continuation(host):
    # B = 3 in batch waves of 2, O = 9 (3 groups) in group waves of 2, N = 128 in slabs of 64:
    # batch waves outermost, then slabs, then group waves; the first slab of each batch wave
    # writes the state, the second reads it; the finalizer overwrites on g0 = 0 only.
    expected = []
    for b0, nb in ((0, 2), (2, 1)):
        for q0, reads, writes in ((0, False, True), (64, True, False)):
            expected.append(("slab", b0, nb, q0, 64, reads, writes))
            expected.append(("wave", b0, nb, q0, 0, 2, 2 * nb, False))
            expected.append(("wave", b0, nb, q0, 2, 1, nb, True))
    assert host.waves(3, 9, 128, 64, 2, 2) == expected


@pytest.mark.parametrize("N, slab_rows, slabs", [
    # (q0, active_rows, reads_state, writes_state) of each slab
    (128, 32, [(0, 32, False, True), (32, 32, True, True), (64, 32, True, True), (96, 32, True, False)]),
    (128, 96, [(0, 96, False, True), (96, 32, True, False)]),
    (128, 128, [(0, 128, False, False)]),
    (64, 2**31 - 32, [(0, 64, False, False)]),
])
def test_query_slabs(host, N, slab_rows, slabs):
    got = [e[3:] for e in host.waves(1, 1, N, slab_rows, 1, 1) if e[0] == "slab"]
    assert got == slabs


def test_no_waves_without_rows(host):
    assert host.waves(2, 4, 0, 32, 1, 1) == []


@pytest.mark.parametrize("wave_pairs, grid", [
    (1, (2, 3, 1, True)),
    (65535, (2, 3, 65535, True)),
    (65536, (65536, 3, 2, False)),
    (INT32_MAX, (INT32_MAX, 3, 2, False)),
])
def test_leaf_grid_orientation(host, wave_pairs, grid):
    assert host.leaf_grid(wave_pairs, 2, 3) == grid


@pytest.mark.parametrize("wave_pairs, fits", [(0, False), (1, True), (INT32_MAX, True), (2**31, False)])
def test_wave_pairs_within_grid_x(host, wave_pairs, fits):
    assert host.wave_fits_grid(wave_pairs) is fits


@pytest.mark.parametrize("tier, total", [(16, 78080), (32, 110848), (64, 176384)])
def test_leaf_shared_memory(host, tier, total):
    T = tier
    tiles = 2048 * T
    assert host.leaf_layout(T) == {
        "k": 0, "v": 512 * T, "q": [1024 * T, 1280 * T], "d_output": [1536 * T, 1792 * T], "ds": tiles,
        "bias": [tiles + 18432, tiles + 18432 + 4608], "mask": tiles + 27648, "dbias": tiles + 28672,
        "total": total}
    assert host.leaf_shared_bytes(T) == total == 2048 * T + 45312
    # wgmma reads the swizzled tiles through descriptors: each on a 1024-byte swizzle repeat;
    # cp.async and ldmatrix rows of the padded tiles on 16 bytes
    layout = host.leaf_layout(T)
    assert all(offset % 1024 == 0 for offset in (layout["v"], *layout["q"], *layout["d_output"]))
    assert all(offset % 16 == 0 for offset in (layout["ds"], *layout["bias"]))
    assert total <= 227 * 1024  # the opt-in limit of a Hopper block


@pytest.mark.parametrize("n, whole", [(8, True), (512, True), (12, False), (520, True), (2**40 + 4, False)])
def test_reduce_moves_whole_vectors(host, n, whole):
    assert host.reduce_vectors_whole(n) is whole


@pytest.mark.parametrize("blocks, grid", [(1, 1), (65534, 65534), (65535, 65535), (65536, 65535), (2**40, 65535)])
def test_reduce_grid_is_capped(host, blocks, grid):
    assert host.reduce_grid(blocks) == grid
