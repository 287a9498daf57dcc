"""Kernel.eval_batch gives the same bits whatever the thread count and
whatever form the queries take."""

import random
import struct

import pytest

from seqgen import mixed_case, mutate, random_dna


def bits(rows):
    return [struct.pack("%dd" % len(row), *row) for row in rows]


def workload(seed, n_ref=24, n_q=40):
    gen = random.Random(seed)
    refs = [random_dna(gen, gen.randint(10, 200)) for _ in range(n_ref)]
    queries = [mutate(gen, gen.choice(refs), gen.randint(0, 8)) for _ in range(n_q // 2)]
    queries += [mixed_case(gen, random_dna(gen, gen.randint(10, 300))) for _ in range(n_q - len(queries))]
    gen.shuffle(queries)
    return refs, queries


def kernel_with(gkmkern, refs, **kw):
    kernel = gkmkern.Kernel(**kw)
    for r in refs:
        kernel.add_sequence(r)
    kernel.finalize()
    return kernel


@pytest.mark.parametrize(
    "params",
    [
        dict(L=10, k=6, d=3, weight_scheme=0, use_rc=1),
        dict(L=10, k=6, d=3, weight_scheme=2, use_rc=0),
        dict(L=7, k=3, d=4, weight_scheme=1, use_rc=1),
    ],
    ids=["full-rc", "estimated", "truncated-rc"],
)
def test_thread_count_does_not_change_a_bit(gkmkern, params):
    refs, queries = workload(11)
    results = {}
    for nthreads in (1, 2, 7, 0):
        kernel = kernel_with(gkmkern, refs, nthreads=nthreads, **params)
        results[nthreads] = bits(kernel.eval_batch(queries))
        assert bits(kernel.eval_batch(queries)) == results[nthreads], "repeat call differs"
    assert results[2] == results[1]
    assert results[7] == results[1]
    assert results[0] == results[1]


@pytest.mark.parametrize("nthreads", [1, 2, 7])
def test_str_and_sequence_queries_give_the_same_bits(gkmkern, nthreads):
    refs, queries = workload(12)
    kernel = kernel_with(gkmkern, refs, L=9, k=5, d=2, use_rc=1, nthreads=nthreads)
    as_objects = [gkmkern.Sequence(kernel, q) for q in queries]
    from_str = bits(kernel.eval_batch(queries))
    assert bits(kernel.eval_batch(as_objects)) == from_str
    assert bits(kernel.eval_batch(tuple(queries))) == from_str
    mixed = [obj if i % 2 else text for i, (text, obj) in enumerate(zip(queries, as_objects))]
    assert bits(kernel.eval_batch(mixed)) == from_str


def test_sequence_from_an_identical_kernel_gives_the_same_bits(gkmkern):
    refs, queries = workload(13, n_q=16)
    kernel = kernel_with(gkmkern, refs, L=8, k=4, d=3, use_rc=1, nthreads=2)
    twin = gkmkern.Kernel(L=8, k=4, d=3, use_rc=1)
    foreign = [gkmkern.Sequence(twin, q) for q in queries]
    assert bits(kernel.eval_batch(foreign)) == bits(kernel.eval_batch(queries))


def test_rows_do_not_depend_on_batch_composition(gkmkern):
    refs, queries = workload(14, n_q=24)
    kernel = kernel_with(gkmkern, refs, L=10, k=6, d=3, use_rc=1, nthreads=2)
    whole = bits(kernel.eval_batch(queries))
    one_by_one = [bits(kernel.eval_batch([q]))[0] for q in queries]
    assert one_by_one == whole
    assert bits(kernel.eval_batch(queries[::-1])) == whole[::-1]
