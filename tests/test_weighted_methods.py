"""WeightedKernel.self_eval and cross_eval: centres from every offsets form,
values against the brute-force weighted kernel, failures, and the safety of
arguments whose conversion runs Python code."""

import gc
import random
import sys
import tracemalloc
from fractions import Fraction

import pytest

from reference_weighted import POS_KINDS, POS_TRIANGULAR, ReferenceWeightedKernel
from seqgen import random_dna
from test_weighted_core import assert_matches_reference, related_family
from vellum import _gkmkern as g

UNKNOWN_KIND = 7
OFFSETS_TYPE_ERROR = "offsets must be None, int, float, slice, or list/tuple of int/float"
OTHER_PARAMETERS = "Sequence was encoded for a kernel with different parameters (L, k, d, weight_scheme, use_rc)"
NOT_ENCODABLE = "could not create sequence (too short for L, or contains non-ACGT characters)"
SELF_FAILED = "gkm_weighted_kernel_eval_self failed"
CROSS_FAILED = "gkm_weighted_kernel_eval_cross failed"


def kernel_pair(L, k, d, scheme=0, use_rc=0, pos_kernel=0, gamma=1.0, sigma=50.0, peak=50.0):
    """The binding's kernel and its brute-force counterpart."""
    kernel = g.WeightedKernel(
        L=L, k=k, d=d, weight_scheme=scheme, use_rc=use_rc, pos_kernel=pos_kernel,
        weight_gamma=gamma, weight_sigma=sigma, weight_peak=peak,
    )
    return kernel, ReferenceWeightedKernel(L, k, d, scheme, use_rc, pos_kernel, gamma, sigma, peak)


def as_3d(result, n_centers):
    """The result with its centre level, which the binding drops for one centre."""
    return [result] if n_centers == 1 else result


def assert_shape(result, n_centers, n_rows, n_cols):
    blocks = as_3d(result, n_centers)
    assert len(blocks) == n_centers
    assert all(len(block) == n_rows and all(len(row) == n_cols for row in block) for block in blocks)
    if n_centers == 1:
        assert all(isinstance(v, float) for row in result for v in row)


# ---- values against the brute force ------------------------------------------


def brute_force_configs():
    for kind in POS_KINDS + (UNKNOWN_KIND,):
        for use_rc in (0, 1):
            yield dict(L=5, k=3, d=2, use_rc=use_rc, pos_kernel=kind, gamma=0.3, sigma=6.0, peak=2.0)
    for L in range(2, 13):
        k = max(1, L - 3)
        yield dict(L=L, k=k, d=min(2, L - k), use_rc=(L + 1) % 2, pos_kernel=L % 5, gamma=0.2, sigma=9.0)
    yield dict(L=6, k=3, d=3, scheme=1, use_rc=1, pos_kernel=2, sigma=5.0)
    yield dict(L=6, k=3, d=3, scheme=2, pos_kernel=4, sigma=5.0)


@pytest.mark.parametrize("kw", list(brute_force_configs()), ids=repr)
def test_self_and_cross_match_brute_force(rng, kw):
    kernel, ref = kernel_pair(**kw)
    L, length = kw["L"], kw["L"] + 15
    midpoint = (length - 1) / 2
    seqs = related_family(rng, 4, length)
    queries = related_family(rng, 2, length)
    # On an L-mer midpoint, between two, at the middle, and beyond either end.
    centers = [(L - 1) / 2 + 3, (L - 1) / 2 + 5.5, midpoint, length + 4.25, -6.0]
    offsets = [c - midpoint for c in centers]

    got = kernel.self_eval(seqs, offsets)
    assert_shape(got, 5, 4, 4)
    assert_matches_reference(got, ref.eval_self(seqs, centers))

    got = kernel.cross_eval(queries, seqs, offsets=tuple(offsets))
    assert_shape(got, 5, 2, 4)
    assert_matches_reference(got, ref.eval_cross(queries, seqs, centers))

    got = kernel.cross_eval(queries=seqs[:1], refs=queries)
    assert_shape(got, 1, 1, 2)
    assert_matches_reference([got], ref.eval_cross(seqs[:1], queries, [midpoint]))


