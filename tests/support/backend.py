"""Where the GPU suites run their kernels.

hopper: the built _sm90a modules on a Hopper GPU, tensors on "cuda".
emulated: the _emulated twins of those modules, which run the same kernels on the CPU,
synchronously, over tensors that carry cuda:0 metadata over host memory. Tests keep their
tensors on "cpu"; the module proxy hands every CPU tensor argument to the module as a
cuda_alias and every tensor it returns back as a host_view. The proxy runs each call under
both of the emulator's schedules (blocks and threads in order, then reversed) from the same
argument bytes and requires the same bits from both: a kernel whose result depends on the
order in which blocks or threads run fails on the CPU as it would, now and then, on a GPU."""
import contextlib
import hashlib
import importlib
import math
import os

import pytest
import torch

from harness import MODULES, assert_bit_identical, hopper_available, load as load_built, testing

BACKENDS = ("hopper", "emulated")
SCHEDULE = "KESTROVANE_EMULATOR_SCHEDULE"
SCHEDULES = ("forward", "reverse")
EMULATED = {folder: f"_kestrovane_{folder}_emulated" for folder in MODULES}

gpu_only = pytest.mark.gpu_only

# The emulated modules run about 1e6 to 1e7 thread operations a second, and every call runs
# twice: the emulated backend takes attention cases of at most this many 64-row query tiles
# (B * O * H * ceil(N / 64)) and sequence length, and element-wise cases of at most this many
# elements; larger ones run on a GPU only.
EMULATED_QUERY_TILES = 600
EMULATED_SEQUENCE = 320
EMULATED_ELEMENTS = 100_000


def gpu_only_if_large_attention(B, O, H, N):
    """[gpu_only] for an attention shape beyond the emulated backend's reach, else []."""
    large = B * O * H * math.ceil(N / 64) > EMULATED_QUERY_TILES or N > EMULATED_SEQUENCE
    return [gpu_only] if large else []


def gpu_only_if_many_elements(elements):
    """[gpu_only] for an element-wise case beyond the emulated backend's reach, else []."""
    return [gpu_only] if elements > EMULATED_ELEMENTS else []


class Backend:
    """name, the device the tests put their tensors on, load(folder or module name) and
    synchronize()."""
    name = None
    device = None

    def load(self, name):
        raise NotImplementedError

    def synchronize(self):
        raise NotImplementedError

    def __repr__(self):
        return f"<{self.name} backend on {self.device}>"


class Hopper(Backend):
    name, device = "hopper", "cuda"

    def load(self, name):
        return load_built(name)

    def synchronize(self):
        torch.cuda.synchronize()


class Emulated(Backend):
    name, device = "emulated", "cpu"

    def load(self, name):
        # no skip when a twin is missing: the import error fails the test
        return ScheduleChecked(importlib.import_module(emulated_name(name)))

    def synchronize(self):
        pass  # every emulated launch has finished when its call returns


def emulated_name(name):
    """The emulated twin of a folder ('forward') or of an _sm90a module name."""
    if name in EMULATED:
        return EMULATED[name]
    if name.endswith("_sm90a"):
        return name[:-len("_sm90a")] + "_emulated"
    return name


_BACKENDS = {"hopper": Hopper(), "emulated": Emulated()}


def backend_named(name):
    return _BACKENDS[name]


def skip_reason(name, node):
    """Why a test node cannot run on the named backend, or None."""
    if name == "hopper" and not hopper_available():
        return "needs a CUDA device of compute capability 9.0 (Hopper)"
    if name == "emulated" and node.get_closest_marker("gpu_only") is not None:
        return "gpu_only: needs a real GPU"
    return None


# ---------------------------------------------------------------------------------------------
# The emulated modules' proxy


def _map_tensors(value, convert):
    """value with convert applied to every tensor in it, lists and tuples included."""
    if isinstance(value, torch.Tensor):
        return convert(value)
    if isinstance(value, tuple):
        return tuple(_map_tensors(v, convert) for v in value)
    if isinstance(value, list):
        return [_map_tensors(v, convert) for v in value]
    if isinstance(value, dict):
        return {k: _map_tensors(v, convert) for k, v in value.items()}
    return value


def _to_module(t):
    return testing().cuda_alias(t) if t.device.type == "cpu" else t


