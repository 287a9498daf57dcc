"""Kernel.sliding_query, self_window_eval and cross_window_eval: values against
brute-force windows (a window is its clipped substring, compared as a sequence
of its own), every error with its type and message, the window-tree cache that
cross_window_eval keeps between calls, and reference counts on every path."""
import ctypes
import sys

import pytest

from reference import WEIGHT_FULL
from reference_windows import WindowReference
from binding_support import (
    INT_MAX,
    NO_WINDOWS,
    NOT_ENCODABLE,
    OTHER_PARAMETERS,
    assert_each_allocation_failure_is_clean,
    resolve_padding,
)
from seqgen import mutate, random_dna

from vellum import _gkmkern as g

ITER_FAILED = "could not create window iterator (check window/shift/padding)"
ITER_ENDED = "window iter ended early"
SHORTER = "sequences shorter than window"
WINDOW_KERNEL_FAILED = "gkm_kernel_window_kernel failed"
BUILD_FAILED = "window_tree_cache_build failed"
QUERY_FAILED = "window_tree_cache_query failed"
NOT_INITIALIZED = "Kernel object is not initialized"
SMALL = dict(L=5, k=3, d=2)


def assert_nested_equal(got, expected, exact):
    """Same nesting and lengths; values equal, to the bit when exact."""
    if isinstance(expected, list):
        assert isinstance(got, list) and len(got) == len(expected)
        for g_item, e_item in zip(got, expected):
            assert_nested_equal(g_item, e_item, exact)
    elif exact:
        assert type(got) is float and got == expected
    else:
        assert type(got) is float and got == pytest.approx(expected, rel=1e-12, abs=1e-15)


def related_texts(rng, n, length):
    """Random texts plus a near-copy, so windows share L-mers at every distance."""
    first = random_dna(rng, length)
    texts = [first, mutate(rng, first, 3)]
    while len(texts) < n:
        texts.append(random_dna(rng, length))
    return texts


def finalized(refs, **params):
    kernel = g.Kernel(**params)
    for ref in refs:
        kernel.add_sequence(ref)
    kernel.finalize()
    return kernel


def wcache_pointer(kernel):
    """The object's cache pointer: the record holds the object header, the
    kernel pointer, then the cache pointer."""
    offset = object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)
    return ctypes.c_void_p.from_address(id(kernel) + offset).value


# ---- values against brute force ---------------------------------------------

# L, k, d, use_rc, weight_scheme
KERNELS = [
    (2, 1, 1, 0, 0),
    (3, 2, 1, 1, 0),
    (4, 2, 2, 0, 2),
    (5, 3, 2, 1, 1),
    (6, 3, 3, 0, 0),
    (7, 4, 2, 1, 0),
    (8, 5, 3, 0, 2),
    (9, 5, 2, 1, 0),
    (10, 6, 3, 1, 0),
    (11, 7, 2, 1, 1),
    (12, 8, 3, 0, 0),
]
PADDINGS = [None, 3, (4, 2), (-2, 5), (3, -4), [2, 2]]


def kernel_case(i, params):
    L = params[0]
    if L >= 11:
        # Every window is a tree of 4^L leaves: two windows at most.
        return pytest.param(params, 30, 24, 6, PADDINGS[i % len(PADDINGS)], id="L%d-two-windows" % L)
    return pytest.param(params, 36, L + 9, 6, PADDINGS[i % len(PADDINGS)], id="L%d-k%d-d%d-rc%d-s%d" % params)


# window, shift, padding on 48 bases with one kernel
GEOMETRIES = [
    (12, 12, None),
    (20, 7, 3),
    (16, 5, (6, 2)),
    (16, 9, (-3, -4)),
    (10, 4, [5, -2]),
    (48, 1, None),
    (48, 3, (0, 0)),
    (15, 1, 0),
    (40, 5, (10, 20)),
    (INT_MAX, 7, (0, INT_MAX - 5)),
]

CASES = [kernel_case(i, p) for i, p in enumerate(KERNELS)] + [
    pytest.param((5, 3, 2, 1, 0), 48, w, s, p, id="geom-%s-%s-%s" % (w, s, p)) for w, s, p in GEOMETRIES
]