@pytest.mark.parametrize("kind", [0, 1])
def test_compact_profile_excluding_whole_sequences(rng, kind):
    kernel, ref = kernel_pair(L=6, k=4, d=2, pos_kernel=kind, sigma=3.0)
    seqs = related_family(rng, 3, 20)
    # Midpoint 9.5; L-mer midpoints 2.5 .. 16.5; centres 19.5 and -3.0 are sigma or more from all.
    offsets = [10.0, -1.5, -12.5]
    got = kernel.self_eval(seqs, offsets)
    assert got[0] == got[2] == [[0.0] * 3] * 3
    assert_matches_reference(got, ref.eval_self(seqs, [19.5, 8.0, -3.0]))
    got = kernel.cross_eval(seqs[:2], seqs, offsets)
    assert got[0] == got[2] == [[0.0] * 3] * 2


@pytest.mark.parametrize("use_rc", [0, 1])
def test_sequence_against_itself_scores_one_where_its_norm_is_positive(rng, use_rc):
    kernel, ref = kernel_pair(L=5, k=3, d=2, use_rc=use_rc, pos_kernel=POS_TRIANGULAR, sigma=1.5)
    seqs = [random_dna(rng, 14) for _ in range(3)]
    # Every L-mer midpoint (2 .. 11), points between them, and points past the ends.
    offsets = [x * 0.5 - 6.5 for x in range(-4, 32)]
    got = kernel.self_eval(seqs, offsets)
    diag_one = 0
    for block, offset in zip(got, offsets):
        norms = [ref.norm(s, 6.5 + offset)[0] for s in seqs]
        for i, norm in enumerate(norms):
            if norm > 0:
                assert block[i][i] == pytest.approx(1.0, rel=1e-12)
                diag_one += 1
            else:
                assert block[i] == [0.0] * 3 and [row[i] for row in block] == [0.0] * 3
    assert 0 < diag_one < 3 * len(offsets)


@pytest.mark.parametrize("kind", POS_KINDS + (UNKNOWN_KIND,))
def test_peak_does_not_change_normalised_values(rng, kind):
    seqs = related_family(rng, 3, 18)
    results = [
        kernel_pair(L=5, k=3, d=2, use_rc=1, pos_kernel=kind, gamma=0.4, sigma=4.0, peak=peak)[0].self_eval(
            seqs, slice(None)
        )
        for peak in (1.0, 50.0, 1e-3)
    ]
    flat = [[v for block in r for row in block for v in row] for r in results]
    assert flat[1] == pytest.approx(flat[0], rel=1e-12, abs=1e-15)
    assert flat[2] == pytest.approx(flat[0], rel=1e-12, abs=1e-15)


def repeats(rng, n, length):
    """Texts of a short unit repeated, a few bases changed: one L-mer recurs
    at many positions (and on both strands) of one text."""
    texts = []
    for _ in range(n):
        chars = list((random_dna(rng, rng.choice([1, 2, 3])) * length)[:length])
        for _ in range(6):
            chars[rng.randrange(length)] = rng.choice("ACGT")
        texts.append("".join(chars))
    return texts


def bits(nested):
    return [[[x.hex() for x in row] for row in block] for block in nested]


@pytest.mark.parametrize("use_rc", [0, 1])
def test_moving_the_references_changes_no_bit_of_their_columns(use_rc):
    # A reference's occurrences of one L-mer are summed in the order they
    # were indexed (strand, then position), whatever references come before
    # it; an index that lost that order among equal L-mers would sum them in
    # another order once the references are listed otherwise.
    rng = random.Random(3)
    refs = repeats(rng, 40, 60)
    queries = refs[:3] + [random_dna(rng, 60) for _ in range(3)]
    kernel = g.WeightedKernel(L=5, k=3, d=2, use_rc=use_rc, pos_kernel=g.POS_LAPLACIAN, weight_gamma=0.7,
                              weight_sigma=3.0)
    offsets = [-20.0, -3.5, 0.0, 11.0]
    forward = kernel.cross_eval(queries, refs, offsets)
    backward = kernel.cross_eval(queries, refs[::-1], offsets)
    assert bits(forward) == bits([[row[::-1] for row in block] for block in backward])


