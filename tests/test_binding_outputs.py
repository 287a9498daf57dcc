"""Results into caller-owned arrays (out=), the Gram of the stored references,
and sequences whose non-ACGT bases are left out (skip_invalid)."""

import random

import numpy as np
import pytest

import reference as ref
from seqgen import random_dna
from vellum import _gkmkern as g

PARAMS = dict(L=6, k=3, d=2)


def texts(n, length, seed=11):
    rng = random.Random(seed)
    return [random_dna(rng, length) for _ in range(n)]


def finalized(refs, cls=g.Kernel, **params):
    kernel = cls(**{**PARAMS, **params})
    for text in refs:
        kernel.add_sequence(text)
    kernel.finalize()
    return kernel


def as_bits(values):
    return [float(x).hex() for x in np.asarray(values, dtype=float).ravel()]


REFS = texts(5, 40)
QUERIES = texts(3, 40, seed=12)


def kernel_calls():
    """(label, receiver factory, method name, args, kwargs) of every evaluation that takes out."""
    wk = dict(pos_kernel=g.POS_GAUSSIAN, weight_sigma=6.0)
    return [
        ("eval_batch", lambda: finalized(REFS), "eval_batch", (QUERIES,), {}),
        ("gram", lambda: finalized(REFS, use_rc=1), "gram", (), {}),
        ("sliding_query", lambda: finalized(REFS), "sliding_query", (QUERIES[0], 12, 5, (2, 3)), {}),
        ("self_window_eval", lambda: g.Kernel(**PARAMS), "self_window_eval", (REFS, 12, 7), {}),
        ("cross_window_eval", lambda: g.Kernel(**PARAMS), "cross_window_eval", (QUERIES, REFS, 10, 6, 1), {}),
        ("self_eval one centre", lambda: g.WeightedKernel(**PARAMS, **wk), "self_eval", (REFS,), {}),
        ("self_eval centres", lambda: g.WeightedKernel(**PARAMS, **wk), "self_eval", (REFS, [-3.0, 0.0, 4.5]), {}),
        ("cross_eval", lambda: g.WeightedKernel(**PARAMS, **wk), "cross_eval", (QUERIES, REFS, [1.0, 2.0]), {}),
        ("weighted self_window_eval", lambda: g.WeightedKernel(**PARAMS, **wk), "self_window_eval",
         (REFS, 14, 9), {}),
        ("weighted sliding_query", lambda: finalized(REFS, g.WeightedKernel, **wk), "sliding_query",
         (QUERIES[1], 15, 4), {}),
    ]


CALLS = kernel_calls()
CALL_IDS = [c[0] for c in CALLS]


@pytest.mark.parametrize("label, make, method, args, kwargs", CALLS, ids=CALL_IDS)
def test_out_receives_the_bits_of_the_list_result(label, make, method, args, kwargs):
    expected = np.array(getattr(make(), method)(*args, **kwargs))
    out = np.full(expected.shape, np.nan)
    returned = getattr(make(), method)(*args, out=out, **kwargs)
    assert returned is out
    assert as_bits(out) == as_bits(expected)


def bad_outs(shape):
    wrong_shape = np.full(shape[:-1] + (shape[-1] + 1,), np.nan)
    read_only = np.full(shape, np.nan)
    read_only.flags.writeable = False
    strided = np.full(shape[:-1] + (2 * shape[-1],), np.nan)[..., ::2]
    return [
        (wrong_shape, ValueError, "out has shape"),
        (np.full(shape[1:], np.nan), ValueError, "out has shape"),
        (np.full(shape, np.nan, dtype=np.float32), TypeError, "out must hold float64 values, not format 'f'"),
        (read_only, ValueError, "out is read-only"),
        (strided, ValueError, "out must be C-contiguous"),
        ([0.0], TypeError, "out must be a writable float64 buffer such as a NumPy array, not list"),
    ]


@pytest.mark.parametrize("label, make, method, args, kwargs", CALLS, ids=CALL_IDS)
def test_a_bad_out_is_refused_before_anything_is_written(label, make, method, args, kwargs):
    shape = np.array(getattr(make(), method)(*args, **kwargs)).shape
    for out, error, message in bad_outs(shape):
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            getattr(make(), method)(*args, out=out, **kwargs)
        if isinstance(out, np.ndarray):
            assert np.isnan(out).all()


def test_out_shape_message_names_both_shapes():
    kernel = finalized(REFS)
    with pytest.raises(ValueError, match=r"^out has shape \(3, 4\), expected \(3, 5\)$"):
        kernel.eval_batch(QUERIES, out=np.zeros((3, 4)))


