"""Kernels called from several Python threads at once. The binding runs the
core without the GIL and lets one call at a time through on each object, so
every result must equal, bit for bit, the same call made alone beforehand, and
references added from several threads must all land, each under the id it
was given. A child forked after a parallel evaluation runs another (GNU
OpenMP's thread pool does not survive fork, so the child uses one thread)."""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from seqgen import random_dna

from vellum import _gkmkern as g

N_THREADS = 4
ROUNDS = 3
SMALL = dict(L=8, k=5, d=2)
FINALIZED = "kernel already finalized; cannot add more sequences"
IN_USE = "Kernel object is already in use by this thread"
# Generous: the sanitizer build is several times slower than the release one.
CHILD_TIMEOUT = 300
FORKED_CHILD_TIMEOUT = 30


def bits(value):
    """The float64 bits of a result (nested lists or an array); other values as they are."""
    if isinstance(value, (list, np.ndarray)):
        return np.asarray(value, dtype=np.float64).tobytes()
    return value


def message_of(call):
    """What call raised, as (type name, message); it must raise."""
    try:
        call()
    except Exception as exc:
        return type(exc).__name__, str(exc)
    raise AssertionError("expected an exception")


def stored(kernel, refs):
    for ref in refs:
        kernel.add_sequence(ref)
    kernel.finalize()
    return kernel


def regular_calls(rng, name, **params):
    """(label, call) pairs over one finalized Kernel: every evaluation
    method, out= buffers, two reference sets for cross_window_eval so that
    its cache is rebuilt on every switch, and the add that finalize forbids."""
    kernel = stored(g.Kernel(**SMALL, **params), [random_dna(rng, rng.randint(60, 90)) for _ in range(12)])
    queries = [random_dna(rng, rng.randint(50, 90)) for _ in range(5)]
    encoded = [g.Sequence(kernel, q) for q in queries]
    long_query = random_dna(rng, 160)
    equal = [random_dna(rng, 100) for _ in range(4)]
    ref_sets = [[random_dna(rng, 120) for _ in range(3)] for _ in range(2)]
    cross_queries = [random_dna(rng, 120) for _ in range(2)]

    def batch_into_out():
        return kernel.eval_batch(queries, out=np.empty((len(queries), 12)))

    calls = [
        ("eval_batch", lambda: kernel.eval_batch(queries)),
        ("eval_batch of Sequences", lambda: kernel.eval_batch(encoded)),
        ("eval_batch out=", batch_into_out),
        ("gram", kernel.gram),
        ("gram out=", lambda: kernel.gram(out=np.empty((12, 12)))),
        ("sliding_query", lambda: kernel.sliding_query(long_query, 40, 10, 5)),
        ("self_window_eval", lambda: kernel.self_window_eval(equal, 40, 20)),
        ("num_sequences", kernel.num_sequences),
        ("add_sequence", lambda: message_of(lambda: kernel.add_sequence(long_query))),
    ]
    for i, refs in enumerate(ref_sets):
        calls.append(("cross_window_eval %d" % i,
                      lambda refs=refs: kernel.cross_window_eval(cross_queries, refs, 40, 20)))
    return [("%s %s" % (name, label), call) for label, call in calls]


def weighted_calls(rng, name):
    kernel = g.WeightedKernel(**SMALL, pos_kernel=g.POS_GAUSSIAN, weight_sigma=10.0)
    stored(kernel, [random_dna(rng, 100) for _ in range(6)])
    seqs = [random_dna(rng, 60) for _ in range(6)]
    refs = [random_dna(rng, 60) for _ in range(4)]
    query = random_dna(rng, 100)
    calls = [
        ("self_eval", lambda: kernel.self_eval(seqs, [-5, 0, 5])),
        ("cross_eval", lambda: kernel.cross_eval(seqs[:3], refs, 2.5)),
        ("cross_eval out=", lambda: kernel.cross_eval(seqs[:3], refs, out=np.empty((3, 4)))),
        ("self_window_eval", lambda: kernel.self_window_eval(seqs, 30, 10)),
        ("sliding_query", lambda: kernel.sliding_query(query, 40, 10)),
        ("num_sequences", kernel.num_sequences),
    ]
    return [("%s %s" % (name, label), call) for label, call in calls]


KERNEL_SETS = {
    "one kernel": lambda rng: regular_calls(rng, "regular"),
    "one weighted kernel": lambda rng: weighted_calls(rng, "weighted"),
    "several kernels": lambda rng: (regular_calls(rng, "regular")
                                    + regular_calls(rng, "rc 2 threads", use_rc=1, nthreads=2)
                                    + weighted_calls(rng, "weighted")),
}