def test_str_sequence_list_and_tuple_arguments_agree(rng):
    params = dict(L=6, k=4, d=2, use_rc=1, pos_kernel=2, weight_sigma=3.0)
    kernel = g.WeightedKernel(**params)
    texts = related_family(rng, 3, 16)
    as_seq = [g.Sequence(kernel, t) for t in texts]
    from_other = tuple(g.Sequence(g.WeightedKernel(**params), t) for t in texts)
    offsets = [-2, 0.5, 3]
    expected = kernel.self_eval(texts, offsets)
    assert kernel.self_eval(as_seq, offsets) == expected
    assert kernel.self_eval(from_other, tuple(offsets)) == expected
    assert kernel.cross_eval(texts[:1], as_seq, offsets) == [block[:1] for block in expected]


# ---- centres ------------------------------------------------------------------

LENGTH, L = 11, 5  # midpoint 5.0; L-mer starts 0 .. 6, their midpoints 2.0 .. 8.0


class IntLike(int):
    pass


class FloatLike(float):
    pass


class ListLike(list):
    pass


class TupleLike(tuple):
    pass


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "offsets, centers",
    [
        (None, [5.0]),
        (0, [5.0]),
        (0.0, [5.0]),
        (False, [5.0]),
        ([0], [5.0]),
        (True, [6.0]),
        (2, [7.0]),
        (-1.5, [3.5]),
        (IntLike(-3), [2.0]),
        (FloatLike(0.25), [5.25]),
        ([-5.0], [0.0]),
        ([0, 0], [5.0, 5.0]),
        ((1, -2.5, 7, True), [6.0, 2.5, 12.0, 6.0]),
        (ListLike([1.5, -1]), [6.5, 4.0]),
        (TupleLike((2,)), [7.0]),
        ([Fraction(1, 2), HasFloat(-4.0), IntLike(1), FloatLike(2.5)], [5.5, 1.0, 6.0, 7.5]),
        (slice(None), [2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]),
        (slice(-1, None), [8.0]),
        (slice(-3, None), [6.0, 7.0, 8.0]),
        (slice(1, -1, 2), [3.0, 5.0, 7.0]),
        (slice(None, None, -1), [8.0, 7.0, 6.0, 5.0, 4.0, 3.0, 2.0]),
        (slice(None, None, -3), [8.0, 5.0, 2.0]),
        (slice(5, 1, -2), [7.0, 5.0]),
        (slice(-100, 2), [2.0, 3.0]),
        (slice(2, 100, 3), [4.0, 7.0]),
        (slice(IntLike(6), 7), [8.0]),
    ],
    ids=repr,
)
def test_offsets_resolve_to_centres(rng, offsets, centers):
    kernel, ref = kernel_pair(L=L, k=3, d=2, use_rc=1, pos_kernel=2, sigma=1.2)
    seqs = related_family(rng, 3, LENGTH)
    got = kernel.self_eval(seqs, offsets)
    assert_shape(got, len(centers), 3, 3)
    assert_matches_reference(as_3d(got, len(centers)), ref.eval_self(seqs, centers))
    got = kernel.cross_eval(seqs[:2], seqs, offsets)
    assert_shape(got, len(centers), 2, 3)
    assert_matches_reference(as_3d(got, len(centers)), ref.eval_cross(seqs[:2], seqs, centers))


def test_zero_offsets_equal_the_middle(rng):
    kernel = g.WeightedKernel(L=L, k=3, d=2, pos_kernel=1, weight_sigma=3.0)
    seqs = related_family(rng, 3, LENGTH)
    middle = kernel.self_eval(seqs)
    assert len(middle) == 3 and middle[0][1] != middle[0][2]
    for offsets in (None, 0, 0.0, False, [0], (0.0,), -0.0):
        assert kernel.self_eval(seqs, offsets) == middle
    assert kernel.self_eval(seqs, [0, 0]) == [middle, middle]
    assert kernel.self_eval(seqs, True) != middle


@pytest.mark.parametrize("offsets", [slice(5, 5), slice(7, None), slice(3, 1), slice(-1, -2), slice(0, 9, -1)])
def test_empty_selection_fails_in_the_core(offsets):
    kernel = g.WeightedKernel(L=L, k=3, d=2)
    seqs = ["ACGTACGTACG", "TTGCAACGTAC"]
    with pytest.raises(RuntimeError) as err:
        kernel.self_eval(seqs, offsets)
    assert str(err.value) == SELF_FAILED
    with pytest.raises(RuntimeError) as err:
        kernel.cross_eval(seqs, seqs, offsets)
    assert str(err.value) == CROSS_FAILED


