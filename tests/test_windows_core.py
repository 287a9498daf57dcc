"""Windows of the regular kernel in the core, driven through ctypes and
checked against brute-force windows (clipped substrings as sequences)."""

import math
import os
import random
import struct
import subprocess
import sys
from ctypes import c_int, c_void_p

import pytest

import core_ctypes
from core_ctypes import double_buffer, seq_array
from reference_windows import WindowReference, window_extents
from seqgen import mutate, random_dna

INT_MAX = 2**31 - 1
INT_MIN = -(2**31)


@pytest.fixture(scope="module")
def cache_matches(core):
    fn = core.lib.gkm_window_tree_cache_matches
    fn.restype = c_int
    fn.argtypes = [c_void_p, core_ctypes.SeqArray, c_int, c_int, c_int, c_int, c_int]
    return fn


def nest(flat, n_w, n_q, n_r):
    return [[list(flat[(w * n_q + i) * n_r : (w * n_q + i + 1) * n_r]) for i in range(n_q)] for w in range(n_w)]


def untouched(buf):
    return all(math.isnan(x) for x in buf)


def weights_of(core, kernel):
    return [core.gkm_kernel_base_weight(kernel.base, m) for m in range(13)]


def reference_for(core, kernel, L, k, d, use_rc, scheme):
    # The weight tables are another module's concern: with the core's own
    # table every window value must match to the last bit.
    return WindowReference(L, k, d, use_rc, scheme, weights_of(core, kernel))


def packed_seq_array(seq, n):
    """n copies of one sequence pointer, built without a Python list of n items."""
    return (c_void_p * n).from_buffer_copy(struct.pack("P", seq) * n)


# ---- window count ------------------------------------------------------------


@pytest.mark.parametrize(
    "seqlen, window, shift, pad_left, pad_right, L, expected",
    [
        (100, 20, 15, 0, 0, 10, 6),
        (100, 20, 10, 5, 5, 10, 10),
        (100, 20, 10, 10, 10, 10, 11),
        (100, 20, 10, 15, 0, 10, 0),
        (2047, 20, 1, 15, 15, 10, 0),
        (100, 120, 10, 0, 0, 10, 0),
        (100, 100, 10, 0, 0, 10, 1),
        (100, 20, 10, -5, 0, 10, 8),
        (100, 20, 10, 0, -5, 10, 8),
        (9, 9, 1, 0, 0, 10, 0),
        (100, 9, 1, 0, 0, 10, 0),
        (2047, 3_000_000, 1, 2_999_990, 2_999_990, 10, 1_000_001),
        (100, 20, 0, 0, 0, 10, 0),
        (100, 20, -1, 0, 0, 10, 0),
        (100, 20, INT_MIN, 0, 0, 10, 0),
    ],
)
def test_window_count_examples(core, seqlen, window, shift, pad_left, pad_right, L, expected):
    assert core.gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L) == expected


@pytest.mark.parametrize(
    "seqlen, window, shift, pad_left, pad_right, L",
    [
        (100, INT_MAX, 1, 0, 0, 10),
        (100, INT_MAX, 1, 0, INT_MAX - 10, 10),
        (100, INT_MAX, INT_MAX, 0, INT_MAX - 10, 10),
        (100, INT_MAX, INT_MAX, INT_MAX - 10, 0, 10),
        (100, INT_MAX, INT_MAX, INT_MAX - 10, INT_MAX, 10),
        (100, INT_MAX, 7, INT_MAX - 10, INT_MAX, 10),
        (100, 20, INT_MAX, INT_MIN, 0, 10),
        (100, 20, 1, INT_MIN, INT_MAX, 10),
        (100, 20, INT_MAX, 0, INT_MAX, 10),
        (100, 20, 30, -50, INT_MIN, 10),
        (2047, INT_MAX, 1 << 30, 1 << 30, 1 << 30, 12),
        (2047, INT_MAX, 3, INT_MAX - 2, INT_MAX, 2),
    ],
)
def test_window_count_wide_arithmetic(core, seqlen, window, shift, pad_left, pad_right, L):
    expected = len(window_extents(seqlen, window, shift, pad_left, pad_right, L))
    assert core.gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L) == expected


