"""WeightedKernel.self_window_eval and sliding_query: values against
brute-force weighted windows (every window weighted around its own middle),
every error with its type and message in the order they arise, stored
references that end too early, extreme geometries, and reference counts."""

import sys

import pytest

from reference_weighted import POS_KINDS, POS_TRIANGULAR
from reference_weighted_windows import WeightedWindowReference
from binding_support import (
    INT_MAX,
    INT_MIN,
    NO_WINDOWS,
    NOT_ENCODABLE,
    OTHER_PARAMETERS,
    assert_each_allocation_failure_is_clean,
    resolve_padding,
)
from seqgen import mutate, random_dna
from test_weighted_core import UNKNOWN_KIND, assert_matches_reference, related_family
from vellum import _gkmkern as g

WINDOW_FAILED = "weighted window_kernel failed"
SLIDING_FAILED = "weighted sliding_query failed"
NOT_INITIALIZED = "WeightedKernel object is not initialized"
SMALL = dict(L=5, k=3, d=2)


def kernel_pair(L, k, d, scheme=0, use_rc=0, pos_kernel=0, gamma=1.0, sigma=50.0, peak=50.0):
    """The binding's kernel and its brute-force counterpart."""
    kernel = g.WeightedKernel(L=L, k=k, d=d, weight_scheme=scheme, use_rc=use_rc, pos_kernel=pos_kernel,
                              weight_gamma=gamma, weight_sigma=sigma, weight_peak=peak)
    return kernel, WeightedWindowReference(L, k, d, scheme, use_rc, pos_kernel, gamma, sigma, peak)


def finalized(refs, **params):
    kernel = g.WeightedKernel(**params)
    for ref in refs:
        kernel.add_sequence(ref)
    kernel.finalize()
    return kernel


def assert_blocks(got, expected, n_rows, n_cols):
    """Same number of blocks and block shape as the brute force, values within 1e-12."""
    assert isinstance(got, list) and len(got) == len(expected) > 0
    for block in got:
        assert len(block) == n_rows and all(len(row) == n_cols for row in block)
        assert all(type(v) is float for row in block for v in row)
    assert_matches_reference(got, expected)


def check_both_methods(kernel, ref, seqs, query, refs, window, shift, padding):
    """self_window_eval on seqs and sliding_query of query against refs,
    which the kernel must hold, against the brute force."""
    pads = resolve_padding(padding)
    got = kernel.self_window_eval(seqs, window, shift, padding)
    assert_blocks(got, ref.self_window(seqs, window, shift, *pads), len(seqs), len(seqs))
    rows = kernel.sliding_query(query, window, shift, padding)
    expected = ref.sliding_query(query, refs, window, shift, *pads)
    assert_blocks([[row] for row in rows], [[row] for row in expected], 1, len(refs))
    return got, rows


# ---- values against the brute force --------------------------------------------

# On 36 bases: the first window starts at -4 and keeps 10 bases, the last
# starts at 26 and keeps 10 (padding right 6 lets it reach 40).
CLIPPED = (14, 6, (4, 6))


@pytest.mark.parametrize("use_rc", [0, 1])
@pytest.mark.parametrize("kind", POS_KINDS + (UNKNOWN_KIND,))
def test_every_profile_matches_brute_force(rng, kind, use_rc):
    kernel, ref = kernel_pair(**SMALL, use_rc=use_rc, pos_kernel=kind, gamma=0.3, sigma=4.0, peak=2.0)
    seqs = related_family(rng, 3, 36)
    # A longer stored reference is cut at the same positions.
    refs = seqs + [seqs[0] + random_dna(rng, 9)]
    for text in refs:
        kernel.add_sequence(text)
    kernel.finalize()
    query = mutate(rng, seqs[1], 2)
    got, rows = check_both_methods(kernel, ref, seqs, query, refs, *CLIPPED)
    assert len(got) == len(rows) == 6
    assert kernel.sliding_query(g.Sequence(kernel, query), *CLIPPED) == rows
    assert kernel.self_window_eval(tuple(g.Sequence(kernel, s) for s in seqs), *CLIPPED) == got