def test_centres_follow_the_first_query():
    kernel, ref = kernel_pair(L=4, k=2, d=1, pos_kernel=2, sigma=1.0)
    queries, refs = ["ACGTTGCAAGT"], ["ACGTAGCATTT", "CCGTTGCAAGT"]
    got = kernel.cross_eval(queries, refs, slice(-1, None))
    assert_matches_reference([got], ref.eval_cross(queries, refs, [8.5]))


# ---- failures -----------------------------------------------------------------

SEQS = ["ACGTACGTACG", "TTGCAACGTAC"]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda k: k.self_eval(SEQS, "1"), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.self_eval(SEQS, {0: 1}), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.self_eval(SEQS, b"\x00"), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.self_eval(SEQS, 1j), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.self_eval(SEQS, range(3)), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.self_eval(SEQS, iter([1.0])), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.self_eval(SEQS, HasFloat(1.0)), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.cross_eval(SEQS, SEQS, {1.0}), TypeError, OFFSETS_TYPE_ERROR),
        (lambda k: k.self_eval(SEQS, []), ValueError, "offsets list is empty"),
        (lambda k: k.self_eval(SEQS, ()), ValueError, "offsets list is empty"),
        (lambda k: k.cross_eval(SEQS, SEQS, ListLike()), ValueError, "offsets list is empty"),
        (lambda k: k.self_eval(SEQS, [1.0, "2"]), TypeError, "must be real number, not str"),
        (lambda k: k.self_eval(SEQS, (None,)), TypeError, "must be real number, not NoneType"),
        (lambda k: k.cross_eval(SEQS, SEQS, [0, [1]]), TypeError, "must be real number, not list"),
        (lambda k: k.self_eval(SEQS, 10**400), OverflowError, "int too large to convert to float"),
        (lambda k: k.self_eval(SEQS, [1, 10**400]), OverflowError, "int too large to convert to float"),
        (lambda k: k.self_eval(SEQS, slice(None, None, 0)), ValueError, "slice step cannot be zero"),
        (lambda k: k.self_eval(SEQS, slice("a", None)), TypeError,
         "slice indices must be integers or None or have an __index__ method"),
        (lambda k: k.self_eval(SEQS, [HasFloat("x")]), TypeError, "HasFloat.__float__ returned non-float (type str)"),
        (lambda k: k.self_eval([SEQS[0], SEQS[1] + "A"]), RuntimeError, SELF_FAILED),
        (lambda k: k.self_eval([SEQS[0], SEQS[1][:-1]], [0, 1]), RuntimeError, SELF_FAILED),
        (lambda k: k.cross_eval(SEQS, [SEQS[0] + "C"]), RuntimeError, CROSS_FAILED),
        (lambda k: k.cross_eval([SEQS[0], SEQS[1] + "C"], SEQS), RuntimeError, CROSS_FAILED),
        (lambda k: k.cross_eval(SEQS, [SEQS[0], SEQS[1][1:]], slice(None)), RuntimeError, CROSS_FAILED),
        (lambda k: k.self_eval([]), ValueError, "sequence list is empty"),
        (lambda k: k.self_eval([], "bad offsets"), ValueError, "sequence list is empty"),
        (lambda k: k.self_eval("ACGTACGTACG"), TypeError, "must be a list or tuple of strings or Sequence objects"),
        (lambda k: k.self_eval([SEQS[0], 5]), TypeError, "elements must be str or Sequence"),
        (lambda k: k.self_eval(["ACGNACGTACG"], "bad offsets"), ValueError, NOT_ENCODABLE),
        (lambda k: k.cross_eval(["ACG"], [], "bad offsets"), ValueError, NOT_ENCODABLE),
        (lambda k: k.cross_eval(SEQS, (), "bad offsets"), ValueError, "sequence list is empty"),
        (lambda k: k.cross_eval(SEQS, [SEQS[0], None]), TypeError, "elements must be str or Sequence"),
        (lambda k: k.self_eval([g.Sequence(g.WeightedKernel(L=5, k=3, d=1), SEQS[0])]), ValueError,
         OTHER_PARAMETERS),
        (lambda k: k.cross_eval(SEQS, [g.Sequence(g.Kernel(L=5, k=3, d=2, use_rc=1), SEQS[0])]), ValueError,
         OTHER_PARAMETERS),
        (lambda k: k.self_eval([g.Sequence.__new__(g.Sequence)]), RuntimeError, "Sequence object is not initialized"),
        (lambda k: g.WeightedKernel.__new__(g.WeightedKernel).self_eval(SEQS), RuntimeError,
         "WeightedKernel object is not initialized"),
        (lambda k: g.WeightedKernel.__new__(g.WeightedKernel).cross_eval(SEQS, SEQS, 0), RuntimeError,
         "WeightedKernel object is not initialized"),
    ],
)
def test_failures(call, exc, message):
    kernel = g.WeightedKernel(L=5, k=3, d=2)
    with pytest.raises(exc) as err:
        call(kernel)
    assert type(err.value) is exc
    assert str(err.value) == message


