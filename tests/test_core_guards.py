"""Faults the L-mer index must not have: sequences encoded for another word
length at the window entry points, non-finite positional parameters and
offsets, long runs of one L-mer, reference counts past any fixed sentinel,
self matrices that are not symmetric to the bit, and sizes that cannot be had."""

import math
import os
import random
from pathlib import Path

import numpy as np
import pytest

import core_ctypes
from core_ctypes import double_buffer, seq_array
from seqgen import random_dna
from vellum import _gkmkern as g

SENTINEL = -7.25


def texts(n, length, seed=3):
    rng = random.Random(seed)
    return [random_dna(rng, length) for _ in range(n)]


def untouched(buf, n):
    return list(buf[:n]) == [SENTINEL] * n


# ---- sequences encoded for another word length ------------------------------------


@pytest.fixture
def mixed_encodings(make_core_kernel):
    """A kernel of L = 8, its own sequences, and the same texts encoded for L = 5."""
    kernel = make_core_kernel(L=8, k=4, d=2)
    other = make_core_kernel(L=5, k=3, d=1)
    words = texts(3, 40)
    for text in words:
        kernel.add(text)
    kernel.finalize()
    return kernel, [kernel.query(t) for t in words], [other.query(t) for t in words]


def test_regular_window_entry_points_refuse_other_word_lengths(core, mixed_encodings):
    kernel, own, foreign = mixed_encodings
    geometry = (12, 4, 0, 0)
    n_w = core.gkm_compute_n_windows(40, *geometry, 8)
    mixed = seq_array([own[0], foreign[1], own[2]])
    out = double_buffer(n_w * 9, SENTINEL)
    assert core.gkm_kernel_window_kernel(kernel.handle, mixed, 3, *geometry, out) == -1
    assert core.gkm_kernel_cross_window_kernel(kernel.handle, seq_array(own), 3, mixed, 3, *geometry, out) == -1
    assert core.gkm_kernel_cross_window_kernel(kernel.handle, mixed, 3, seq_array(own), 3, *geometry, out) == -1
    assert untouched(out, n_w * 9)
    assert not core.gkm_window_tree_cache_build(kernel.handle, mixed, 3, *geometry)
    cache = core.gkm_window_tree_cache_build(kernel.handle, seq_array(own), 3, *geometry)
    assert cache
    assert core.gkm_window_tree_cache_query(kernel.handle, cache, mixed, 3, out) == -1
    assert untouched(out, n_w * 9)
    core.gkm_window_tree_cache_destroy(cache)
    assert not core.gkm_window_iter_create(kernel.handle, foreign[0], *geometry)


def test_own_encodings_still_pass_those_entry_points(core, mixed_encodings):
    kernel, own, _ = mixed_encodings
    n_w = core.gkm_compute_n_windows(40, 12, 4, 0, 0, 8)
    out = double_buffer(n_w * 9, SENTINEL)
    assert core.gkm_kernel_window_kernel(kernel.handle, seq_array(own), 3, 12, 4, 0, 0, out) == 0
    it = core.gkm_window_iter_create(kernel.handle, own[0], 12, 4, 0, 0)
    assert it and core.gkm_window_iter_next(it, out) == 1
    core.gkm_window_iter_destroy(it)


# ---- non-finite positional parameters and offsets --------------------------------


@pytest.mark.parametrize("field, value", [
    ("weight_sigma", math.nan),
    ("weight_gamma", math.nan),
    ("weight_peak", math.nan),
    ("weight_gamma", math.inf),
    ("weight_peak", math.inf),
])
@pytest.mark.parametrize("pos_kernel", [g.POS_TRIANGULAR, g.POS_GAUSSIAN, g.POS_LAPLACIAN])
def test_nan_and_weight_poisoning_parameters_fail_creation(field, value, pos_kernel):
    with pytest.raises(RuntimeError, match="^gkm_weighted_kernel_create failed$"):
        g.WeightedKernel(L=6, k=3, d=1, pos_kernel=pos_kernel, **{field: value})


def test_an_infinite_width_is_a_flat_profile():
    flat = g.WeightedKernel(L=6, k=3, d=1, pos_kernel=g.POS_GAUSSIAN, weight_sigma=math.inf)
    unknown = g.WeightedKernel(L=6, k=3, d=1, pos_kernel=9)
    seqs = texts(3, 30)
    np.testing.assert_allclose(flat.self_eval(seqs), unknown.self_eval(seqs), rtol=1e-12)