def run_threads(work):
    """work(i) in N_THREADS threads started together; the first error of any is re-raised."""
    barrier = threading.Barrier(N_THREADS)
    errors = []

    def body(i):
        try:
            barrier.wait()
            work(i)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(N_THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


@pytest.mark.parametrize("kernel_set", sorted(KERNEL_SETS))
def test_threads_get_the_results_of_calls_made_alone(kernel_set):
    calls = KERNEL_SETS[kernel_set](random.Random(kernel_set))
    expected = {label: bits(call()) for label, call in calls}
    assert {expected[label] for label in expected if label.endswith("add_sequence")} <= {("RuntimeError", FINALIZED)}
    mismatches = []

    def work(i):
        order = calls * ROUNDS
        random.Random(i).shuffle(order)
        for label, call in order:
            if bits(call()) != expected[label]:
                mismatches.append(label)

    run_threads(work)
    assert mismatches == []


@pytest.mark.parametrize("kind", ["Kernel", "WeightedKernel"])
def test_references_added_from_threads_all_land_under_their_ids(kind):
    """Some threads add references while the others read the kernel: each
    read sees a whole number of references, and once all are in, the kernel
    equals one built alone in the order of the ids handed out."""
    rng = random.Random(kind)
    make = getattr(g, kind)
    texts = [[random_dna(rng, 100) for _ in range(15)] for _ in range(N_THREADS // 2)]
    queries = [random_dna(rng, 100) for _ in range(3)]
    kernel = make(**SMALL)
    ids = {}
    snapshots = []

    def work(i):
        if i % 2 == 0:
            for text in texts[i // 2]:
                ids[kernel.add_sequence(text)] = text
        elif kind == "Kernel":
            for _ in range(10):
                snapshots.append(kernel.eval_batch(queries))
        else:
            for _ in range(10):
                snapshots.append(kernel.num_sequences())

    run_threads(work)
    n_added = sum(len(t) for t in texts)
    assert sorted(ids) == list(range(n_added)) and kernel.num_sequences() == n_added
    in_id_order = [ids[i] for i in range(n_added)]
    for snapshot in snapshots:
        if kind == "Kernel":
            assert {len(row) for row in snapshot} == {len(snapshot[0])}
            alone = g.Kernel(**SMALL)
            for text in in_id_order[: len(snapshot[0])]:
                alone.add_sequence(text)
            assert bits(snapshot) == bits(alone.eval_batch(queries))
        else:
            assert 0 <= snapshot <= n_added
    kernel.finalize()
    alone = stored(make(**SMALL), in_id_order)
    if kind == "Kernel":
        assert bits(kernel.gram()) == bits(alone.gram())
    else:
        assert bits(kernel.sliding_query(queries[0], 40, 10)) == bits(alone.sliding_query(queries[0], 40, 10))


def run_python(script):
    """Runs script in a fresh interpreter; a hang fails the test instead of
    stalling the run, and takes the script's own children with it."""
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail("script still running after %d s:\n%s" % (CHILD_TIMEOUT, script))
    assert proc.returncode == 0, err
    return out


def test_openmp_evaluation_in_a_child_forked_after_one():
    """Enough queries and references for several blocks, so that the
    parent's evaluation runs a team of two threads. The child's evaluations
    (and its own child's) must give the parent's values instead of waiting
    for threads that fork did not copy; the script waits for its child itself
    and says "hung" when it has to kill it."""
    out = run_python("""
        import os, random, signal, time
        from vellum import _gkmkern as g
        rng = random.Random(7)
        dna = lambda n: "".join(rng.choice("ACGT") for _ in range(n))
        kernel = g.Kernel(L=8, k=5, d=2, nthreads=2)
        for _ in range(150):
            kernel.add_sequence(dna(100))
        kernel.finalize()
        queries = [dna(100) for _ in range(150)]
        before, gram = kernel.eval_batch(queries), kernel.gram()

        def same_values():
            return kernel.eval_batch(queries) == before and kernel.gram() == gram

        pid = os.fork()
        if pid == 0:
            if not same_values():
                os._exit(1)
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if same_values() else 1)
            os._exit(os.waitstatus_to_exitcode(os.waitpid(grandchild, 0)[1]))
        deadline = time.monotonic() + %d
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print(os.waitstatus_to_exitcode(status))
                break
            time.sleep(0.05)
        else:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            print("hung")
    """ % FORKED_CHILD_TIMEOUT)
    assert out.split() == ["0"]


def test_call_from_inside_a_call_on_the_same_kernel_raises():
    """A garbage collection while the result lists are built runs Python code
    with the kernel's lock held; a call on the same kernel from there must
    fail at once instead of waiting for itself. (More rows than the list
    free list holds, so that some lists are new allocations, which collect.)"""
    out = run_python("""
        import gc, json
        from vellum import _gkmkern as g
        kernel = g.Kernel(L=8, k=5, d=2)
        kernel.add_sequence("ACGTTGCAAGGCTTAACCGT" * 3)
        kernel.finalize()
        other = g.Kernel(L=8, k=5, d=2)
        seen = set()

        def during_collection(phase, info):
            for k in (kernel, other):
                try:
                    seen.add(("ok", k.num_sequences()))
                except RuntimeError as exc:
                    seen.add(("RuntimeError", str(exc)))

        gc.callbacks.append(during_collection)
        gc.set_threshold(1)
        rows = kernel.eval_batch(["ACGTTGCAAGGCTTAACCGT" * 3] * 200)
        gc.set_threshold(700)
        gc.callbacks.remove(during_collection)
        print(json.dumps(sorted(seen)), rows == [[rows[0][0]]] * 200)
    """)
    seen, rows_ok = out.strip().rsplit(" ", 1)
    # The other kernel answers; the busy one refuses, and answers (1) only
    # when a collection happens to run outside its call.
    assert {tuple(item) for item in json.loads(seen)} - {("ok", 1)} == {("RuntimeError", IN_USE), ("ok", 0)}
    assert rows_ok == "True"