@pytest.mark.parametrize(
    "method, args, kwargs",
    [
        ("self_eval", (), {}),
        ("self_eval", (SEQS, None, None), {}),
        ("self_eval", (SEQS,), {"offset": 0}),
        ("self_eval", (), {"offsets": 0}),
        ("self_eval", (SEQS,), {"seqs": SEQS}),
        ("cross_eval", (SEQS,), {}),
        ("cross_eval", (SEQS, SEQS, 0, 0), {}),
        ("cross_eval", (SEQS,), {"ref": SEQS}),
        ("cross_eval", (), {"refs": SEQS, "offsets": 0}),
    ],
)
def test_argument_parsing(method, args, kwargs):
    with pytest.raises(TypeError):
        getattr(g.WeightedKernel(L=5, k=3, d=2), method)(*args, **kwargs)


def test_keywords_and_docstrings():
    kernel = g.WeightedKernel(L=5, k=3, d=2)
    positional = kernel.cross_eval(SEQS, SEQS[::-1], [1, 2])
    assert kernel.cross_eval(refs=SEQS[::-1], offsets=[1, 2], queries=SEQS) == positional
    assert kernel.self_eval(offsets=-1, seqs=SEQS) == kernel.self_eval(SEQS, -1)
    assert g.WeightedKernel.self_eval.__doc__ == "self_eval(seqs, offsets=None) -> 2D or 3D list."
    assert g.WeightedKernel.cross_eval.__doc__ == "cross_eval(queries, refs, offsets=None) -> 2D or 3D list."


def test_methods_need_no_finalisation_and_ignore_stored_references():
    kernel = g.WeightedKernel(L=5, k=3, d=2)
    before = kernel.self_eval(SEQS, [0, 1])
    kernel.add_sequence("GGGGGGGGGGGGGGG")
    kernel.finalize()
    assert kernel.self_eval(SEQS, [0, 1]) == before
    assert kernel.num_sequences() == 1


# ---- Python code run by the conversions ---------------------------------------


class Meddler:
    """Converts to a float after trying to re-initialise the kernel and every
    Sequence it can reach and refilling the given lists with other objects."""

    def __init__(self, value, kernel, victims):
        self.value, self.kernel, self.victims = value, kernel, victims

    def __float__(self):
        with pytest.raises(RuntimeError, match="already initialized"):
            self.kernel.__init__(L=3, k=2, d=1)
        for victim in self.victims:
            for item in victim:
                if isinstance(item, g.Sequence):
                    with pytest.raises(RuntimeError, match="already initialized"):
                        item.__init__(self.kernel, "ACGTACGTACG")
            victim[:] = [object()] * 3
        gc.collect()
        return self.value


class LyingList(list):
    def __len__(self):
        return 10**6

    def __iter__(self):
        return iter([99.0] * 10)

    def __getitem__(self, i):
        return 99.0