def test_out_is_keyword_only_and_queries_positional_only():
    kernel = finalized(REFS)
    with pytest.raises(TypeError):
        kernel.eval_batch(QUERIES, np.zeros((3, 5)))
    with pytest.raises(TypeError):
        kernel.eval_batch(queries=QUERIES)
    with pytest.raises(TypeError):
        kernel.gram(np.zeros((5, 5)))


@pytest.mark.parametrize("use_rc", [0, 1])
@pytest.mark.parametrize("scheme", [0, 1, 2])
def test_gram_equals_eval_batch_bitwise_and_is_symmetric(use_rc, scheme):
    refs = texts(9, 35, seed=use_rc * 7 + scheme) + ["ACGTACGTAC"]
    kernel = finalized(refs, use_rc=use_rc, weight_scheme=scheme, nthreads=2)
    gram = np.array(kernel.gram())
    assert as_bits(gram) == as_bits(kernel.eval_batch(refs))
    assert as_bits(gram) == as_bits(gram.T)


@pytest.mark.parametrize("n", [129, 194])
def test_gram_of_rows_that_do_not_divide_into_stages_writes_every_cell(n):
    # Two and three stages of unequal height: the rows after the last whole
    # stage are searched too, whatever out held before.
    refs = texts(n, 40, seed=n)
    kernel = finalized(refs, use_rc=1, nthreads=2)
    gram = kernel.gram(out=np.full((n, n), np.nan))
    assert as_bits(gram) == as_bits(kernel.eval_batch(refs))


@pytest.mark.parametrize("rows", [0, 1, 129, 130, 194, 256, 300])
def test_gram_rows_are_the_first_rows_of_the_gram_bitwise(rows):
    # 300 references: the first 256 rows already take several stages, whose
    # values are written to both cells only among the rows asked for; 129
    # and 194 rows do not divide evenly into their two and three stages.
    refs = texts(300, 40, seed=rows)
    kernel = finalized(refs, use_rc=1, nthreads=2)
    part = kernel.gram(rows=rows, out=np.full((rows, 300), -7.0))
    assert as_bits(part) == as_bits(np.array(kernel.gram())[:rows])
    assert as_bits(part) == as_bits(np.array(kernel.eval_batch(refs))[:rows])


@pytest.mark.parametrize(
    "first, rows",
    [(0, 300), (1, 5), (44, 256), (44, 129), (100, 194), (130, 170), (299, 1), (300, 0), (150, None)],
)
def test_gram_from_a_first_row_is_a_stripe_of_the_gram_bitwise(first, rows):
    # Several stages after the first row: each filters the index of the
    # references from its own first row on; 129 and 194 rows leave stages of
    # unequal height.
    refs = texts(300, 40, seed=first)
    kernel = finalized(refs, use_rc=1, nthreads=2)
    height = 300 - first if rows is None else rows
    part = kernel.gram(first=first, rows=rows, out=np.full((height, 300 - first), np.nan))
    assert as_bits(part) == as_bits(np.array(kernel.gram())[first : first + height, first:])
    if height:
        assert as_bits(part) == as_bits(np.array(kernel.eval_batch(refs[first : first + height]))[:, first:])


@pytest.mark.parametrize(
    "L, k, d, use_rc, n_refs, lengths, samples",
    [(6, 3, 2, 1, 3000, (6, 30), 25), (8, 4, 3, 0, 3000, (8, 30), 25), (8, 4, 3, 1, 4500, (300, 500), 4)],
    ids=["short", "short-forward", "index-beyond-cache"],
)
def test_queries_searched_together_against_thousands_of_references_match_brute_force(
    L, k, d, use_rc, n_refs, lengths, samples
):
    # So many references that one query's counts outgrow the cache-sized
    # budget: several queries still share each search, more of them when the
    # index itself (about 30 MB in the last case) outgrows a few megabytes.
    rng = random.Random(L * 10 + d + n_refs)
    refs = [random_dna(rng, rng.randint(*lengths)) for _ in range(n_refs)]
    kernel = finalized(refs, L=L, k=k, d=d, use_rc=use_rc, nthreads=2)
    queries = refs[:11] + texts(14, 40, seed=d)
    rows = np.array(kernel.eval_batch(queries))
    assert as_bits(rows) == as_bits([kernel.eval_batch([q])[0] for q in queries])
    assert as_bits(kernel.gram(rows=11, out=np.empty((11, n_refs)))) == as_bits(rows[:11])
    weights = [kernel.weight(m) for m in range(d + 1)]
    for i in (0, 10, 13, 24):
        for j in rng.sample(range(n_refs), samples) + [i]:
            want = ref.masked_value(queries[i], refs[j], weights, L, d, use_rc)
            assert rows[i, j] == want, (i, j)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(rows=-1), ValueError, r"^rows must be between 0 and 5 \(the references\); got -1$"),
        (dict(rows=6), ValueError, r"^rows must be between 0 and 5 \(the references\); got 6$"),
        (dict(rows=2.0), TypeError, r"^'float' object cannot be interpreted as an integer$"),
        (dict(rows=2, out=np.zeros((5, 5))), ValueError, r"^out has shape \(5, 5\), expected \(2, 5\)$"),
        (dict(first=-1), ValueError, r"^first must be between 0 and 5 \(the references\); got -1$"),
        (dict(first=6), ValueError, r"^first must be between 0 and 5 \(the references\); got 6$"),
        (dict(first=2, rows=4), ValueError, r"^rows must be between 0 and 3 \(the references from first on\); got 4$"),
        (dict(first=2, out=np.zeros((3, 5))), ValueError, r"^out has shape \(3, 5\), expected \(3, 3\)$"),
        (dict(first=2**63), OverflowError, r"^cannot fit 'int' into an index-sized integer$"),
    ],
)
def test_gram_rows_refused(kwargs, error, message):
    with pytest.raises(error, match=message):
        finalized(REFS).gram(**kwargs)