def test_window_count_random_geometries(core):
    rng = random.Random(7)
    edges = [INT_MIN, INT_MIN + 1, -5000, -17, -1, 0, 1, 3, 9, 10, 11, 33, 2047, INT_MAX - 12, INT_MAX - 1, INT_MAX]
    for _ in range(3000):
        seqlen = rng.choice([1, 9, 10, 11, 57, 2047])
        L = rng.choice([2, 10, 12])
        window, shift, pad_left, pad_right = (rng.choice(edges) for _ in range(4))
        # Keep the brute-force walk short; the cap has its own case.
        if shift >= 1 and (seqlen + max(pad_left, 0) + max(pad_right, 0)) // shift > 20000:
            continue
        expected = len(window_extents(seqlen, window, shift, pad_left, pad_right, L))
        got = core.gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L)
        assert got == expected, (seqlen, window, shift, pad_left, pad_right, L)


# ---- shared fixtures for the evaluations -------------------------------------

KERNELS = [
    # L, k, d, use_rc, weight_scheme
    (2, 1, 1, 0, 0),
    (3, 2, 1, 1, 0),
    (4, 2, 2, 0, 0),
    (5, 3, 2, 1, 1),
    (6, 3, 3, 0, 2),
    (7, 4, 2, 1, 0),
    (8, 5, 3, 0, 0),
    (9, 5, 2, 1, 2),
    (10, 6, 3, 0, 0),
    (10, 6, 3, 1, 0),
    (11, 7, 2, 1, 1),
    (12, 8, 3, 0, 0),
]

# window, shift, pad_left, pad_right on sequences of 48 bases, L 5
GEOMETRIES = [
    (12, 12, 0, 0),
    (20, 7, 3, 3),
    (16, 5, 6, 2),
    (16, 9, -3, -4),
    (10, 4, 5, -2),
    (48, 1, 0, 0),
    (48, 3, 0, 0),
    (15, 1, 0, 0),
    (60, 5, 10, 20),
    (INT_MAX, 7, 0, INT_MAX - 5),
    (INT_MAX, INT_MAX, INT_MAX - 20, INT_MAX - 5),
]


def related_texts(rng, n, length):
    """Random sequences plus near-copies, so windows share L-mers at every distance."""
    first = random_dna(rng, length)
    texts = [first, mutate(rng, first, 3)]
    while len(texts) < n:
        texts.append(random_dna(rng, length))
    return texts


def make_kernel(make_core_kernel, L, k, d, use_rc, scheme):
    return make_core_kernel(L=L, k=k, d=d, use_rc=use_rc, weight_scheme=scheme)


# A clipped first window, a short interior step, a clipped last window.
KERNEL_GEOMETRY_CASES = [
    pytest.param(params, (params[0] + 9, 6, 4, 3), 36, id="L%d-k%d-d%d-rc%d-s%d" % params) for params in KERNELS
] + [pytest.param((5, 3, 2, 1, 0), geometry, 48, id="geom-%d-%d-%d-%d" % geometry) for geometry in GEOMETRIES]


# ---- window kernel matrices --------------------------------------------------


def self_window(core, kernel, seqs, geometry):
    seqlen = core.gkm_sequence_length(seqs[0])
    n_w = core.gkm_compute_n_windows(seqlen, *geometry, kernel_L(core, kernel))
    out = double_buffer(n_w * len(seqs) ** 2)
    rc = core.gkm_kernel_window_kernel(kernel.handle, seq_array(seqs), len(seqs), *geometry, out)
    return rc, nest(out, n_w, len(seqs), len(seqs))