def test_conversion_code_cannot_pull_data_away(rng):
    kernel = g.WeightedKernel(L=L, k=3, d=2, pos_kernel=2, weight_sigma=2.0)
    texts = related_family(rng, 3, LENGTH)
    expected = kernel.cross_eval(texts, texts[:2], [-1.0, 2.0, 0.5])

    queries = [g.Sequence(kernel, t) for t in texts]
    refs = [g.Sequence(kernel, t) for t in texts[:2]]
    offsets = [-1.0, None, 0.5]
    offsets[1] = Meddler(2.0, kernel, [offsets, queries, refs])
    assert kernel.cross_eval(queries, refs, offsets) == expected
    assert len(offsets) == 3 and offsets[0] is not None

    seqs = [g.Sequence(kernel, t) for t in texts]
    offsets = (Meddler(-1.0, kernel, [seqs]), 2.0, 0.5)
    assert kernel.self_eval(seqs, offsets) == kernel.self_eval(texts, [-1.0, 2.0, 0.5])


def test_list_subclass_is_read_from_its_storage(rng):
    kernel = g.WeightedKernel(L=L, k=3, d=2, pos_kernel=2, weight_sigma=2.0)
    seqs = related_family(rng, 2, LENGTH)
    assert kernel.self_eval(seqs, LyingList([1.0, -2.0])) == kernel.self_eval(seqs, [1.0, -2.0])
    with pytest.raises(ValueError, match="^offsets list is empty$"):
        kernel.self_eval(seqs, LyingList())


REFCOUNT_TEXTS = ["ACGTACGTTGC", "TTGCAACGTAC"]
REFCOUNT_ITEM = HasFloat(1.5)
REFCOUNT_INDEX = IntLike(-2)


@pytest.mark.parametrize(
    "offsets, refs, exc",
    [
        ([REFCOUNT_ITEM, 2.0, Fraction(1, 3)], None, None),
        (slice(REFCOUNT_INDEX, None), REFCOUNT_TEXTS, None),
        (REFCOUNT_INDEX, REFCOUNT_TEXTS[:1], None),
        ((REFCOUNT_ITEM, "x"), None, TypeError),
        ([REFCOUNT_ITEM, "x"], REFCOUNT_TEXTS, TypeError),
        (slice(REFCOUNT_INDEX, REFCOUNT_INDEX), None, RuntimeError),
        ([REFCOUNT_ITEM], [REFCOUNT_TEXTS[0] + "A"], RuntimeError),
        ([REFCOUNT_ITEM], [REFCOUNT_TEXTS[0], 3], TypeError),
        ({REFCOUNT_ITEM}, None, TypeError),
    ],
)
def test_argument_references_are_unchanged(offsets, refs, exc):
    kernel = g.WeightedKernel(L=L, k=3, d=2, use_rc=1)
    seqs = [g.Sequence(kernel, REFCOUNT_TEXTS[0]), REFCOUNT_TEXTS[1]]
    tracked = [kernel, seqs, *seqs, offsets, REFCOUNT_ITEM, REFCOUNT_INDEX] + ([refs, *refs] if refs else [])

    def call():
        if refs is None:
            return kernel.self_eval(seqs, offsets)
        return kernel.cross_eval(seqs, refs, offsets=offsets)

    for attempt in range(2):
        before = [sys.getrefcount(x) for x in tracked]
        if exc is None:
            call()
        else:
            with pytest.raises(exc):
                call()
    assert [sys.getrefcount(x) for x in tracked] == before


def test_failed_centre_conversion_releases_the_centres():
    kernel = g.WeightedKernel(L=L, k=3, d=2)
    offsets = [0.5] * 100_000 + ["x"]

    def fail():
        with pytest.raises(TypeError):
            kernel.self_eval(SEQS, offsets)

    fail()
    tracemalloc.start()
    try:
        fail()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(20):
            fail()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 100_000


def test_a_million_offsets_on_two_short_sequences(rng):
    kernel, ref = kernel_pair(L=4, k=2, d=1, use_rc=1, pos_kernel=POS_TRIANGULAR, sigma=2.5)
    seqs = related_family(rng, 2, 10)
    offsets = [rng.uniform(-10.0, 10.0) for _ in range(1_000_000)]
    try:
        got = kernel.self_eval(seqs, offsets)
    except MemoryError:
        return
    assert len(got) == len(offsets)
    picks = sorted(rng.sample(range(len(offsets)), 20))
    expected = ref.eval_self(seqs, [4.5 + offsets[c] for c in picks])
    assert_matches_reference([got[c] for c in picks], expected)