def brute(params):
    L, k, d, use_rc, scheme = params
    return WindowReference(L, k, d, use_rc, scheme), scheme == WEIGHT_FULL


def make_kernel(params):
    L, k, d, use_rc, scheme = params
    return g.Kernel(L=L, k=k, d=d, use_rc=use_rc, weight_scheme=scheme)


@pytest.mark.parametrize("params, seqlen, window, shift, padding", CASES)
def test_sliding_query_matches_brute_force(rng, params, seqlen, window, shift, padding):
    refs = related_texts(rng, 3, seqlen) + [random_dna(rng, seqlen + 7)]
    query = mutate(rng, refs[0], 2)
    kernel = make_kernel(params)
    for ref in refs:
        kernel.add_sequence(ref)
    kernel.finalize()
    reference, exact = brute(params)
    expected = reference.sliding_query(query, refs, window, shift, *resolve_padding(padding))
    assert len(expected) > 0
    assert_nested_equal(kernel.sliding_query(query, window, shift, padding), expected, exact)
    assert_nested_equal(kernel.sliding_query(g.Sequence(kernel, query), window, shift, padding), expected, exact)


@pytest.mark.parametrize("params, seqlen, window, shift, padding", [c for c in CASES if c.values[2] <= c.values[1]])
def test_self_window_eval_matches_brute_force(rng, params, seqlen, window, shift, padding):
    texts = related_texts(rng, 3, seqlen)
    texts.append(texts[0])
    kernel = make_kernel(params)
    reference, exact = brute(params)
    expected = reference.self_window(texts, window, shift, *resolve_padding(padding))
    assert len(expected) > 0
    seqs = texts[:3] + [g.Sequence(kernel, texts[3])]
    got = kernel.self_window_eval(seqs, window, shift, padding)
    assert_nested_equal(got, expected, exact)
    for block in got:
        assert block[0][3] == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize("params, seqlen, window, shift, padding", CASES)
def test_cross_window_eval_matches_brute_force(rng, params, seqlen, window, shift, padding):
    texts = related_texts(rng, 5, seqlen)
    queries, refs = texts[:2], texts[2:] + [texts[0]]
    kernel = make_kernel(params)
    reference, exact = brute(params)
    expected = reference.cross_window(queries, refs, window, shift, *resolve_padding(padding))
    assert len(expected) > 0
    got = kernel.cross_window_eval(queries, tuple(g.Sequence(kernel, r) for r in refs), window, shift, padding)
    assert_nested_equal(got, expected, exact)
    # Served from the kept trees.
    assert kernel.cross_window_eval(queries, refs, window, shift, padding) == got


def test_window_of_the_whole_sequence_is_the_regular_kernel(dna):
    refs = [dna(40) for _ in range(3)]
    kernel = finalized(refs, L=6, k=4, d=2, use_rc=1)
    query = dna(40)
    assert kernel.sliding_query(query, 40, 1) == kernel.eval_batch([query])
    whole = kernel.self_window_eval(refs, 40, 5)
    assert len(whole) == 1 and whole[0][1][1] == pytest.approx(1.0, rel=1e-12)
    assert [row[0] for row in whole[0]] == pytest.approx([r[0] for r in kernel.eval_batch(refs)], rel=1e-12)


@pytest.mark.parametrize("method", ["sliding_query", "self_window_eval", "cross_window_eval"])
def test_int_and_pair_padding_agree(method, dna):
    texts = [dna(50) for _ in range(3)]
    kernel = finalized(texts, **SMALL)
    first = texts[0] if method == "sliding_query" else texts
    call = getattr(kernel, method)
    lead = (first, texts) if method == "cross_window_eval" else (first,)
    results = [call(*lead, 20, 10, p) for p in (3, (3, 3), [3, 3])]
    results.append(call(*lead, window=20, shift=10, padding=(3, 3)))
    assert all(r == results[0] for r in results)
    assert len(results[0]) == 4


# ---- shapes and documented corners -------------------------------------------


