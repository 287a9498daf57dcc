"""GkmKernel and ReferenceSet: values against the brute force, NumPy buffers, and refusals."""
import pickle
import random
import re
import tracemalloc

import numpy as np
import pytest

import reference as ref
import reference_weighted as refw
from seqgen import mixed_case, random_dna
from vellum import GkmKernel, _gkmkern, kernels
from vellum import _progress

SMALL = dict(L=5, k=3, d=2)


@pytest.fixture(scope="module")
def texts():
    rng = random.Random(7)
    return [mixed_case(rng, random_dna(rng, rng.randrange(12, 40))) for _ in range(7)]


def brute(queries, refs, L, k, d, use_rc=True, weight_scheme=0):
    return np.array(ref.ReferenceKernel(L, k, d, weight_scheme, use_rc).eval_batch(queries, refs))


@pytest.mark.parametrize("weight_scheme", [0, 1, 2])
@pytest.mark.parametrize("use_rc", [False, True])
def test_gram_and_cross_match_the_brute_force(texts, use_rc, weight_scheme):
    kernel = GkmKernel(**SMALL, use_rc=use_rc, weight_scheme=weight_scheme)
    expected = brute(texts, texts, **SMALL, use_rc=use_rc, weight_scheme=weight_scheme)
    np.testing.assert_allclose(kernel(texts), expected, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(kernel(texts[:3], texts[2:]), expected[:3, 2:], rtol=1e-12, atol=1e-15)


def test_gram_is_symmetric_and_bitwise_the_cross_path_whatever_n_jobs(texts):
    out = np.full((7, 7), np.nan)
    gram = GkmKernel(**SMALL)(texts, out=out)
    assert gram is out
    assert np.array_equal(gram, gram.T)
    assert np.array_equal(gram, GkmKernel(**SMALL, n_jobs=2)(texts, texts))
    assert np.array_equal(gram, GkmKernel(**SMALL, n_jobs=-1)(texts))
    assert np.abs(np.diag(gram) - 1.0).max() <= 4 * np.finfo(float).eps


@pytest.mark.parametrize("n", [129, 194])
def test_gram_of_a_set_that_does_not_divide_into_stages_is_the_cross_path(n):
    # The native Gram goes in two and three stages of unequal height here;
    # out starts as NaN so that a cell no stage wrote shows.
    rng = random.Random(n)
    X = [random_dna(rng, 40) for _ in range(n)]
    gram = GkmKernel(**SMALL)(X, out=np.full((n, n), np.nan))
    assert np.array_equal(gram, GkmKernel(**SMALL)(X, X))


def test_cross_path_in_chunks_equals_one_native_call(texts, monkeypatch):
    monkeypatch.setattr(kernels, "QUERY_CHUNK", 3)
    native = _gkmkern.Kernel(**SMALL, use_rc=1)
    for text in texts[:3]:
        native.add_sequence(text)
    native.finalize()
    whole = native.eval_batch(texts, out=np.empty((7, 3)))
    assert np.array_equal(GkmKernel(**SMALL)(texts, texts[:3]), whole)
    refs = GkmKernel(**SMALL).references(texts[:3])
    blocks = [(start, stop, block.copy()) for start, stop, block in refs.blocks(texts)]
    assert [(start, stop) for start, stop, _ in blocks] == [(0, 3), (3, 6), (6, 7)]
    assert np.array_equal(np.vstack([block for _, _, block in blocks]), whole)


# ---- invalid="skip" -----------------------------------------------------------

DIRTY = ["ACGTNACGTTGCAACNNGTAGGCT", "nnacgtRYacgtTTGCAAcgtagg", "ACGTACGTACGT-ACGTACGG", "NNNNNNNNNNNN", "ACGTTGCAAC"]


@pytest.mark.parametrize("use_rc", [False, True])
def test_skip_leaves_out_lmers_covering_non_acgt_on_both_sides_and_in_norms(use_rc):
    kernel = GkmKernel(**SMALL, use_rc=use_rc, invalid="skip")
    weights = ref.weight_table(5, 3, ref.WEIGHT_FULL)
    expected = np.array([[ref.masked_value(q, r, weights, 5, 2, use_rc) for r in DIRTY] for q in DIRTY])
    np.testing.assert_allclose(kernel(DIRTY), expected, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(kernel(DIRTY[::-1], DIRTY[1:]), expected[::-1, 1:], rtol=1e-12, atol=1e-15)
    assert not kernel(DIRTY)[3].any()  # nothing of an all-N text is left
    clean = GkmKernel(**SMALL, use_rc=use_rc)
    assert np.array_equal(kernel(DIRTY[4:] * 2, DIRTY[4:]), clean(DIRTY[4:] * 2, DIRTY[4:]))


# ---- sequence lengths -----------------------------------------------------------


def test_longest_encodable_sequence_is_scored_whole():
    rng = random.Random(3)
    longest = random_dna(rng, 2047)
    values = GkmKernel(**SMALL)([longest, longest[:2046] + "A"])
    assert abs(values[0, 0] - 1.0) <= 4 * np.finfo(float).eps
    assert values[0, 1] < 1.0


@pytest.mark.parametrize("rows, columns", [(2, None), (2, 1), (1, 2)])
def test_longer_sequences_are_refused_never_cut(rows, columns):
    seqs = {1: ["ACGTACGT"], 2: ["ACGTACGT", "A" * 2048]}
    with pytest.raises(ValueError, match=re.escape("[1] has 2048 bases; one encoded sequence holds at most 2047")):
        GkmKernel(**SMALL)(seqs[rows], seqs.get(columns))


# ---- out= -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "out, error, message",
    [
        (np.zeros((7, 6)), ValueError, r"out has shape \(7, 6\), expected \(7, 7\)"),
        (np.zeros((7, 7), dtype=np.float32), TypeError, "out must hold float64 values, not float32"),
        (np.zeros((7, 14))[:, ::2], ValueError, "out must be C-contiguous"),
        ([[0.0] * 7] * 7, TypeError, "out must be a float64 NumPy array, not list"),
        (np.broadcast_to(0.0, (7, 7)), ValueError, "out is read-only"),
    ],
)
@pytest.mark.parametrize("second", [False, True])
def test_bad_out_is_refused_before_anything_is_written(texts, out, error, message, second):
    before = np.array(out, copy=True)
    with pytest.raises(error, match=f"^{message}$"):
        GkmKernel(**SMALL)(texts, texts if second else None, out=out)
    assert np.array_equal(np.asarray(out), before)


@pytest.mark.parametrize("second", [False, True])
def test_no_python_lists_or_copies_of_the_matrix(second):
    rng = random.Random(11)
    seqs = [random_dna(rng, 12) for _ in range(600)]
    matrix_bytes = 600 * 600 * 8
    tracemalloc.start()
    try:
        GkmKernel(**SMALL)(seqs, seqs if second else None)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert matrix_bytes <= peak < matrix_bytes + 400_000


# ---- positional kernel --------------------------------------------------------


@pytest.mark.parametrize("pos_kernel", ["triangular", "gaussian", "laplacian"])
def test_positional_kernel_is_centred_on_each_sequence_middle(pos_kernel):
    rng = random.Random(5)
    seqs = [random_dna(rng, 30) for _ in range(4)]
    kernel = GkmKernel(**SMALL, positional=True, pos_kernel=pos_kernel, weight_sigma=8.0, weight_gamma=0.2)
    kind = kernels.POSITIONAL_PROFILES[pos_kernel]
    brute_force = refw.ReferenceWeightedKernel(5, 3, 2, 0, 1, kind, gamma=0.2, sigma=8.0)
    expected = np.array([[value for value, _ in row] for row in brute_force.eval_self(seqs, [14.5])[0]])
    np.testing.assert_allclose(kernel(seqs), expected, rtol=1e-10)
    np.testing.assert_allclose(kernel(seqs[:1], seqs[1:]), expected[:1, 1:], rtol=1e-10)


@pytest.mark.parametrize("use_rc", [False, True])
def test_positional_kernel_with_skip_leaves_out_lmers_covering_non_acgt(use_rc):
    texts = ["ACGTNACGTTGCAACNNGTAGGCT", "nnacgtRYacgtTTGCAAcgtagg", "ACGTACGTACGT-ACGTACGGTTA", "N" * 24,
             "ACGTTGCAACGGTACCATGACGTA"]
    kernel = GkmKernel(**SMALL, use_rc=use_rc, invalid="skip", positional=True, weight_sigma=8.0)
    brute_force = refw.ReferenceWeightedKernel(5, 3, 2, 0, use_rc, refw.POS_TRIANGULAR, sigma=8.0)
    expected = np.array([[brute_force.masked_value(q, r, 11.5) for r in texts] for q in texts])
    np.testing.assert_allclose(kernel(texts), expected, rtol=1e-10, atol=1e-15)
    np.testing.assert_allclose(kernel(texts[::-1], texts[1:]), expected[::-1, 1:], rtol=1e-10, atol=1e-15)
    assert not kernel(texts)[3].any()
    clean = GkmKernel(**SMALL, use_rc=use_rc, positional=True, weight_sigma=8.0)
    assert np.array_equal(kernel(texts[4:] * 2), clean(texts[4:] * 2))


@pytest.mark.parametrize(
    "params, error, message",
    [
        ({"positional": True}, ValueError,
         r"X\[1\] has 9 bases; the positional kernel compares sequences of one length, 8 bases$"),
        ({"positional": True, "pos_kernel": "box"}, ValueError, "pos_kernel must be one of"),
        ({"positional": True, "weight_sigma": 0.0}, ValueError, "weight_sigma must be greater than 0; got 0.0"),
        ({"positional": True, "weight_gamma": -1.0}, ValueError, "weight_gamma must be at least 0; got -1.0"),
        ({"k": 6}, ValueError, r"invalid kernel parameters \(L=5, k=6, d=2\): k > L"),
        ({"L": 5.0}, TypeError, "L must be an int, not float"),
        ({"weight_scheme": 3}, ValueError, "weight_scheme must be one of 0, 1, 2; got 3"),
        ({"invalid": "drop"}, ValueError, "invalid must be one of 'error', 'skip'; got 'drop'"),
    ],
)
def test_bad_parameters_are_named(params, error, message):
    with pytest.raises(error, match=f"^{message}"):
        GkmKernel(**{**SMALL, **params})(["ACGTACGT", "ACGTACGTA"])


@pytest.mark.parametrize(
    "ids, message",
    [
        (None, r"X\[280\] has 19 bases; the positional kernel compares sequences of one length, 20 bases$"),
        ([f"q{i}" for i in range(300)], r"record 'q280' has 19 bases; the positional kernel"),
        (["q0"], r"X has 300 sequences but ids has 1$"),
    ],
    ids=["index", "id", "ids-of-another-length"],
)
def test_a_query_is_named_by_its_place_in_the_whole_list_not_in_a_chunk(dna, ids, message):
    references = GkmKernel(**SMALL, positional=True).references([dna(20), dna(20)])
    X = [dna(20) for _ in range(300)]
    X[280] = X[280][:19]
    assert kernels.QUERY_CHUNK < 280
    with pytest.raises(ValueError, match=f"^{message}"):
        references(X, ids=ids)


# ---- ReferenceSet -----------------------------------------------------------------


def test_reference_set_is_independent_of_later_changes_and_pickles(texts):
    kernel = GkmKernel(**SMALL)
    refs = kernel.references(texts[:4])
    kernel.set_params(L=6, k=4)
    restored = pickle.loads(pickle.dumps(refs))
    assert restored.kernel.get_params() == GkmKernel(**SMALL).get_params()
    assert restored.sequences == texts[:4]
    assert np.array_equal(restored(texts), refs(texts))
    assert np.array_equal(refs(texts), GkmKernel(**SMALL)(texts, texts[:4]))


@pytest.mark.parametrize("positional", [False, True])
@pytest.mark.parametrize("start, stop", [(0, 9), (0, 4), (3, 7), (5, 9), (8, 9), (4, 4), (9, 9)])
def test_reference_set_gram_rows_are_a_stripe_of_the_gram_bitwise(positional, start, stop):
    rng = random.Random(start * 10 + stop)
    X = [random_dna(rng, 30) for _ in range(9)]
    kernel = GkmKernel(**SMALL, positional=positional, weight_sigma=12.0)
    stripe = kernel.references(X).gram_rows(start, stop, out=np.full((stop - start, 9 - start), -7.0))
    # The whole Gram, straight from the native kernel's own path.
    native = kernel.native()
    if positional:
        whole = native.self_eval(X)
    else:
        for text in X:
            native.add_sequence(text)
        native.finalize()
        whole = native.gram()
    assert stripe.tobytes() == np.array(whole)[start:stop, start:].tobytes()


@pytest.mark.parametrize("start, stop", [(-1, 2), (3, 2), (0, 5), (5, 6)])
def test_reference_set_gram_rows_outside_the_references_are_refused(texts, start, stop):
    with pytest.raises(ValueError, match=rf"^rows \[{start}, {stop}\) are not among the 4 references$"):
        GkmKernel(**SMALL).references(texts[:4]).gram_rows(start, stop)


@pytest.mark.parametrize("progress", [False, True])
def test_progress_bar_goes_to_stderr_only_when_asked(texts, capsys, monkeypatch, progress):
    monkeypatch.setattr(_progress, "DELAY_SECONDS", 0)
    GkmKernel(**SMALL, progress=progress)(texts)
    GkmKernel(**SMALL, progress=progress)(texts, texts)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert ("Gram matrix" in captured.err and "kernel rows" in captured.err) == progress
    assert (captured.err == "") == (not progress)
