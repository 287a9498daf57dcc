"""Every success and failure path of every constructor, method and attribute
(api_surface), called thousands of times: the memory held in use must stop
growing once warmed up, and the reference counts of the receiver and of every
argument object must come back to what they were."""

import ctypes
import gc
import sys
import time

import pytest

import api_surface as api

ROUNDS = 5
ROUND_SECONDS = 0.04
MIN_CALLS, MAX_CALLS = 20, 20000
PATHS = api.all_paths()


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def memory_in_use():
    """(bytes malloc has handed out and not had back, blocks Python's object
    allocator holds). Both change only with allocations and frees, unlike the
    resident set, which memory freed by earlier tests and reused makes noisy."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd, sys.getallocatedblocks()


def call_loop(fn, args, kwargs, expect, n):
    if expect is None:
        for _ in range(n):
            fn(*args, **kwargs)
        return
    for _ in range(n):
        try:
            fn(*args, **kwargs)
        except expect:
            pass
        else:
            raise AssertionError("%r returned instead of raising %s" % (fn, expect.__name__))


def memory_rounds(fn, args, kwargs, expect):
    """(calls per round, memory in use after the warm-up round and after each measured round)."""
    call_loop(fn, args, kwargs, expect, 20)  # thread teams and caches start up
    start = time.perf_counter()
    call_loop(fn, args, kwargs, expect, 20)
    per_call = (time.perf_counter() - start) / 20
    n = min(MAX_CALLS, max(MIN_CALLS, int(ROUND_SECONDS / max(per_call, 1e-9))))
    call_loop(fn, args, kwargs, expect, n)
    gc.collect()
    samples = [memory_in_use()]
    for _ in range(ROUNDS):
        call_loop(fn, args, kwargs, expect, n)
        samples.append(memory_in_use())
    return n, samples


def leak_verdict(n, samples):
    """None when memory settled, else a description of the growth. A leak of
    even one byte or block a call grows its measure by n in every round, give
    or take what a cache frees meanwhile; a settled path's caches and free
    lists stop growing after warm-up."""
    for unit, series in zip(("bytes", "blocks"), zip(*samples)):
        steps = [b - a for a, b in zip(series, series[1:])]
        if all(2 * step >= n for step in steps):
            growth = series[-1] - series[0]
            return "%d %s more in use after %d calls (%.1f a call); per round: %s" % (
                growth, unit, n * ROUNDS, growth / (n * ROUNDS), steps)
    return None


def tracked_objects(fn, args, kwargs):
    """The receiver and every argument object whose reference count only
    this test and the call under test can change."""
    found, stack = [], [getattr(fn, "__self__", None), *args, *kwargs.values()]
    while stack:
        obj = stack.pop()
        if obj is None or isinstance(obj, (bool, type)) or (type(obj) is int and -5 <= obj <= 256):
            continue
        if any(obj is seen for seen in found):
            continue
        found.append(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif isinstance(obj, dict):
            stack.extend(obj.values())
    return found


@pytest.mark.skipif(api.UNDER_SANITIZER, reason="the sanitizer's allocator keeps its own books")
@pytest.mark.parametrize("entry, path", PATHS, ids=api.path_ids(PATHS))
def test_memory_settles(entry, path):
    fn, args, kwargs = path.make()
    api.run_path(entry, path, fn, args, kwargs)
    verdict = leak_verdict(*memory_rounds(fn, args, kwargs, path.expect))
    assert verdict is None, "%s [%s]: %s" % (entry.name, path.label, verdict)


@pytest.mark.parametrize("entry, path", PATHS, ids=api.path_ids(PATHS))
def test_reference_counts_come_back(entry, path):
    fn, args, kwargs = path.make()
    tracked = tracked_objects(fn, args, kwargs)
    before = [sys.getrefcount(obj) for obj in tracked]
    api.run_path(entry, path, fn, args, kwargs)
    call_loop(fn, args, kwargs, path.expect, 30)
    after = [sys.getrefcount(obj) for obj in tracked]
    changed = [(repr(obj)[:60], b, a) for obj, b, a in zip(tracked, before, after) if a != b]
    assert not changed, "%s [%s]: reference counts (object, before, after): %s" % (entry.name, path.label, changed)


# ---- the detectors themselves ----------------------------------------------


@pytest.mark.skipif(api.UNDER_SANITIZER, reason="the sanitizer's allocator keeps its own books")
def test_memory_check_sees_a_leaked_float_per_call():
    leak = ctypes.pythonapi.Py_IncRef
    leak.argtypes = [ctypes.py_object]
    values = iter(range(10**9))

    def leak_one_float():
        leak(float(next(values)) + 0.5)

    verdict = leak_verdict(*memory_rounds(leak_one_float, (), {}, None))
    assert verdict is not None and " blocks more in use " in verdict


@pytest.mark.skipif(api.UNDER_SANITIZER, reason="the sanitizer's allocator keeps its own books")
def test_memory_check_sees_an_unfreed_core_sequence_per_call(make_core_kernel):
    kernel = make_core_kernel(**api.PARAMS)
    text = api.TEXTS[0].encode()
    # The pointers go into room set aside beforehand, so that only the
    # sequences themselves add to the memory in use.
    leaked = (ctypes.c_void_p * (40 + (ROUNDS + 1) * MAX_CALLS))()
    count = 0

    def encode_and_forget():
        nonlocal count
        leaked[count] = kernel.core.gkm_sequence_create(kernel.base, text, None)
        count += 1

    try:
        verdict = leak_verdict(*memory_rounds(encode_and_forget, (), {}, None))
        assert verdict is not None and " bytes more in use " in verdict
    finally:
        for seq in leaked[:count]:
            kernel.core.gkm_sequence_free(seq)


def test_reference_count_check_sees_a_kept_argument():
    keep = []
    args = ([api.fresh(api.TEXTS[0])],)
    tracked = tracked_objects(keep.append, args, {})
    before = [sys.getrefcount(obj) for obj in tracked]
    keep.append(args[0][0])
    assert [sys.getrefcount(obj) for obj in tracked] != before