@pytest.mark.parametrize(
    "kw, seqlen, window, shift, padding",
    [
        (dict(L=2, k=1, d=1, use_rc=1, pos_kernel=2, sigma=2.0), 20, 6, 3, 2),
        (dict(L=8, k=5, d=3, scheme=1, pos_kernel=1, sigma=7.0), 40, 20, 7, [5, 9]),
        (dict(L=6, k=3, d=3, scheme=2, use_rc=1, pos_kernel=3, gamma=0.5), 40, 16, 9, (-3, -4)),
        (dict(L=4, k=2, d=2, pos_kernel=4, sigma=3.0), 30, 30, 1, None),
        (dict(L=5, k=3, d=2, use_rc=1, pos_kernel=0, sigma=6.0), 30, 40, 5, (10, 20)),
        (dict(L=5, k=3, d=2, use_rc=1, pos_kernel=4, sigma=6.0), 30, INT_MAX, 1, (0, INT_MAX - 5)),
        (dict(L=5, k=3, d=2, use_rc=1, pos_kernel=4, sigma=6.0), 30, INT_MAX, INT_MAX, (INT_MAX - 12, 0)),
    ],
    ids=["L2", "truncated", "negative-padding", "one-window", "beyond-both-ends", "huge-window", "huge-padding"],
)
def test_geometries_match_brute_force(rng, kw, seqlen, window, shift, padding):
    kernel, ref = kernel_pair(**kw)
    seqs = related_family(rng, 3, seqlen)
    for text in seqs:
        kernel.add_sequence(text)
    kernel.finalize()
    check_both_methods(kernel, ref, seqs, mutate(rng, seqs[0], 3), seqs, window, shift, padding)


def test_window_centred_far_left_of_its_bases_is_all_zero(rng):
    # The first window keeps bases 0..49 and its middle lies at -50.5 from
    # them: every L-mer is 55 or more away, beyond the triangle's half-width.
    kernel, ref = kernel_pair(L=10, k=6, d=3, use_rc=1, pos_kernel=POS_TRIANGULAR, sigma=50.0)
    seqs = related_family(rng, 3, 100)
    for text in seqs:
        kernel.add_sequence(text)
    kernel.finalize()
    got, rows = check_both_methods(kernel, ref, seqs, seqs[2], seqs, 200, 25, (150, 0))
    assert len(got) == 3
    assert got[0] == [[0.0] * 3] * 3 and rows[0] == [0.0] * 3
    assert got[2][1][1] == pytest.approx(1.0, rel=1e-12) and rows[2][2] == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize("use_rc", [0, 1])
@pytest.mark.parametrize("kind", POS_KINDS + (UNKNOWN_KIND,))
def test_whole_sequence_window_is_the_centred_evaluation(rng, kind, use_rc):
    kernel = g.WeightedKernel(L=6, k=4, d=2, use_rc=use_rc, pos_kernel=kind, weight_gamma=0.2, weight_sigma=5.0)
    seqs = related_family(rng, 3, 25)
    got = kernel.self_window_eval(seqs, 25, 3)
    assert len(got) == 1
    flat = [v for row in got[0] for v in row]
    assert flat == pytest.approx([v for row in kernel.self_eval(seqs) for v in row], rel=1e-12, abs=1e-15)
    for text in seqs:
        kernel.add_sequence(text)
    kernel.finalize()
    rows = kernel.sliding_query(seqs[1], 25, 3)
    assert rows[0] == pytest.approx(kernel.cross_eval(seqs[1:2], seqs)[0], rel=1e-12, abs=1e-15)


# ---- shapes, arguments and documented corners -----------------------------------

T30 = "ACGTTGCAACGGATCCTAGGCATGCATTAC"
T40 = T30 + "GGCCAATTGC"


def test_shapes_and_corners():
    kernel = g.WeightedKernel(**SMALL)
    # One window still has three levels; sequences shorter than the window
    # have none unless right padding makes room.
    assert len(kernel.self_window_eval([T30], 30, 1)) == 1
    assert len(kernel.self_window_eval([T30, T30], 31, 1, (0, 1))) == 1
    with pytest.raises(ValueError, match="^%s$" % NO_WINDOWS):
        kernel.self_window_eval([T30], 31, 1)
    # Before finalisation the query fails, windows or not; self_window_eval
    # needs no finalisation and ignores stored references.
    kernel.add_sequence(T40)
    for window in (10, 31):
        with pytest.raises(RuntimeError, match="^%s$" % SLIDING_FAILED):
            kernel.sliding_query(T30, window, 5)
    before = kernel.self_window_eval([T30, T30[::-1]], 12, 6)
    kernel.finalize()
    assert kernel.self_window_eval([T30, T30[::-1]], 12, 6) == before
    assert kernel.sliding_query(T30, 31, 5) == []
    assert kernel.sliding_query(T30, 10, 1, (INT_MIN, INT_MIN)) == []
    empty = g.WeightedKernel(**SMALL)
    empty.finalize()
    assert empty.sliding_query(T30, 10, 5) == [[]] * 5