def _from_module(t):
    return testing().host_view(t) if t.device.type == "cuda" else t


def _named_tensors(value, name):
    """(name, tensor) for every tensor in value, lists, tuples and dicts included."""
    if isinstance(value, torch.Tensor):
        return [(name, value)]
    if isinstance(value, (list, tuple)):
        return [found for i, v in enumerate(value) for found in _named_tensors(v, f"{name}[{i}]")]
    if isinstance(value, dict):
        return [found for k, v in value.items() for found in _named_tensors(v, f"{name}[{k!r}]")]
    return []


def storage_bytes(t):
    """A uint8 tensor over every byte of t's storage."""
    return torch.empty(0, dtype=torch.uint8).set_(t.untyped_storage())


class _ArgumentStorage:
    """The storage of one or more CPU tensor arguments, whose bytes the proxy saves and compares."""

    def __init__(self, name, t):
        self.names, self.tensor = [name], t
        self.bytes = storage_bytes(t)

    def describe(self):
        t = self.tensor
        also = f" (also {', '.join(self.names[1:])})" if len(self.names) > 1 else ""
        return (f"{self.names[0]}{also} ({t.dtype}, shape {tuple(t.shape)}, strides {t.stride()}, "
                f"storage offset {t.storage_offset()})")

    def first_difference(self, forward, reverse):
        """None, or the text naming the first storage element whose bytes differ."""
        differ = (forward != reverse).nonzero()
        if differ.numel() == 0:
            return None
        size = self.tensor.element_size()
        element = int(differ[0]) // size
        span = slice(element * size, (element + 1) * size)

        def value(b):
            item = b[span].clone()
            shown = item.view(self.tensor.dtype).item() if item.numel() == size else None
            return f"{shown!r} (bytes {item.numpy().tobytes()[::-1].hex()})"

        return (f"{int(differ.numel())} of {forward.numel()} storage bytes differ, first in storage element "
                f"{element} (the argument's view starts at element {self.tensor.storage_offset()}): "
                f"forward {value(forward)}, reverse {value(reverse)}")


def argument_storages(args, kwargs):
    """The distinct storages of the CPU tensors among the arguments."""
    named = [found for i, a in enumerate(args) for found in _named_tensors(a, f"argument {i}")]
    named += [found for k, v in kwargs.items() for found in _named_tensors(v, f"argument {k}")]
    storages = {}
    for name, t in named:
        if t.device.type != "cpu" or t.untyped_storage().nbytes() == 0:
            continue
        key = t.untyped_storage().data_ptr()
        if key in storages:
            storages[key].names.append(name)
        else:
            storages[key] = _ArgumentStorage(name, t)
    return list(storages.values())


@contextlib.contextmanager
def emulator_schedule(name):
    before = os.environ.get(SCHEDULE)
    os.environ[SCHEDULE] = name
    try:
        yield
    finally:
        if before is None:
            del os.environ[SCHEDULE]
        else:
            os.environ[SCHEDULE] = before


def _assert_same_results(function, forward, reverse, name="result"):
    if isinstance(forward, torch.Tensor) or isinstance(reverse, torch.Tensor):
        assert isinstance(forward, torch.Tensor) and isinstance(reverse, torch.Tensor), \
            f"{function}: {name} is {type(forward).__name__} under forward, {type(reverse).__name__} under reverse"
        assert forward.dtype == reverse.dtype, f"{function}: {name} dtype {forward.dtype} != {reverse.dtype}"
        assert_bit_identical(reverse, forward, f"{function}: {name} under the reverse schedule against forward")
    elif isinstance(forward, (list, tuple)) and isinstance(reverse, (list, tuple)):
        assert len(forward) == len(reverse), f"{function}: {name} has {len(forward)} vs {len(reverse)} items"
        for i, (f, r) in enumerate(zip(forward, reverse)):
            _assert_same_results(function, f, r, f"{name}[{i}]")
    elif isinstance(forward, dict) and isinstance(reverse, dict):
        assert forward.keys() == reverse.keys(), f"{function}: {name} keys differ"
        for k in forward:
            _assert_same_results(function, forward[k], reverse[k], f"{name}[{k!r}]")
    else:
        assert forward == reverse, f"{function}: {name} {forward!r} under forward, {reverse!r} under reverse"