def cross_window(core, kernel, queries, refs, geometry):
    seqlen = core.gkm_sequence_length(queries[0])
    n_w = core.gkm_compute_n_windows(seqlen, *geometry, kernel_L(core, kernel))
    out = double_buffer(n_w * len(queries) * len(refs))
    rc = core.gkm_kernel_cross_window_kernel(
        kernel.handle, seq_array(queries), len(queries), seq_array(refs), len(refs), *geometry, out
    )
    return rc, nest(out, n_w, len(queries), len(refs))


def kernel_L(core, kernel):
    return core.gkm_kernel_base_get_L(kernel.base)


def cache_query(core, kernel, cache, queries, n_w, n_r):
    out = double_buffer(n_w * len(queries) * n_r)
    rc = core.gkm_window_tree_cache_query(kernel.handle, cache, seq_array(queries), len(queries), out)
    return rc, out


@pytest.mark.parametrize("params, geometry, seqlen", KERNEL_GEOMETRY_CASES)
def test_self_window_kernel_matches_brute_force(core, make_core_kernel, rng, params, geometry, seqlen):
    kernel = make_kernel(make_core_kernel, *params)
    texts = related_texts(rng, 3, seqlen) + [None]
    texts[3] = texts[0]
    seqs = [kernel.query(t) for t in texts]
    rc, got = self_window(core, kernel, seqs, geometry)
    assert rc == 0
    expected = reference_for(core, kernel, *params).self_window(texts, *geometry)
    assert len(expected) > 0
    assert got == expected
    for block in got:
        assert block[0][3] == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize("params, geometry, seqlen", KERNEL_GEOMETRY_CASES)
def test_cross_window_kernel_and_cache_match_brute_force(
    core, make_core_kernel, rng, params, geometry, seqlen
):
    kernel = make_kernel(make_core_kernel, *params)
    texts = related_texts(rng, 5, seqlen)
    queries = [kernel.query(t) for t in texts[:2]]
    refs = [kernel.query(t) for t in texts[2:] + [texts[0]]]
    expected = reference_for(core, kernel, *params).cross_window(texts[:2], texts[2:] + [texts[0]], *geometry)

    rc, got = cross_window(core, kernel, queries, refs, geometry)
    assert rc == 0
    assert got == expected

    cache = core.gkm_window_tree_cache_build(kernel.handle, seq_array(refs), len(refs), *geometry)
    assert cache
    try:
        rc, out = cache_query(core, kernel, cache, queries, len(expected), len(refs))
        assert rc == 0
        assert nest(out, len(expected), len(queries), len(refs)) == expected
    finally:
        core.gkm_window_tree_cache_destroy(cache)


def test_window_kernel_on_unfinalised_kernel_without_references(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=4, k=2, d=1)
    seqs = [kernel.query(dna(30))]
    rc, got = self_window(core, kernel, seqs, (10, 5, 0, 0))
    assert rc == 0
    assert [block[0][0] for block in got] == [pytest.approx(1.0, rel=1e-12)] * 5


def test_window_blocks_of_identical_sequences_are_one(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=10, k=6, d=3)
    text = dna(100)
    seqs = [kernel.query(text), kernel.query(text)]
    rc, got = self_window(core, kernel, seqs, (20, 10, 5, 5))
    assert rc == 0 and len(got) == 10
    assert all(v == pytest.approx(1.0, rel=1e-12) for block in got for row in block for v in row)


@pytest.mark.parametrize(
    "geometry",
    [(20, 0, 0, 0), (20, -3, 0, 0), (9, 5, 0, 0), (20, 5, 15, 0), (20, 5, 0, 11), (60, 5, 0, 0)],
    ids=["shift0", "shift-neg", "window<L", "pad-left-guard", "pad-right-guard", "no-window"],
)
def test_window_kernels_reject_geometry_untouched(core, make_core_kernel, dna, geometry):
    kernel = make_core_kernel(L=10, k=6, d=3)
    seqs = [kernel.query(dna(50)) for _ in range(2)]
    out = double_buffer(64)
    assert core.gkm_kernel_window_kernel(kernel.handle, seq_array(seqs), 2, *geometry, out) == -1
    cross = core.gkm_kernel_cross_window_kernel
    assert cross(kernel.handle, seq_array(seqs), 1, seq_array(seqs), 2, *geometry, out) == -1
    assert untouched(out)