def test_gram_of_no_references_and_of_an_open_kernel():
    assert finalized([]).gram() == []
    with pytest.raises(RuntimeError, match=r"^kernel is not finalized; call finalize\(\) before gram\(\)$"):
        g.Kernel(**PARAMS).gram()


# ---- skip_invalid ---------------------------------------------------------------


DIRTY = ["ACGTNACGTTGCAACNNGTAGGCT", "nnacgtRYacgtTTGCAAcgtagg", "ACGTACGTACGTACGT-ACGTAC", "NNNNNNNNNNNN"]


@pytest.mark.parametrize("use_rc", [0, 1])
def test_skip_invalid_leaves_out_every_lmer_covering_a_non_acgt_base(use_rc):
    L, k, d = 5, 3, 2
    kernel = g.Kernel(L=L, k=k, d=d, use_rc=use_rc)
    for text in DIRTY:
        kernel.add_sequence(text, skip_invalid=True)
    kernel.finalize()
    weights = ref.weight_table(L, k, ref.WEIGHT_FULL)
    queries = [g.Sequence(kernel, text, skip_invalid=True) for text in DIRTY]
    rows = kernel.eval_batch(queries)
    for i, q in enumerate(DIRTY):
        nq = ref.norm_from_self_value(ref.reduce_profile(ref.masked_profile(q, q, L, d, use_rc), weights))
        assert queries[i].sqnorm() == pytest.approx(nq, rel=1e-12)
        for j, r in enumerate(DIRTY):
            assert rows[i][j] == pytest.approx(ref.masked_value(q, r, weights, L, d, use_rc), rel=1e-12, abs=1e-15)
    assert rows[3] == [0.0] * 4  # nothing of an all-N text is left


@pytest.mark.parametrize("L, k, d", [(12, 6, 3), (12, 4, 8), (12, 1, 11), (9, 3, 6)])
@pytest.mark.parametrize("use_rc", [0, 1])
def test_skip_invalid_self_norms_of_t_rich_texts_match_brute_force(L, k, d, use_rc):
    # A masked L-mer has no code of its own; against an L-mer rich in T its
    # bits differ in few bases, so a self-norm that tests four L-mers at a
    # time may flag it, and must still leave it out. Lengths leave tails of
    # every size after the groups of four.
    gen = random.Random(L * 100 + d)
    kernel = g.Kernel(L=L, k=k, d=d, use_rc=use_rc)
    weights = ref.weight_table(L, k, ref.WEIGHT_FULL)
    for length in range(L + 5, L + 13):
        text = "".join(gen.choice("TTTTTTACG") for _ in range(length))
        cut = gen.randrange(length)
        text = text[:cut] + "N" + text[cut + 1 :]
        want = ref.norm_from_self_value(ref.reduce_profile(ref.masked_profile(text, text, L, d, use_rc), weights))
        assert g.Sequence(kernel, text, skip_invalid=True).sqnorm() == pytest.approx(want, rel=1e-12), text


def test_skip_invalid_matches_clean_text_when_there_is_nothing_to_skip():
    kernel = finalized(REFS)
    clean = kernel.eval_batch(QUERIES)
    masked = kernel.eval_batch([g.Sequence(kernel, q, skip_invalid=True) for q in QUERIES])
    assert as_bits(masked) == as_bits(clean)


def test_without_skip_invalid_non_acgt_still_fails():
    kernel = g.Kernel(**PARAMS)
    with pytest.raises(ValueError, match="non-ACGT"):
        kernel.add_sequence(DIRTY[0])
    with pytest.raises(ValueError, match="non-ACGT"):
        g.Sequence(kernel, DIRTY[0])
    with pytest.raises(TypeError):
        kernel.add_sequence(DIRTY[0], None, True)  # skip_invalid is keyword-only