# A storage the first run changed is kept whole for the comparison up to this size, and as a
# digest above it (a second copy of the largest outputs would not fit beside the first).
DIGEST_BYTES = 256 << 20


class _Digest:
    def __init__(self, storage_bytes):
        self.value = hashlib.blake2b(storage_bytes.numpy(), digest_size=32).digest()

    def __eq__(self, other):
        return self.value == other.value


def _first_result(storage_bytes):
    return _Digest(storage_bytes) if storage_bytes.numel() > DIGEST_BYTES else storage_bytes.clone()


@contextlib.contextmanager
def _declared_device_memory(module, storages):
    """The call's device memory as the model's global checks see it: the storage of every tensor
    argument (the module adds the buffers its entry allocates)."""
    declare = getattr(module, "_emulator_declare_device_memory", None)
    if declare is None:
        yield
        return
    declare([(s.tensor.untyped_storage().data_ptr(), s.tensor.untyped_storage().nbytes(), s.describe())
             for s in storages])
    try:
        yield
    finally:
        module._emulator_clear_device_memory()


def schedule_checked(function, name, module=None):
    """function (an emulated module's entry) run under both schedules, CPU tensors in and out.

    Both runs start from the same bytes in every argument's storage (saved before the first,
    restored before the second). After them every argument storage and every returned tensor
    must hold the same bits; the second run's state and results are what the caller sees. A
    call that raises must raise the same exception, with the same message, under both
    schedules and leave the same bytes behind; the exception is re-raised."""

    def call(*args, **kwargs):
        storages = argument_storages(args, kwargs)
        saved = [s.bytes.clone() for s in storages]
        module_args = _map_tensors(args, _to_module)
        module_kwargs = _map_tensors(kwargs, _to_module)
        outcomes = {}
        # The first run's bytes are kept only for the storages it changed (its outputs); the
        # others must still equal the saved bytes after the second run.
        f_bytes = []
        for schedule in SCHEDULES:
            if schedule != SCHEDULES[0]:
                for s, b, f in zip(storages, saved, f_bytes):
                    if f is not b:
                        s.bytes.copy_(b)
            error = result = None
            with _declared_device_memory(module, storages), emulator_schedule(schedule):
                try:
                    result = _map_tensors(function(*module_args, **module_kwargs), _from_module)
                except Exception as raised:  # compared with the other schedule's below
                    error = raised
            outcomes[schedule] = error, result
            if schedule == SCHEDULES[0]:
                f_bytes = [b if torch.equal(s.bytes, b) else _first_result(s.bytes) for s, b in zip(storages, saved)]

        (f_error, f_result), (r_error, r_result) = outcomes["forward"], outcomes["reverse"]
        if (f_error is None) != (r_error is None) or (
                f_error is not None and (type(f_error) is not type(r_error) or str(f_error) != str(r_error))):
            raise AssertionError(f"{name}: the forward schedule ended with {f_error!r}, the reverse one with "
                                 f"{r_error!r}") from (r_error or f_error)
        for s, f in zip(storages, f_bytes):
            if isinstance(f, _Digest):
                if f != _Digest(s.bytes):
                    raise AssertionError(f"{name}: {s.describe()} differs between the forward and the reverse "
                                         f"schedule (its {s.bytes.numel()} bytes are compared by digest)")
                continue
            if torch.equal(f, s.bytes):
                continue
            difference = s.first_difference(f, s.bytes)
            if difference is not None:
                raise AssertionError(f"{name}: {s.describe()} differs between the forward and the reverse "
                                     f"schedule: {difference}")
        if f_error is not None:
            raise f_error
        _assert_same_results(name, f_result, r_result)
        return r_result

    call.__name__ = call.__qualname__ = name
    call.__doc__ = getattr(function, "__doc__", None)
    return call


class ScheduleChecked:
    """An emulated module whose callables run through schedule_checked."""

    def __init__(self, module):
        self._module = module
        self._calls = {}

    def __getattr__(self, name):
        value = getattr(self._module, name)
        if not callable(value) or isinstance(value, type):
            return value
        if name not in self._calls:
            self._calls[name] = schedule_checked(value, f"{self._module.__name__}.{name}", self._module)
        return self._calls[name]

    def __dir__(self):
        return dir(self._module)

    def __repr__(self):
        return f"<schedule-checked {self._module!r}>"