def test_window_kernels_reject_bad_arguments_untouched(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=10, k=6, d=3)
    a, b, short = kernel.query(dna(50)), kernel.query(dna(50)), kernel.query(dna(49))
    geometry = (20, 10, 0, 0)
    out = double_buffer(64)
    window_kernel = core.gkm_kernel_window_kernel
    cross = core.gkm_kernel_cross_window_kernel
    assert window_kernel(kernel.handle, seq_array([a, short]), 2, *geometry, out) == -1
    assert window_kernel(kernel.handle, seq_array([a, None]), 2, *geometry, out) == -1
    assert window_kernel(kernel.handle, seq_array([a]), 0, *geometry, out) == -1
    assert window_kernel(None, seq_array([a]), 1, *geometry, out) == -1
    assert window_kernel(kernel.handle, None, 1, *geometry, out) == -1
    assert window_kernel(kernel.handle, seq_array([a]), 1, *geometry, None) == -1
    assert cross(kernel.handle, seq_array([a, b]), 2, seq_array([short]), 1, *geometry, out) == -1
    assert cross(kernel.handle, seq_array([a, short]), 2, seq_array([b]), 1, *geometry, out) == -1
    assert cross(kernel.handle, seq_array([a]), 1, seq_array([b]), 0, *geometry, out) == -1
    assert cross(kernel.handle, seq_array([a]), 1, None, 1, *geometry, out) == -1
    assert untouched(out)


@pytest.mark.parametrize("n", [2_000_000, 5_000_000], ids=["bytes-overflow", "count-overflow"])
def test_window_kernel_impossible_output_size(core, make_core_kernel, dna, n):
    # 1,000,001 windows x n x n doubles cannot be addressed: refused before any work.
    kernel = make_core_kernel(L=10, k=6, d=3)
    seq = kernel.query(dna(2047))
    out = double_buffer(1)
    geometry = (3_000_000, 1, 2_999_990, 2_999_990)
    assert core.gkm_compute_n_windows(2047, *geometry, 10) == 1_000_001
    assert core.gkm_kernel_window_kernel(kernel.handle, packed_seq_array(seq, n), n, *geometry, out) == -1
    assert untouched(out)


# ---- window iterator ---------------------------------------------------------


def iter_rows(core, it, n_ref, limit):
    rows = []
    for _ in range(limit):
        buf = double_buffer(n_ref)
        if core.gkm_window_iter_next(it, buf) != 1:
            break
        rows.append(list(buf[:n_ref]))
    return rows


@pytest.fixture
def make_iter(core):
    made = []

    def make(kernel, seq, *geometry):
        it = core.gkm_window_iter_create(kernel.handle, seq, *geometry)
        made.append(it)
        return it

    yield make
    for it in made:
        core.gkm_window_iter_destroy(it)


