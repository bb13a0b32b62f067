"""The emulated backend's plumbing: cuda_alias and host_view carry tensors to and from CUDA
metadata over the same memory, and the module proxy runs every call under both schedules from
the same argument bytes and refuses results that differ in any bit."""
import math
import os
import types

import pytest
import torch

import backend
from backend import SCHEDULE, ScheduleChecked, emulated_name, storage_bytes
from harness import BF16, testing as helpers


def use_count(t):
    return torch._C._storage_Use_Count(t.untyped_storage()._cdata)


def views():
    """Views with offsets, gaps and odd strides over buffers of several dtypes."""
    base = torch.arange(60, dtype=torch.float32)
    return {
        "contiguous": base,
        "offset slice": base[7:31],
        "strided 2-d": base[3:].view(3, 19)[:, 2:17:3],
        "transposed": base.view(6, 10).t(),
        "bf16 tail": torch.arange(40, dtype=torch.float32).to(BF16)[33:],
        "int64 column": torch.arange(24, dtype=torch.int64).view(4, 6)[:, 5],
        "empty": base[60:],
    }


@pytest.mark.parametrize("name", list(views()))
def test_alias_and_host_view_keep_layout_and_memory(name):
    t = views()[name]
    alias = helpers().cuda_alias(t)
    back = helpers().host_view(alias)
    assert alias.device == torch.device("cuda", 0) and back.device == torch.device("cpu")
    for other in (alias, back):
        assert other.data_ptr() == t.data_ptr()
        assert other.shape == t.shape and other.stride() == t.stride() and other.dtype == t.dtype
        assert other.storage_offset() == t.storage_offset()
        # the storage spans the source's whole storage, guard bands around a view included
        assert other.untyped_storage().data_ptr() == t.untyped_storage().data_ptr()
        assert other.untyped_storage().nbytes() == t.untyped_storage().nbytes()
    assert torch.equal(back, t)
    if t.numel():
        before = t.clone()
        back.fill_(5)  # a write through the view shows in the source ...
        assert (t == 5).all()
        t.copy_(before)  # ... and one to the source shows through the view
        assert torch.equal(back, before)


def test_alias_and_host_view_hold_their_sources():
    source = torch.arange(4096, dtype=torch.float32)
    count = use_count(source)
    alias = helpers().cuda_alias(source[100:])
    assert use_count(source) == count + 1
    view = helpers().host_view(alias)
    del alias  # the view holds the alias, the alias the source
    assert use_count(source) == count + 1
    del view
    assert use_count(source) == count


def test_memory_outlives_the_deleted_source():
    source = torch.arange(4096, dtype=torch.float32)
    alias = helpers().cuda_alias(source[100:])
    del source
    fillers = [torch.full((4096,), -1.0) for _ in range(8)]  # would reuse freed memory
    view = helpers().host_view(alias)
    del alias
    fillers += [torch.full((4096,), -1.0) for _ in range(8)]
    assert torch.equal(view, torch.arange(100, 4096, dtype=torch.float32))


def test_alias_and_host_view_refuse_the_wrong_device():
    with pytest.raises(RuntimeError, match="cuda_alias takes a CPU tensor"):
        helpers().cuda_alias(helpers().cuda_alias(torch.zeros(2)))
    with pytest.raises(RuntimeError, match="host_view takes a CUDA tensor"):
        helpers().host_view(torch.zeros(2))


def test_emulated_names():
    assert emulated_name("dq_dbias") == "_kestrovane_dq_dbias_emulated"
    assert emulated_name("_kestrovane_trimul_sm90a") == "_kestrovane_trimul_emulated"


# ---------------------------------------------------------------------------------------------
# The schedule-checking proxy, over a stand-in module whose functions see the schedule


def host(t):
    """What the stand-in's functions work on: the host view of a CUDA-metadata argument."""
    assert t.device == torch.device("cuda", 0), "the proxy passes CPU tensors as cuda aliases"
    return helpers().host_view(t)


def reverse():
    return os.environ[SCHEDULE] == "reverse"


def proxy(function):
    """A schedule-checked stand-in module with one entry, `call`, that records its schedules."""
    seen = []

    def call(*args):
        seen.append(os.environ.get(SCHEDULE))
        return function(*args)

    module = types.ModuleType("_stand_in_emulated")
    module.call = call
    return ScheduleChecked(module), seen


def signed_zero(out):
    host(out)[2] = -0.0 if reverse() else 0.0  # equal values, different bits


def guard_write(out):
    host(out).fill_(1.0)
    if reverse():  # beyond the view's last element, inside its storage
        storage_bytes(host(out))[-4:] = 0x3F