def test_sliding_query_corners(dna):
    text = dna(30)
    unfinalized = g.Kernel(**SMALL)
    unfinalized.add_sequence(text)
    with pytest.raises(RuntimeError) as err:
        unfinalized.sliding_query(text, 10, 5)
    assert str(err.value) == ITER_ENDED
    # No window, so nothing to walk: an empty answer even before finalisation.
    assert unfinalized.sliding_query(text, 31, 5) == []
    empty = g.Kernel(**SMALL)
    empty.finalize()
    assert empty.sliding_query(text, 10, 5) == [[], [], [], [], []]
    assert finalized([text], **SMALL).sliding_query(text, 31, 5) == []


def test_huge_window_answers_at_once(dna):
    text = dna(60)
    kernel = finalized([text], **SMALL)
    assert kernel.sliding_query(text, INT_MAX, 1) == []
    # One window hanging over the left end, clipped to the first 10 bases.
    assert kernel.sliding_query(text, INT_MAX, INT_MAX, (INT_MAX - 10, 0)) == kernel.eval_batch([text[:10]])
    with pytest.raises(ValueError) as err:
        kernel.cross_window_eval([text], [text], INT_MAX, 1)
    assert str(err.value) == NO_WINDOWS
    with pytest.raises(ValueError) as err:
        kernel.self_window_eval([text], INT_MAX, 1)
    assert str(err.value) == SHORTER


def test_window_methods_work_without_finalisation_or_references(dna):
    texts = [dna(30), dna(30)]
    kernel = g.Kernel(**SMALL)
    assert len(kernel.self_window_eval(texts, 30, 1)) == 1
    assert len(kernel.cross_window_eval(texts, texts, 10, 10)) == 3
    assert kernel.num_sequences() == 0


@pytest.mark.parametrize(
    "method, args",
    [
        ("sliding_query", ("seq", "window", "shift", "padding")),
        ("self_window_eval", ("seqs", "window", "shift", "padding")),
        ("cross_window_eval", ("queries", "refs", "window", "shift", "padding")),
    ],
)
def test_docstrings(method, args):
    result = "list[list[float]]" if method == "sliding_query" else "3D list"
    signature = ", ".join(args[:-1]) + ", padding=0"
    assert getattr(g.Kernel, method).__doc__ == "%s(%s) -> %s." % (method, signature, result)


# ---- errors ------------------------------------------------------------------

T30 = "ACGTTGCAACGGATCCTAGGCATGCATTAC"
T40 = T30 + "GGCCAATTGC"


def other_sequence():
    return g.Sequence(g.Kernel(L=6, k=3, d=2), T30)


SLIDING_ERRORS = [
    ((T30, 2**31, 1), OverflowError, None),
    ((T30, 10, -(2**31) - 1), OverflowError, None),
    ((T30, 10.0, 1), TypeError, None),
    ((T30, 10), TypeError, None),
    ((T30, 10, 5, 2.5), TypeError, "padding must be an int or a (left, right) tuple"),
    ((T30, 10, 5, (1, 2, 3)), ValueError, "padding tuple/list must have 2 elements (left, right)"),
    ((42, 10, 5), TypeError, "expected a Sequence or a string"),
    (([T30], 10, 5), TypeError, "expected a Sequence or a string"),
    (("ACGTN" * 6, 10, 5), ValueError, NOT_ENCODABLE),
    ((other_sequence, 10, 5), ValueError, OTHER_PARAMETERS),
    ((T30, 10, 0), ValueError, ITER_FAILED),
    ((T30, 10, -3), ValueError, ITER_FAILED),
    ((T30, 4, 1), ValueError, ITER_FAILED),
    ((T30, 10, 1, (6, 0)), ValueError, ITER_FAILED),
    ((T30, 10, 1, (0, 6)), ValueError, ITER_FAILED),
    ((T30, 10, 1, INT_MAX), ValueError, ITER_FAILED),
]