@pytest.mark.parametrize("method", ["self_window_eval", "sliding_query"])
def test_keywords_padding_forms_and_docstrings(method):
    kernel = finalized([T40, T40[::-1]], **SMALL)
    first = T40 if method == "sliding_query" else [T40, T40[::-1]]
    call = getattr(kernel, method)
    results = [call(first, 20, 10, p) for p in (3, (3, 3), [3, 3])]
    key = "seq" if method == "sliding_query" else "seqs"
    results.append(call(**{key: first, "window": 20, "shift": 10, "padding": (3, 3)}))
    assert all(r == results[0] for r in results) and len(results[0]) == 3
    assert call(first, 20, 10) == call(first, 20, 10, None) == call(first, 20, 10, (0, 0))
    doc = {
        "self_window_eval": "window_kernel(seqs, window, shift, padding=0) -> 3D list.",
        "sliding_query": "sliding_query(seq, window, shift, padding=0) -> list[list[float]].",
    }[method]
    assert getattr(g.WeightedKernel, method).__doc__ == doc


@pytest.mark.parametrize(
    "ref_length, ok",
    [(30, True), (29, False), (24, False), (45, True)],
)
def test_stored_references_must_reach_the_last_window(ref_length, ok):
    # Windows of 10 every 5 with right padding 5: the last keeps bases 25..29.
    ref_text = (T40 + T30)[:ref_length]
    kernel = finalized([T30, ref_text], **SMALL)
    if ok:
        rows = kernel.sliding_query(T30, 10, 5, (0, 5))
        assert len(rows) == 6 and all(row[0] == pytest.approx(1.0, rel=1e-12) for row in rows)
    else:
        with pytest.raises(RuntimeError, match="^%s$" % SLIDING_FAILED):
            kernel.sliding_query(T30, 10, 5, (0, 5))
        # A query whose windows end early enough is still answered.
        assert len(kernel.sliding_query(T30[:20], 10, 5)) == 3


# ---- errors, in the order they arise, and reference counts -----------------------


def other_sequence():
    return g.Sequence(g.WeightedKernel(L=6, k=3, d=2), T30)


SELF_ERRORS = [
    (([T30], 2**31, 1), OverflowError, None),
    (([T30], 10), TypeError, None),
    (([T30], 10.0, 1), TypeError, None),
    (([7], 10, 0, 2.5), TypeError, "padding must be an int or a (left, right) tuple"),
    (([7], 10, 0, [1]), ValueError, "padding tuple/list must have 2 elements (left, right)"),
    (([7], 10, 0, (1, "2")), TypeError, None),
    ((T30, 10, 0), TypeError, "must be a list or tuple of strings or Sequence objects"),
    (([], 10, 0), ValueError, "sequence list is empty"),
    (([T30, 7], 10, 0), TypeError, "elements must be str or Sequence"),
    (([T30, "ACGTN" * 6], 10, 0), ValueError, NOT_ENCODABLE),
    (([T30, other_sequence], 10, 0), ValueError, OTHER_PARAMETERS),
    (([T30], 10, 0), RuntimeError, WINDOW_FAILED),
    (([T30], 40, -1, (6, 0)), RuntimeError, WINDOW_FAILED),
    (([T30], 31, 1), ValueError, NO_WINDOWS),
    (([T30], 4, 1), ValueError, NO_WINDOWS),
    (([T30], 10, 1, (6, 0)), ValueError, NO_WINDOWS),
    (([T30], 10, 1, (-25, 0)), ValueError, NO_WINDOWS),
    (([T30], INT_MAX, 1), ValueError, NO_WINDOWS),
    (([T30], INT_MAX, INT_MAX, (INT_MAX, INT_MAX)), ValueError, NO_WINDOWS),
    (([T30, T40], 10, 5), RuntimeError, WINDOW_FAILED),
    (([T40, T30], 10, 5), RuntimeError, WINDOW_FAILED),
]

SLIDING_ERRORS = [
    ((T30, 10, INT_MIN - 1), OverflowError, None),
    ((T30, 10), TypeError, None),
    ((42, 10, 0, "3"), TypeError, "padding must be an int or a (left, right) tuple"),
    ((42, 10, 0, (1, 2, 3)), ValueError, "padding tuple/list must have 2 elements (left, right)"),
    ((42, 10, 0), TypeError, "expected a Sequence or a string"),
    (([T30], 10, 0), TypeError, "expected a Sequence or a string"),
    (("ACGTN" * 6, 10, 0), ValueError, NOT_ENCODABLE),
    (("ACG", 10, 0), ValueError, NOT_ENCODABLE),
    ((other_sequence, 10, 0), ValueError, OTHER_PARAMETERS),
    ((T30, 10, 0), RuntimeError, SLIDING_FAILED),
    ((T30, INT_MAX, -5, (INT_MIN, INT_MAX)), RuntimeError, SLIDING_FAILED),
    ((T30, 4, 1), RuntimeError, SLIDING_FAILED),
    ((T30, 10, 1, (6, 0)), RuntimeError, SLIDING_FAILED),
    ((T30, 10, 1, (0, 6)), RuntimeError, SLIDING_FAILED),
    ((T30, INT_MAX, INT_MAX, (INT_MAX, INT_MAX)), RuntimeError, SLIDING_FAILED),
    ((T40, 10, 5), RuntimeError, SLIDING_FAILED),
]

