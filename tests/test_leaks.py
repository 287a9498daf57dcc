"""Every success and failure path of every constructor, method and attribute
(api_surface), called thousands of times: the process must stop growing once
warmed up, and the reference counts of the receiver and of every argument
object must come back to what they were."""

import ctypes
import gc
import os
import sys
import time

import pytest

import api_surface as api

PAGE = os.sysconf("SC_PAGE_SIZE")
ROUNDS = 5
ROUND_SECONDS = 0.04
MIN_CALLS, MAX_CALLS = 20, 20000
# Growth over the measured rounds that counts as a leak when it came in most
# rounds; a one-off step is the allocator settling. Settled paths stay within
# a few pages.
STEADY_GROWTH = 64 * 1024
ANY_GROWTH = 1024 * 1024


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def path_params():
    params = []
    for entry, path in api.all_paths():
        reason = entry.missing()
        marks = [pytest.mark.skip(reason=reason)] if reason else []
        params.append(pytest.param(entry, path, id="%s[%s]" % (entry.name, path.label), marks=marks))
    return params


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
    """(calls per round, RSS after the warm-up round and after each measured round)."""
    call_loop(fn, args, kwargs, expect, 20)  # thread teams and caches start up
    start = time.perf_counter()
    call_loop(fn, args, kwargs, expect, 20)
    per_call = (time.perf_counter() - start) / 20
    n = min(MAX_CALLS, max(MIN_CALLS, int(ROUND_SECONDS / max(per_call, 1e-9))))
    call_loop(fn, args, kwargs, expect, n)
    gc.collect()
    samples = [rss()]
    for _ in range(ROUNDS):
        call_loop(fn, args, kwargs, expect, n)
        samples.append(rss())
    return n, samples


def leak_verdict(n, samples):
    """None when memory settled, else a description of the growth."""
    steps = [b - a for a, b in zip(samples, samples[1:])]
    growth = samples[-1] - samples[0]
    growing_rounds = sum(step > 0 for step in steps)
    if growth > ANY_GROWTH or (growth > STEADY_GROWTH and growing_rounds >= ROUNDS // 2 + 1):
        return "RSS grew by %d KiB over %d calls (%.0f bytes per call); per round: %s KiB" % (
            growth // 1024, n * ROUNDS, growth / (n * ROUNDS), [s // 1024 for s in steps])
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


@pytest.mark.skipif(api.UNDER_SANITIZER, reason="RSS means nothing under the sanitizer's allocator")
@pytest.mark.parametrize("entry, path", path_params())
def test_memory_settles(entry, path):
    fn, args, kwargs = path.make()
    api.run_path(entry, path, fn, args, kwargs)
    verdict = leak_verdict(*memory_rounds(fn, args, kwargs, path.expect))
    assert verdict is None, "%s [%s]: %s" % (entry.name, path.label, verdict)


@pytest.mark.parametrize("entry, path", path_params())
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


@pytest.mark.skipif(api.UNDER_SANITIZER, reason="RSS means nothing under the sanitizer's allocator")
def test_memory_check_sees_a_leaked_float_per_call():
    leak = ctypes.pythonapi.Py_IncRef
    leak.argtypes = [ctypes.py_object]
    values = iter(range(10**9))

    def leak_one_float():
        leak(float(next(values)) + 0.5)

    assert leak_verdict(*memory_rounds(leak_one_float, (), {}, None)) is not None


@pytest.mark.skipif(api.UNDER_SANITIZER, reason="RSS means nothing under the sanitizer's allocator")
def test_memory_check_sees_an_unfreed_core_sequence_per_call(make_core_kernel):
    kernel = make_core_kernel(**api.PARAMS)
    text = api.TEXTS[0].encode()
    leaked = []

    def encode_and_forget():
        leaked.append(kernel.core.gkm_sequence_create(kernel.base, text, None))

    try:
        assert leak_verdict(*memory_rounds(encode_and_forget, (), {}, None)) is not None
    finally:
        for seq in leaked:
            kernel.core.gkm_sequence_free(seq)


def test_reference_count_check_sees_a_kept_argument():
    keep = []
    args = ([api.fresh(api.TEXTS[0])],)
    tracked = tracked_objects(keep.append, args, {})
    before = [sys.getrefcount(obj) for obj in tracked]
    keep.append(args[0][0])
    assert [sys.getrefcount(obj) for obj in tracked] != before