SELF_ERRORS = [
    (([T30], 2**31, 1), OverflowError, None),
    (([T30], 10, 1, [1]), ValueError, "padding tuple/list must have 2 elements (left, right)"),
    ((T30, 10, 5), TypeError, "must be a list or tuple of strings or Sequence objects"),
    (([], 10, 5), ValueError, "sequence list is empty"),
    (([T30, 7], 10, 5), TypeError, "elements must be str or Sequence"),
    (([T30, other_sequence], 10, 5), ValueError, OTHER_PARAMETERS),
    (([T30], 31, 5), ValueError, SHORTER),
    (([T30], 31, 5, 20), ValueError, SHORTER),
    (([T30], 31, 0), ValueError, SHORTER),
    (([T30], 10, 0), RuntimeError, WINDOW_KERNEL_FAILED),
    (([T30], 10, -1, (6, 0)), RuntimeError, WINDOW_KERNEL_FAILED),
    (([T30], 10, 1, (6, 0)), ValueError, NO_WINDOWS),
    (([T30], 4, 1), ValueError, NO_WINDOWS),
    (([T30], 10, 1, (-25, 0)), ValueError, NO_WINDOWS),
    (([T30, T40], 10, 5), RuntimeError, WINDOW_KERNEL_FAILED),
    (([T40, T30], 10, 5), RuntimeError, WINDOW_KERNEL_FAILED),
]

CROSS_ERRORS = [
    (([T30], [T30], 10, INT_MAX + 1), OverflowError, None),
    (([T30], [T30], 10), TypeError, None),
    (([T30], [T30], 10, 1, "3"), TypeError, "padding must be an int or a (left, right) tuple"),
    (([], 5, 10, 1), ValueError, "sequence list is empty"),
    (([T30], 5, 10, 1), TypeError, "must be a list or tuple of strings or Sequence objects"),
    (([T30], ["ACG"], 10, 1), ValueError, NOT_ENCODABLE),
    (([T30], [other_sequence], 10, 1), ValueError, OTHER_PARAMETERS),
    (([T30], [T30], 10, 0), RuntimeError, BUILD_FAILED),
    (([T30], [], 10, 0), ValueError, "sequence list is empty"),
    (([T30], [T30], 10, 1, (6, 0)), ValueError, NO_WINDOWS),
    (([T30], [T30], 31, 1), ValueError, NO_WINDOWS),
    (([T30], [T30, T40], 10, 5), RuntimeError, BUILD_FAILED),
    (([T30], [T40], 10, 5), RuntimeError, QUERY_FAILED),
    (([T40], [T30], 10, 5), RuntimeError, QUERY_FAILED),
    (([T30, T40], [T30], 10, 5), RuntimeError, QUERY_FAILED),
]

ERROR_CASES = (
    [pytest.param("sliding_query", *c, id="sliding-%d" % i) for i, c in enumerate(SLIDING_ERRORS)]
    + [pytest.param("self_window_eval", *c, id="self-%d" % i) for i, c in enumerate(SELF_ERRORS)]
    + [pytest.param("cross_window_eval", *c, id="cross-%d" % i) for i, c in enumerate(CROSS_ERRORS)]
)


def materialise(args):
    """Arguments with factories called and lists copied, so that each run owns them."""
    def one(a):
        if callable(a):
            return a()
        if isinstance(a, list):
            return [one(x) for x in a]
        return a

    return tuple(one(a) for a in args)


@pytest.mark.parametrize("method, args, exc, message", ERROR_CASES)
def test_errors_and_refcounts(method, args, exc, message):
    kernel = finalized([T30, T30[::-1]], **SMALL)
    args = materialise(args)
    watched = [a for a in args if not isinstance(a, int)]
    watched += [x for a in args if isinstance(a, (list, tuple)) for x in a if not isinstance(x, int)]
    before = [sys.getrefcount(a) for a in watched]
    for _ in range(2):
        with pytest.raises(exc) as err:
            getattr(kernel, method)(*args)
        assert type(err.value) is exc
        if message is not None:
            assert str(err.value) == message
        del err
    assert [sys.getrefcount(a) for a in watched] == before


@pytest.mark.parametrize(
    "method, args",
    [
        ("sliding_query", (T30, 10, 5)),
        ("sliding_query", (42, 0, 0, "bad")),
        ("self_window_eval", ([T30], 10, 5)),
        ("cross_window_eval", ([T30], [T30], 10, 5)),
    ],
)
def test_uninitialised_kernel_raises(method, args):
    with pytest.raises(RuntimeError) as err:
        getattr(g.Kernel.__new__(g.Kernel), method)(*args)
    assert str(err.value) == NOT_INITIALIZED