def returned_nan_payload(out):
    bits = torch.tensor([0x7FC0, 0x7FC0 + reverse()], dtype=torch.int16)
    return [helpers().cuda_alias(torch.ones(3)), helpers().cuda_alias(bits.view(BF16))]


def raises_in_reverse_only(out):
    if reverse():
        raise RuntimeError("out of bounds")


def raises_differently(out):
    raise RuntimeError(os.environ[SCHEDULE])


def differing_scalar(out):
    return int(reverse())


DIFFERING = {
    # stand-in entry, the words the proxy's message must hold
    "argument element": (signed_zero, ["_stand_in_emulated.call", "argument 1 (torch.float32",
                                       "storage element 4 ", "forward 0.0", "reverse -0.0"]),
    "guard band": (guard_write, ["argument 1", "storage element 7 ", "storage offset 2"]),
    "result": (returned_nan_payload, ["_stand_in_emulated.call: result[1]", "first at flat index 1"]),
    "raises under one": (raises_in_reverse_only, ["forward schedule ended with None", "out of bounds"]),
    "raises differently": (raises_differently, ["RuntimeError('forward')", "RuntimeError('reverse')"]),
    "scalar result": (differing_scalar, ["result 0 under forward, 1 under reverse"]),
}


@pytest.mark.parametrize("case", list(DIFFERING))
def test_proxy_refuses_schedule_dependent_bits(case):
    function, words = DIFFERING[case]
    module, seen = proxy(lambda tag, out: function(out))
    buffer = torch.zeros(8)
    with pytest.raises(AssertionError) as info:
        module.call("tag", buffer[2:6])
    assert seen == ["forward", "reverse"]
    for word in words:
        assert word in str(info.value), str(info.value)


def test_proxy_compares_a_large_changed_storage_by_digest(monkeypatch):
    monkeypatch.setattr(backend, "DIGEST_BYTES", 16)
    module, _ = proxy(lambda tag, out: (host(out).fill_(1.0), signed_zero(out)))
    with pytest.raises(AssertionError, match=r"argument 1 \(torch.float32.* differs between the forward and the "
                                             r"reverse schedule \(its 32 bytes are compared by digest\)"):
        module.call("tag", torch.zeros(8)[2:6])
    module, _ = proxy(lambda tag, out: host(out).fill_(3.0))
    buffer = torch.zeros(8)
    module.call("tag", buffer[2:6])  # the same bits under both schedules pass
    assert buffer.tolist() == [0, 0, 3, 3, 3, 3, 0, 0]


def test_proxy_starts_both_schedules_from_the_same_bytes():
    def accumulate(items, scale):
        for t in items:
            host(t).mul_(scale).add_(1)  # would give a different value from a second start
        out = torch.zeros(2)
        out[0] = float(host(items[0]).sum())
        return [(helpers().cuda_alias(out), 3)]

    module, seen = proxy(accumulate)
    buffer = torch.arange(10, dtype=torch.float32)
    a, b = buffer[1:4], buffer.view(2, 5)[:, 4]
    before = SCHEDULE in os.environ, os.environ.get(SCHEDULE)
    result = module.call([a, b], 2.0)
    assert seen == ["forward", "reverse"]
    assert (SCHEDULE in os.environ, os.environ.get(SCHEDULE)) == before
    # the caller sees one run's effect on the shared buffer (a and b share it) ...
    want = torch.arange(10, dtype=torch.float32)
    want[1:4] = want[1:4] * 2 + 1
    want.view(2, 5)[:, 4] = want.view(2, 5)[:, 4] * 2 + 1
    assert torch.equal(buffer, want)
    # ... and host tensors inside the returned structure
    (out, three), = result
    assert out.device == torch.device("cpu") and three == 3
    assert torch.equal(out, torch.tensor([float(want[1:4].sum()), 0.0]))


def test_proxy_reraises_an_error_that_both_schedules_raise():
    def invalid(out):
        host(out)[0] = math.pi  # what a failing call leaves behind is what the caller sees
        raise RuntimeError("head_dim must be a multiple of 8")

    module, seen = proxy(invalid)
    buffer = torch.zeros(3)
    with pytest.raises(RuntimeError, match="head_dim must be a multiple of 8"):
        module.call(buffer)
    assert seen == ["forward", "reverse"]
    assert buffer[0] == torch.tensor(math.pi, dtype=torch.float32)


def test_proxy_passes_other_attributes_through():
    module = types.ModuleType("_stand_in_emulated")
    module.LIMIT = 128
    assert ScheduleChecked(module).LIMIT == 128