@pytest.mark.parametrize("params, geometry, seqlen", KERNEL_GEOMETRY_CASES)
def test_iterator_rows_match_brute_force(core, make_core_kernel, make_iter, rng, params, geometry, seqlen):
    kernel = make_kernel(make_core_kernel, *params)
    texts = related_texts(rng, 3, seqlen)
    refs = [texts[0], texts[1], texts[2][: seqlen // 2]]
    for r in refs:
        kernel.add(r)
    assert kernel.finalize() == 0
    it = make_iter(kernel, kernel.query(texts[0]), *geometry)
    assert it
    expected = reference_for(core, kernel, *params).sliding_query(texts[0], refs, *geometry)
    assert core.gkm_window_iter_count(it) == len(expected)
    assert iter_rows(core, it, 3, len(expected) + 2) == expected


def test_iterator_count_next_exhaustion_reset(core, make_core_kernel, make_iter, dna):
    kernel = make_core_kernel(L=10, k=6, d=3)
    for _ in range(2):
        kernel.add(dna(80))
    kernel.finalize()
    it = make_iter(kernel, kernel.query(dna(100)), 20, 15, 0, 0)
    assert core.gkm_window_iter_count(it) == 6
    first = iter_rows(core, it, 2, 1)[0]
    assert len(iter_rows(core, it, 2, 10)) == 5
    buf = double_buffer(2)
    assert core.gkm_window_iter_next(it, buf) == 0
    assert untouched(buf)
    core.gkm_window_iter_reset(it)
    assert iter_rows(core, it, 2, 1)[0] == first


def test_iterator_whole_window_equals_regular_evaluation(core, make_core_kernel, make_iter, dna):
    kernel = make_core_kernel(L=8, k=4, d=2, use_rc=1)
    for _ in range(3):
        kernel.add(dna(60))
    kernel.finalize()
    query = kernel.query(dna(70))
    it = make_iter(kernel, query, 70, 5, 0, 0)
    assert core.gkm_window_iter_count(it) == 1
    rc, whole = kernel.eval_all(query)
    assert rc == 0
    assert iter_rows(core, it, 3, 2) == [whole]


def test_iterator_window_longer_than_query(core, make_core_kernel, make_iter, dna):
    kernel = make_core_kernel(L=10, k=6, d=3)
    kernel.add(dna(80))
    kernel.finalize()
    it = make_iter(kernel, kernel.query(dna(100)), 120, 10, 0, 0)
    assert core.gkm_window_iter_count(it) == 0
    assert core.gkm_window_iter_next(it, double_buffer(1)) == 0


@pytest.mark.parametrize(
    "geometry", [(20, 0, 0, 0), (9, 5, 0, 0), (20, 5, 15, 0), (20, 5, 0, 11), (20, INT_MIN, 0, 0)]
)
def test_iterator_creation_rejects_geometry(core, make_core_kernel, dna, geometry):
    kernel = make_core_kernel(L=10, k=6, d=3)
    assert not core.gkm_window_iter_create(kernel.handle, kernel.query(dna(100)), *geometry)


def test_iterator_creation_rejects_null(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=10, k=6, d=3)
    assert not core.gkm_window_iter_create(None, kernel.query(dna(100)), 20, 5, 0, 0)
    assert not core.gkm_window_iter_create(kernel.handle, None, 20, 5, 0, 0)
    core.gkm_window_iter_destroy(None)
    assert core.gkm_window_iter_count(None) == 0
    core.gkm_window_iter_reset(None)
    assert core.gkm_window_iter_next(None, double_buffer(1)) == 0


def test_iterator_waits_for_finalisation(core, make_core_kernel, make_iter, dna):
    kernel = make_core_kernel(L=6, k=3, d=2)
    refs = [dna(40), dna(40)]
    for r in refs:
        kernel.add(r)
    query_text = dna(50)
    it = make_iter(kernel, kernel.query(query_text), 20, 10, 0, 0)
    assert core.gkm_window_iter_count(it) == 4
    buf = double_buffer(2)
    assert core.gkm_window_iter_next(it, buf) == 0
    assert untouched(buf)
    kernel.finalize()
    expected = reference_for(core, kernel, 6, 3, 2, 0, 0).sliding_query(query_text, refs, 20, 10, 0, 0)
    assert iter_rows(core, it, 2, 10) == expected


def test_iterator_without_references_writes_nothing(core, make_core_kernel, make_iter, dna):
    kernel = make_core_kernel(L=6, k=3, d=2)
    kernel.finalize()
    it = make_iter(kernel, kernel.query(dna(50)), 20, 10, 0, 0)
    buf = double_buffer(1)
    assert core.gkm_window_iter_next(it, buf) == 1
    assert core.gkm_window_iter_next(it, None) == 1
    assert untouched(buf)


def test_iterator_rows_keep_creation_reference_count(core, make_core_kernel, make_iter, dna):
    kernel = make_core_kernel(L=6, k=3, d=2)
    refs = [dna(40), dna(40), dna(40)]
    kernel.add(refs[0])
    kernel.add(refs[1])
    query_text = dna(50)
    it = make_iter(kernel, kernel.query(query_text), 20, 10, 0, 0)
    kernel.add(refs[2])
    kernel.finalize()
    assert core.gkm_window_iter_next(it, None) == 0  # null row with references: refused, not advanced
    buf = double_buffer(3)
    assert core.gkm_window_iter_next(it, buf) == 1
    assert math.isnan(buf[2])
    expected = reference_for(core, kernel, 6, 3, 2, 0, 0).sliding_query(query_text, refs[:2], 20, 10, 0, 0)
    assert list(buf[:2]) == expected[0]


def test_iterator_huge_window_costs_nothing(core, make_core_kernel, make_iter, dna):
    kernel = make_core_kernel(L=5, k=3, d=2)
    refs = [dna(40), dna(30)]
    for r in refs:
        kernel.add(r)
    kernel.finalize()
    query_text = dna(50)
    query = kernel.query(query_text)
    it = make_iter(kernel, query, INT_MAX, 1, 0, 0)
    assert it and core.gkm_window_iter_count(it) == 0
    geometry = (INT_MAX, 3, 0, INT_MAX - 5)
    it = make_iter(kernel, query, *geometry)
    expected = reference_for(core, kernel, 5, 3, 2, 0, 0).sliding_query(query_text, refs, *geometry)
    assert core.gkm_window_iter_count(it) == len(expected) == 16
    assert iter_rows(core, it, 2, 20) == expected


# ---- window tree cache -------------------------------------------------------


@pytest.fixture
def cache_setup(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=6, k=3, d=2, use_rc=1)
    ref_texts = [dna(60) for _ in range(3)]
    refs = [kernel.query(t) for t in ref_texts]
    geometry = (20, 10, 5, 5)
    cache = core.gkm_window_tree_cache_build(kernel.handle, seq_array(refs), 3, *geometry)
    assert cache
    yield kernel, ref_texts, refs, geometry, cache
    core.gkm_window_tree_cache_destroy(cache)


@pytest.mark.parametrize(
    "geometry",
    [(20, 0, 0, 0), (5, 5, 0, 0), (20, 5, 15, 0), (20, 5, 0, 15), (70, 5, 0, 0)],
    ids=["shift0", "window<L", "pad-left-guard", "pad-right-guard", "no-window"],
)
def test_cache_build_rejects_geometry(core, make_core_kernel, dna, geometry):
    kernel = make_core_kernel(L=6, k=3, d=2)
    refs = [kernel.query(dna(60))]
    assert not core.gkm_window_tree_cache_build(kernel.handle, seq_array(refs), 1, *geometry)


def test_cache_build_rejects_bad_references(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=6, k=3, d=2)
    a, b, short = kernel.query(dna(60)), kernel.query(dna(60)), kernel.query(dna(59))
    build = core.gkm_window_tree_cache_build
    assert not build(kernel.handle, seq_array([a, short]), 2, 20, 10, 0, 0)
    assert not build(kernel.handle, seq_array([a, None]), 2, 20, 10, 0, 0)
    assert not build(kernel.handle, seq_array([a, b]), 0, 20, 10, 0, 0)
    assert not build(kernel.handle, None, 1, 20, 10, 0, 0)
    assert not build(None, seq_array([a]), 1, 20, 10, 0, 0)
    core.gkm_window_tree_cache_destroy(None)


def test_cache_single_reference_equal_to_query_is_one(core, cache_setup):
    kernel, ref_texts, refs, geometry, cache = cache_setup
    query = kernel.query(ref_texts[1])
    rc, out = cache_query(core, kernel, cache, [query], 6, 3)
    assert rc == 0
    assert [block[0][1] for block in nest(out, 6, 1, 3)] == [pytest.approx(1.0, rel=1e-12)] * 6


def test_cache_query_rejects_untouched(core, make_core_kernel, cache_setup, dna):
    kernel, ref_texts, refs, geometry, cache = cache_setup
    good, short, long_ = kernel.query(dna(60)), kernel.query(dna(59)), kernel.query(dna(61))
    query = core.gkm_window_tree_cache_query
    out = double_buffer(200)
    assert query(kernel.handle, cache, seq_array([short]), 1, out) == -1
    assert query(kernel.handle, cache, seq_array([long_]), 1, out) == -1
    assert query(kernel.handle, cache, seq_array([good, short]), 2, out) == -1
    assert query(kernel.handle, cache, seq_array([good, None]), 2, out) == -1
    assert query(kernel.handle, cache, seq_array([good]), 0, out) == -1
    assert query(kernel.handle, cache, None, 1, out) == -1
    assert query(kernel.handle, None, seq_array([good]), 1, out) == -1
    assert query(None, cache, seq_array([good]), 1, out) == -1
    assert query(kernel.handle, cache, seq_array([good]), 1, None) == -1
    assert untouched(out)


@pytest.mark.parametrize(
    "other", [dict(L=5, k=3, d=2, use_rc=1), dict(L=6, k=3, d=1, use_rc=1), dict(L=6, k=3, d=2, use_rc=0),
              dict(L=6, k=4, d=2, use_rc=1), dict(L=6, k=3, d=2, use_rc=1, weight_scheme=2)],
    ids=["L", "d", "use_rc", "k", "scheme"],
)
def test_cache_query_rejects_other_kernel(core, make_core_kernel, cache_setup, dna, other):
    kernel, ref_texts, refs, geometry, cache = cache_setup
    other_kernel = make_core_kernel(**other)
    out = double_buffer(200)
    queries = seq_array([other_kernel.query(dna(60))])
    assert core.gkm_window_tree_cache_query(other_kernel.handle, cache, queries, 1, out) == -1
    assert untouched(out)


def test_cache_query_accepts_kernel_with_same_parameters(core, make_core_kernel, cache_setup, dna):
    kernel, ref_texts, refs, geometry, cache = cache_setup
    twin = make_core_kernel(L=6, k=3, d=2, use_rc=1, nthreads=4)
    q_text = dna(60)
    rc, out = cache_query(core, twin, cache, [twin.query(q_text)], 6, 3)
    assert rc == 0
    assert nest(out, 6, 1, 3) == reference_for(core, kernel, 6, 3, 2, 1, 0).cross_window([q_text], ref_texts, *geometry)


def test_cache_rebuilt_for_another_geometry_equals_fresh_build(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=6, k=3, d=2)
    refs = [kernel.query(dna(60)) for _ in range(2)]
    queries = [kernel.query(dna(60)) for _ in range(2)]
    build = core.gkm_window_tree_cache_build
    first = build(kernel.handle, seq_array(refs), 2, 20, 10, 0, 0)
    rc, before = cache_query(core, kernel, first, queries, 5, 2)
    core.gkm_window_tree_cache_destroy(first)
    second = build(kernel.handle, seq_array(refs), 2, 15, 7, 3, -2)
    n_w = core.gkm_compute_n_windows(60, 15, 7, 3, -2, 6)
    rc2, after = cache_query(core, kernel, second, queries, n_w, 2)
    core.gkm_window_tree_cache_destroy(second)
    rc3, cross = cross_window(core, kernel, queries, refs, (15, 7, 3, -2))
    assert rc == rc2 == rc3 == 0
    assert nest(after, n_w, 2, 2) == cross
    again = build(kernel.handle, seq_array(refs), 2, 20, 10, 0, 0)
    rc4, repeat = cache_query(core, kernel, again, queries, 5, 2)
    core.gkm_window_tree_cache_destroy(again)
    assert rc4 == 0 and list(repeat) == list(before)


def test_cache_outlives_its_references(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=6, k=3, d=2)
    ref_texts = [dna(50), dna(50)]
    refs = [core.gkm_sequence_create(kernel.base, t.encode(), None) for t in ref_texts]
    cache = core.gkm_window_tree_cache_build(kernel.handle, seq_array(refs), 2, 25, 5, 0, 0)
    for seq in refs:
        core.gkm_sequence_free(seq)
    q_text = dna(50)
    try:
        rc, out = cache_query(core, kernel, cache, [kernel.query(q_text)], 6, 2)
    finally:
        core.gkm_window_tree_cache_destroy(cache)
    assert rc == 0
    expected = reference_for(core, kernel, 6, 3, 2, 0, 0).cross_window([q_text], ref_texts, 25, 5, 0, 0)
    assert nest(out, 6, 1, 2) == expected


def test_cache_matches(core, make_core_kernel, cache_setup, cache_matches, dna, rng):
    kernel, ref_texts, refs, geometry, cache = cache_setup
    same = [kernel.query(t) for t in ref_texts]
    assert cache_matches(cache, seq_array(refs), 3, *geometry) == 1
    assert cache_matches(cache, seq_array(same), 3, *geometry) == 1
    for i in range(4):
        changed = list(geometry)
        changed[i] += 1
        assert cache_matches(cache, seq_array(refs), 3, *changed) == 0
    edited = ref_texts[:2] + [mutate(rng, ref_texts[2], 1)]
    assert cache_matches(cache, seq_array([kernel.query(t) for t in edited]), 3, *geometry) == 0
    assert cache_matches(cache, seq_array(refs[:2]), 2, *geometry) == 0
    assert cache_matches(cache, seq_array(refs + [refs[0]]), 4, *geometry) == 0
    assert cache_matches(cache, seq_array(refs[::-1]), 3, *geometry) == 0
    longer = [kernel.query(t + "A") for t in ref_texts]
    assert cache_matches(cache, seq_array(longer), 3, *geometry) == 0
    assert cache_matches(cache, seq_array(refs[:2] + [None]), 3, *geometry) == 0
    assert cache_matches(cache, None, 3, *geometry) == 0
    assert cache_matches(None, seq_array(refs), 3, *geometry) == 0


# ---- exhausted memory --------------------------------------------------------

_LOW_MEMORY_SCRIPT = r"""
import random, resource, sys
sys.path.insert(0, sys.argv[1])
import core_ctypes
from core_ctypes import double_buffer, seq_array
from vellum import _gkmkern

core = core_ctypes.load_core(_gkmkern.__file__)
kernel = core.gkm_kernel_create(core_ctypes.params(L=12, k=8, d=2))
base = core.gkm_kernel_base(kernel)
rng = random.Random(5)
big = [core.gkm_sequence_create(base, "".join(rng.choice("ACGT") for _ in range(2000)).encode(), None)
       for _ in range(300)]
seqs = [core.gkm_sequence_create(base, (b"ACGTTGCAAGCT" * 9)[:100], None) for _ in range(2)]
# The address space in use now, plus a little: the references of the first
# build need tens of megabytes to be indexed.
in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (in_use + 8 * 2**20, hard))
many = core.gkm_window_tree_cache_build(kernel, seq_array(big), len(big), 100, 10, 0, 0)
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
print("many", bool(many))
one = core.gkm_window_tree_cache_build(kernel, seq_array(seqs), 2, 100, 1, 0, 0)
out = double_buffer(4)
rc = core.gkm_window_tree_cache_query(kernel, one, seq_array(seqs), 2, out)
print("one", bool(one), rc, [round(v, 9) for v in out])
core.gkm_window_tree_cache_destroy(one)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="an address-space limit breaks the sanitizer")
def test_cache_build_out_of_memory_returns_null(tmp_path):
    script = tmp_path / "low_memory.py"
    script.write_text(_LOW_MEMORY_SCRIPT)
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, str(script), tests_dir], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "many False"
    assert lines[1] == "one True 0 [1.0, 1.0, 1.0, 1.0]"