def test_success_leaves_refcounts_unchanged(dna):
    refs = [dna(40) for _ in range(3)]
    kernel = finalized(refs, **SMALL)
    seq = g.Sequence(kernel, refs[1])
    text = "".join(refs[2])
    seqs = [text, seq, refs[0]]
    padding = (2, 3)
    watched = [seq, text, seqs, padding, kernel]
    before = [sys.getrefcount(a) for a in watched]
    for _ in range(2):
        kernel.sliding_query(seq, 15, 5, padding)
        kernel.sliding_query(text, 15, 5, padding)
        kernel.self_window_eval(seqs, 15, 5, padding)
        kernel.cross_window_eval(seqs, seqs, 15, 5, padding)
        kernel.cross_window_eval([seq], seqs, 15, 6, padding)
    assert [sys.getrefcount(a) for a in watched] == before


@pytest.mark.parametrize("n", [1_420_000, 3_200_000], ids=["bytes-overflow", "count-overflow"])
def test_impossible_result_size_is_memory_error(n, dna):
    # 1,000,001 windows x n x n doubles cannot be addressed; refused before any work.
    kernel = g.Kernel(L=10, k=6, d=3)
    seq = g.Sequence(kernel, dna(2047))
    many = [seq] * n
    count = sys.getrefcount(seq)
    with pytest.raises(MemoryError):
        kernel.cross_window_eval(many, many, 3_000_000, 1, 2_999_990)
    assert sys.getrefcount(seq) == count
    assert wcache_pointer(kernel) is None


@pytest.mark.parametrize("method", ["sliding_query", "self_window_eval", "cross_window_eval"])
def test_failing_allocations_raise_memory_error_and_leak_nothing(method, dna):
    """Every allocation of the call is failed once in turn: the call either
    succeeds with the right values or raises MemoryError, and the arguments'
    reference counts come back unchanged."""
    refs = [dna(30) for _ in range(4)]
    kernel = finalized(refs, L=4, k=2, d=1)
    seqs = [refs[0], g.Sequence(kernel, refs[1]), dna(30)]
    args = {
        "sliding_query": (seqs[1], 12, 6, (2, 2)),
        "self_window_eval": (seqs, 12, 6, (2, 2)),
        "cross_window_eval": (seqs, refs, 12, 6, (2, 2)),
    }[method]
    call = getattr(kernel, method)
    expected = call(*args)
    assert_each_allocation_failure_is_clean(lambda: call(*args), expected, seqs + [seqs], 300)


# ---- the window-tree cache of cross_window_eval ------------------------------


@pytest.fixture
def cache_texts(rng):
    """Queries and references of 40 bases, other references of 40 and 50."""
    return {
        "q": related_texts(rng, 2, 40),
        "r": related_texts(rng, 3, 40),
        "q50": [random_dna(rng, 50) for _ in range(2)],
        "r50": [random_dna(rng, 50) for _ in range(3)],
        "mut": None,
    }


def fresh(queries, refs, *geometry):
    return g.Kernel(**SMALL).cross_window_eval(queries, refs, *geometry)


GEOMETRY = (15, 5, 2)

# The second call of each pair: (queries, refs, geometry) from the texts.
SECOND_CALLS = {
    "same": lambda t, k: (t["q"], t["r"], GEOMETRY),
    "same-as-sequences": lambda t, k: (t["q"], tuple(g.Sequence(k, r) for r in t["r"]), GEOMETRY),
    "same-padding-as-pair": lambda t, k: (t["q"], t["r"], (15, 5, (2, 2))),
    "other-queries": lambda t, k: (t["r"][:1], t["r"], GEOMETRY),
    "other-shift": lambda t, k: (t["q"], t["r"], (15, 4, 2)),
    "other-window": lambda t, k: (t["q"], t["r"], (20, 5, 2)),
    "other-padding": lambda t, k: (t["q"], t["r"], (15, 5, (2, -1))),
    "one-base-changed": lambda t, k: (t["q"], [t["r"][0], mutate_one(t["r"][1]), t["r"][2]], GEOMETRY),
    "reordered": lambda t, k: (t["q"], t["r"][::-1], GEOMETRY),
    "fewer": lambda t, k: (t["q"], t["r"][:2], GEOMETRY),
    "more": lambda t, k: (t["q"], t["r"] + t["q"], GEOMETRY),
    "longer": lambda t, k: (t["q50"], t["r50"], GEOMETRY),
}