ERROR_CASES = [pytest.param("self_window_eval", *c, id="self-%d" % i) for i, c in enumerate(SELF_ERRORS)] + [
    pytest.param("sliding_query", *c, id="sliding-%d" % i) for i, c in enumerate(SLIDING_ERRORS)
]


def materialise(args):
    """Arguments with factories called and lists copied, so that each run owns them."""
    def one(a):
        if callable(a):
            return a()
        return [one(x) for x in a] if isinstance(a, list) else a

    return tuple(one(a) for a in args)


def watched_objects(kernel, args):
    objs = [kernel] + [a for a in args if not isinstance(a, int)]
    return objs + [x for a in args if isinstance(a, (list, tuple)) for x in a if not isinstance(x, int)]


@pytest.mark.parametrize("method, args, exc, message", ERROR_CASES)
def test_errors_and_refcounts(method, args, exc, message):
    kernel = finalized([T30, T30[::-1]], **SMALL)
    args = materialise(args)
    watched = watched_objects(kernel, args)
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
    [("self_window_eval", ([T30], 10, 5)), ("sliding_query", (T30, 10, 5)), ("sliding_query", (42, 0, 0, "bad"))],
)
def test_uninitialised_kernel_raises(method, args):
    with pytest.raises(RuntimeError) as err:
        getattr(g.WeightedKernel.__new__(g.WeightedKernel), method)(*args)
    assert str(err.value) == NOT_INITIALIZED


def test_success_leaves_refcounts_unchanged(dna):
    refs = [dna(40) for _ in range(3)]
    kernel = finalized(refs, **SMALL)
    seq = g.Sequence(kernel, refs[1])
    text = "".join(refs[2])
    seqs = [text, seq, refs[0]]
    padding = (2, 3)
    watched = [kernel, seq, text, seqs, padding]
    before = [sys.getrefcount(a) for a in watched]
    for _ in range(2):
        kernel.sliding_query(seq, 15, 5, padding)
        kernel.sliding_query(text, 15, 5, padding)
        kernel.self_window_eval(seqs, 15, 5, padding)
    assert [sys.getrefcount(a) for a in watched] == before


# ---- results too large to hold ---------------------------------------------------

# 1,000,001 windows: the most an enumeration visits.
CAP = (3_000_000, 1, 2_999_990)


@pytest.mark.parametrize("n", [1_420_000, 3_200_000], ids=["bytes-overflow", "count-overflow"])
def test_impossible_window_matrices_are_memory_error(n, dna):
    kernel = g.WeightedKernel(L=10, k=6, d=3)
    seq = g.Sequence(kernel, dna(2047))
    many = [seq] * n
    count = sys.getrefcount(seq)
    with pytest.raises(MemoryError):
        kernel.self_window_eval(many, *CAP)
    assert sys.getrefcount(seq) == count


def test_huge_sliding_query_fails_cleanly(dna):
    # 1,000,001 rows of 10,000 references is 80 GB. Where the allocator
    # grants it anyway, the references (one L-mer each) end long before the
    # last window and the core refuses them before writing anything.
    kernel = finalized([dna(10) for _ in range(10_000)], L=10, k=6, d=3)
    with pytest.raises((MemoryError, RuntimeError)) as err:
        kernel.sliding_query(dna(2047), *CAP)
    assert type(err.value) is MemoryError or str(err.value) == SLIDING_FAILED


@pytest.mark.parametrize("method", ["self_window_eval", "sliding_query"])
def test_failing_allocations_raise_memory_error_and_leak_nothing(method, dna):
    """Every Python allocation of the call is failed once in turn: the call
    either returns the right values or raises MemoryError, and the
    arguments' reference counts come back unchanged."""
    refs = [dna(30) for _ in range(4)]
    kernel = finalized(refs, L=4, k=2, d=1, pos_kernel=2, weight_sigma=3.0)
    seqs = [refs[0], g.Sequence(kernel, refs[1]), dna(30)]
    args = (seqs[1] if method == "sliding_query" else seqs, 12, 6, (2, 2))
    call = getattr(kernel, method)
    expected = call(*args)
    assert_each_allocation_failure_is_clean(lambda: call(*args), expected, seqs + [seqs], 300)
