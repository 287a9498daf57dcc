"""Every evaluation method gives the same bits however it is called: again
and again, on a fresh receiver, with Sequence objects instead of texts, with
any thread count of the kernel, from several Python threads at once, and in a
fresh process whose heap starts out filled with another byte pattern (a value
read from uninitialised memory would change). The thread-count sweep of
eval_batch over larger batches is in test_determinism.py."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import api_surface as api
from vellum import _gkmkern as g

HERE = Path(__file__).resolve().parent


def bits(result):
    """A hashable image of a nested result (lists or an array), exact to the bit."""
    if hasattr(result, "tolist"):
        return bits(result.tolist())
    if isinstance(result, list):
        return tuple(bits(x) for x in result)
    return result.hex() if isinstance(result, float) else result


EVALUATION_PATHS = api.evaluation_paths()


def dna_to_sequences(receiver, obj):
    """obj with every DNA text turned into a Sequence made by the receiver."""
    if isinstance(obj, str) and obj and set(obj.upper()) <= set("ACGT") and len(obj) >= receiver.L:
        return g.Sequence(receiver, obj)
    if isinstance(obj, (list, tuple)):
        return type(obj)(dna_to_sequences(receiver, x) for x in obj)
    return obj


@pytest.mark.parametrize("entry, path", EVALUATION_PATHS, ids=api.path_ids(EVALUATION_PATHS))
def test_repeated_calls_and_fresh_receivers(entry, path):
    fn, args, kwargs = path.make()
    first = bits(fn(*args, **kwargs))
    assert all(bits(fn(*args, **kwargs)) == first for _ in range(3))
    fn2, args2, kwargs2 = path.make()
    assert bits(fn2(*args2, **kwargs2)) == first


@pytest.mark.parametrize("entry, path", EVALUATION_PATHS, ids=api.path_ids(EVALUATION_PATHS))
def test_sequence_objects_give_the_same_bits_as_texts(entry, path):
    fn, args, kwargs = path.make()
    receiver = fn.__self__
    as_objects = dna_to_sequences(receiver, list(args)), {k: dna_to_sequences(receiver, v) for k, v in kwargs.items()}
    assert bits(fn(*as_objects[0], **as_objects[1])) == bits(fn(*args, **kwargs))


THREAD_CALLS = [
    ("eval_batch", lambda: (api.texts(0, 1, 2, 3) + [api.fresh(api.SHORT_TEXT)],)),
    ("sliding_query", lambda: (api.fresh(api.TEXTS[3]), 11, 4, (2, 1))),
    ("self_window_eval", lambda: (api.texts(0, 1, 2), 12, 5, 2)),
    ("cross_window_eval", lambda: (api.texts(0, 1), api.texts(2, 3), 10, 7)),
]
WEIGHTED_THREAD_CALLS = [
    ("self_eval", lambda: (api.texts(0, 1, 2), [-4.0, 0.5, 6.0])),
    ("cross_eval", lambda: (api.texts(3), api.texts(0, 1, 2), slice(3, 20, 4))),
    ("self_window_eval", lambda: (api.texts(0, 1, 2), 12, 5, (3, 0))),
    ("sliding_query", lambda: (api.fresh(api.TEXTS[3]), 11, 4, (2, 1))),
]


def method_results(receiver, calls):
    return {name: bits(getattr(receiver, name)(*args())) for name, args in calls}


@pytest.mark.parametrize("cls, calls", [(g.Kernel, THREAD_CALLS), (g.WeightedKernel, WEIGHTED_THREAD_CALLS)],
                         ids=["Kernel", "WeightedKernel"])
def test_kernel_thread_count_does_not_change_a_bit(cls, calls):
    results = [method_results(api.kernel(cls=cls, nthreads=n), calls) for n in (1, 2, 5, 0)]
    assert results[0] and all(r == results[0] for r in results[1:])


@pytest.mark.parametrize("cls, calls", [(g.Kernel, THREAD_CALLS), (g.WeightedKernel, WEIGHTED_THREAD_CALLS)],
                         ids=["Kernel", "WeightedKernel"])
def test_python_threads_sharing_one_kernel(cls, calls):
    """Several threads call every method on the same objects: each sees what
    a lone caller sees, the cached window trees of cross_window_eval included."""
    receiver = api.kernel(cls=cls, nthreads=2)
    expected = method_results(api.kernel(cls=cls), calls)
    seen, errors = [], []

    def worker(order):
        try:
            for _ in range(5):
                for name, args in order:
                    seen.append((name, bits(getattr(receiver, name)(*args()))))
        except Exception as exc:  # reported below; a thread cannot fail the test itself
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(calls[i:] + calls[:i],)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(seen) == len(threads) * 5 * len(calls)
    assert all(result == expected[name] for name, result in seen)


def test_cross_window_cache_rebuilds_give_the_same_bits():
    """Alternating geometries rebuild the cached trees every call; returning to
    a geometry gives the bits of the first call with it."""
    receiver = api.kernel(finalized=False, n_refs=0)
    queries, refs = api.texts(0, 1), api.texts(2, 3)
    geometries = [(12, 5, 0), (10, 3, (2, 4)), (12, 5, 0), (15, 15, 3)]
    first = {}
    for _ in range(3):
        for window, shift, padding in geometries:
            result = bits(receiver.cross_window_eval(queries, refs, window, shift, padding))
            assert first.setdefault((window, shift, str(padding)), result) == result


DIGEST_CHILD = """
import hashlib, sys
sys.path.insert(0, %r)
import api_surface as api
import test_determinism_all as t
digest = hashlib.sha256()
for entry, path in api.evaluation_paths():
    fn, args, kwargs = path.make()
    digest.update(repr((entry.name, path.label, t.bits(fn(*args, **kwargs)))).encode())
print(digest.hexdigest())
"""


def test_fresh_processes_with_other_heap_contents_agree():
    """glibc fills every allocation with MALLOC_PERTURB_'s complement: results
    that read memory nobody wrote would differ between these processes."""
    digests = []
    for perturb in (None, "85", "170"):
        env = dict(os.environ)
        env.pop("MALLOC_PERTURB_", None)
        if perturb:
            env["MALLOC_PERTURB_"] = perturb
        proc = subprocess.run([sys.executable, "-c", DIGEST_CHILD % str(HERE)], env=env, cwd=HERE,
                              capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stderr[-3000:]
        digests.append(proc.stdout.strip())
    assert len(set(digests)) == 1, digests