def mutate_one(text):
    return text[:17] + ("A" if text[17] != "A" else "C") + text[18:]


@pytest.mark.parametrize("second", SECOND_CALLS)
def test_cache_answers_as_a_fresh_build(second, cache_texts):
    kernel = g.Kernel(**SMALL)
    first = kernel.cross_window_eval(cache_texts["q"], cache_texts["r"], *GEOMETRY)
    assert first == fresh(cache_texts["q"], cache_texts["r"], *GEOMETRY)
    kept = wcache_pointer(kernel)
    assert kept is not None
    queries, refs, geometry = SECOND_CALLS[second](cache_texts, kernel)
    got = kernel.cross_window_eval(queries, refs, *geometry)
    assert got == fresh(queries, refs, *geometry)
    assert wcache_pointer(kernel) is not None
    if second.startswith("same"):
        assert got == first
        assert wcache_pointer(kernel) == kept
    # and back: the first references again answer as they did
    assert kernel.cross_window_eval(cache_texts["q"], cache_texts["r"], *GEOMETRY) == first


FAILURES = {
    # (queries, refs, geometry) -> error; whether the kept cache survives
    "build-same-geometry": (lambda t: (t["q"], t["r"][:2] + t["r50"][:1], GEOMETRY), RuntimeError, BUILD_FAILED, False),
    "build-other-geometry": (lambda t: (t["q"], t["r"] + t["r50"], (12, 4, 0)), RuntimeError, BUILD_FAILED, False),
    "shift-zero": (lambda t: (t["q"], t["r"], (15, 0, 2)), RuntimeError, BUILD_FAILED, False),
    "query-longer": (lambda t: (t["q50"], t["r"], GEOMETRY), RuntimeError, QUERY_FAILED, True),
    "query-shorter": (lambda t: ([t["q"][0][:30]], t["r"], GEOMETRY), RuntimeError, QUERY_FAILED, True),
    "query-mixed": (lambda t: ([t["q"][0], t["q50"][0]], t["r"], GEOMETRY), RuntimeError, QUERY_FAILED, True),
    "no-window": (lambda t: (t["q"], t["r"], (15, 5, (12, 0))), ValueError, NO_WINDOWS, True),
    "bad-refs": (lambda t: (t["q"], t["r"] + ["ACGTN" * 8], GEOMETRY), ValueError, NOT_ENCODABLE, True),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_cache_after_a_failed_call(failure, cache_texts):
    make_args, exc, message, cache_survives = FAILURES[failure]
    kernel = g.Kernel(**SMALL)
    first = kernel.cross_window_eval(cache_texts["q"], cache_texts["r"], *GEOMETRY)
    kept = wcache_pointer(kernel)
    queries, refs, geometry = make_args(cache_texts)
    with pytest.raises(exc) as err:
        kernel.cross_window_eval(queries, refs, *geometry)
    assert str(err.value) == message
    assert wcache_pointer(kernel) == (kept if cache_survives else None)
    # Whatever is left, the next calls answer as fresh builds do.
    assert kernel.cross_window_eval(cache_texts["q"], cache_texts["r"], *GEOMETRY) == first
    other = (cache_texts["q50"], cache_texts["r50"], (12, 4, 0))
    assert kernel.cross_window_eval(*other[:2], *other[2]) == fresh(*other[:2], *other[2])


def test_cache_dies_with_its_kernel(cache_texts):
    for _ in range(3):
        kernel = g.Kernel(**SMALL)
        kernel.cross_window_eval(cache_texts["q"], cache_texts["r"], *GEOMETRY)
        del kernel