@pytest.mark.parametrize("offsets, message", [
    (math.nan, r"^offsets is not finite \(nan\)$"),
    (-math.inf, r"^offsets is not finite \(-inf\)$"),
    ([0.0, 2.5, math.inf], r"^offsets\[2\] is not finite \(inf\)$"),
    ((math.nan,), r"^offsets\[0\] is not finite \(nan\)$"),
])
@pytest.mark.parametrize("method", ["self_eval", "cross_eval"])
def test_non_finite_offsets_are_named(offsets, message, method):
    kernel = g.WeightedKernel(L=6, k=3, d=1, pos_kernel=g.POS_GAUSSIAN, weight_sigma=5.0)
    seqs = texts(2, 30)
    args = (seqs,) if method == "self_eval" else (seqs, seqs)
    out = np.full((2, 2), SENTINEL)
    with pytest.raises(ValueError, match=message):
        getattr(kernel, method)(*args, offsets, out=out)
    assert (out == SENTINEL).all()


# ---- long runs of one L-mer, and many references ----------------------------------


def test_thousands_of_poly_a_references_index_and_evaluate():
    """8,000 references that are one L-mer repeated: an index that scanned its
    entries on every insertion would take hours; every value is exact."""
    kernel = g.Kernel(L=10, k=6, d=3, use_rc=1)
    for _ in range(8000):
        kernel.add_sequence("A" * 300)
    kernel.add_sequence("C" * 300)
    kernel.finalize()
    rows = np.empty((2, 8001))
    kernel.eval_batch(["A" * 300, "A" * 150 + "G" * 150], out=rows)
    assert (rows[0, :8000] == rows[0, 0]).all() and rows[0, 0] == pytest.approx(1.0, abs=1e-15)
    assert rows[0, 8000] == 0.0
    gram = kernel.gram(out=np.empty((8001, 8001)))
    assert (gram[:8000, :8000] == rows[0, 0]).all() and (gram[8000, :8000] == 0.0).all()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="a million references: slow under the sanitizers")
def test_references_past_a_million_are_found():
    n = 1_000_010
    kernel = g.Kernel(L=2, k=1, d=0)
    for i in range(n):
        kernel.add_sequence("AC" if i % 2 else "GT")
    kernel.finalize()
    row = np.empty((1, n))
    kernel.eval_batch(["GT"], out=row)
    same = row[0, 0::2]
    assert (same == same[0]).all() and same[0] == pytest.approx(1.0, abs=1e-15)
    assert (row[0, 1::2] == 0.0).all()


# ---- symmetry and definiteness ----------------------------------------------------


def bits(matrix):
    return np.asarray(matrix, dtype=float).view(np.uint64)


@pytest.mark.parametrize("use_rc", [0, 1])
def test_every_self_matrix_is_symmetric_to_the_bit(use_rc):
    seqs = texts(12, 60, seed=use_rc)
    regular = g.Kernel(L=7, k=4, d=2, use_rc=use_rc, weight_scheme=1, nthreads=2)
    for s in seqs:
        regular.add_sequence(s)
    regular.finalize()
    weighted = g.WeightedKernel(L=7, k=4, d=2, use_rc=use_rc, weight_scheme=2, pos_kernel=g.POS_GAUSSIAN,
                                weight_sigma=9.0, nthreads=2)
    matrices = [regular.gram(), *regular.self_window_eval(seqs, 25, 9, 4), *weighted.self_eval(seqs, [-7.5, 0, 11]),
                *weighted.self_window_eval(seqs, 25, 9, (3, 8))]
    for m in matrices:
        assert (bits(m) == bits(m).T).all()


def bundled_ctcf():
    """The all-ACGT sequences of the real CTCF subset bundled with the package."""
    import vellum

    text = (Path(vellum.__file__).parent / "data" / "ctcf_bound.fasta").read_text()
    seqs = [line.strip().upper() for line in text.splitlines() if line and not line.startswith(">")]
    return [s for s in seqs if set(s) <= set("ACGT")]


def test_gram_of_real_dna_is_positive_semi_definite():
    seqs = bundled_ctcf()
    assert len(seqs) >= 300
    kernel = g.Kernel(L=10, k=6, d=3, use_rc=1, nthreads=2)
    for s in seqs[:300]:
        kernel.add_sequence(s)
    kernel.finalize()
    gram = np.array(kernel.gram())
    assert (bits(gram) == bits(gram).T).all()
    assert np.linalg.eigvalsh(gram).min() >= -1e-9


# ---- sizes that cannot be had -------------------------------------------------------


def test_a_million_windows_of_two_thousand_references_is_a_memory_error():
    kernel = g.Kernel(L=4, k=2, d=1)
    for text in texts(2000, 12):
        kernel.add_sequence(text)
    kernel.finalize()
    query = texts(1, 2047)[0]
    assert kernel.num_sequences() == 2000
    with pytest.raises(MemoryError):
        kernel.sliding_query(query, 3_000_000, 1, 2_999_990)


def test_a_gram_larger_than_memory_is_a_memory_error():
    kernel = g.Kernel(L=3, k=2, d=1)
    for text in texts(40_000, 3):
        kernel.add_sequence(text)
    kernel.finalize()
    with pytest.raises(MemoryError):
        kernel.gram()
