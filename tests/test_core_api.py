"""The exported gkm_* functions of the native core, called through ctypes."""

import ctypes
import math
import random
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import core_ctypes
import reference
from seqgen import mixed_case, mutate, random_dna

TESTS_DIR = Path(__file__).resolve().parent
NAN = float("nan")


def bits(values):
    return struct.pack("%dd" % len(values), *values)


def close_to_decimal(got, text):
    """got agrees with the decimal text to within half a unit of its last digit."""
    decimals = len(text.split(".")[1])
    return abs(got - float(text)) <= 0.5 * 10.0 ** -decimals


# ---- parameters ----------------------------------------------------------------


@pytest.mark.parametrize(
    "L, k, d, message",
    [
        (1, 1, 0, "L < 2"),
        (13, 6, 3, "L > 12"),
        (5, 6, 0, "k > L"),
        (5, 0, 0, "k < 1"),
        (10, 6, 5, "d > L - k"),
        (10, 6, -1, "d < 0"),
        (0, 0, 0, "L < 2"),
        (3, -1, 0, "k < 1"),
        # the first failing test decides
        (-4, 20, -1, "L < 2"),
        (13, 0, -1, "L > 12"),
        (5, 6, -1, "k > L"),
        (5, 0, 9, "k < 1"),
        (5, -1, -1, "k < 1"),
        # boundaries that pass
        (12, 12, 0, None),
        (2, 1, 1, None),
        (2, 2, 0, None),
        (12, 1, 11, None),
        (10, 6, 4, None),
        (2, 1, 2, "d > L - k"),
    ],
)
def test_parameter_check_message_and_kernel_creation(core, L, k, d, message):
    param = core_ctypes.params(L=L, k=k, d=d)
    got = core.gkm_parameter_check(param)
    assert (got.decode() if got is not None else None) == message
    kernel = core.gkm_kernel_create(param)
    try:
        assert bool(kernel) == (message is None)
    finally:
        core.gkm_kernel_destroy(kernel)


@pytest.mark.parametrize("scheme, use_rc, nthreads", [(99, 0, 1), (-1, -4, -7), (2, 1, 0), (7, 3, 10**6)])
def test_parameter_check_ignores_scheme_rc_and_threads(core, scheme, use_rc, nthreads):
    param = core_ctypes.params(L=10, k=6, d=3, weight_scheme=scheme, use_rc=use_rc, nthreads=nthreads)
    assert core.gkm_parameter_check(param) is None


def test_every_declared_function_is_exported(core):
    assert core.missing == []


# ---- weight tables ---------------------------------------------------------------


def test_full_weights_example_and_range_of_weight_accessor(make_core_kernel, core):
    kernel = make_core_kernel(L=10, k=6, d=3)
    got = [core.gkm_kernel_base_weight(kernel.base, m) for m in range(-2, 14)]
    assert got == [0.0, 0.0, 210.0, 84.0, 28.0, 7.0] + [0.0] * 10


@pytest.mark.parametrize("L", range(2, 13))
def test_full_weights_are_exact_binomials(core, make_core_kernel, L):
    for k in range(1, L + 1):
        kernel = make_core_kernel(L=L, k=k, d=L - k)
        got = [core.gkm_kernel_base_weight(kernel.base, m) for m in range(L - k + 1)]
        assert got == [float(math.comb(L - m, k)) for m in range(L - k + 1)], (L, k)


@pytest.mark.parametrize(
    "L, k, scheme, expected",
    [
        (10, 6, 2, ["0.224125", "0.0583992", "0.0064888", "-0.00216293"]),
        (10, 6, 1, ["0.169598", "0.0557348", "0.0149505", "0.0027789", "0.000252627"]),
        (4, 2, 1, ["0.2094", "0.1022", "0.04047"]),
    ],
)
def test_estimated_weights_known_values(core, make_core_kernel, L, k, scheme, expected):
    kernel = make_core_kernel(L=L, k=k, d=L - k, weight_scheme=scheme)
    got = [core.gkm_kernel_base_weight(kernel.base, m) for m in range(len(expected))]
    assert all(close_to_decimal(g, e) for g, e in zip(got, expected)), (got, expected)
    own = reference.weight_table(L, k, scheme)
    assert all(close_to_decimal(g, e) for g, e in zip(own, expected)), (own, expected)


@pytest.mark.parametrize("scheme", [1, 2])
@pytest.mark.parametrize("L", range(2, 13))
def test_estimated_weights_match_reference(core, make_core_kernel, L, scheme):
    for k in range(1, L + 1):
        kernel = make_core_kernel(L=L, k=k, d=L - k, weight_scheme=scheme)
        got = [core.gkm_kernel_base_weight(kernel.base, m) for m in range(L - k + 1)]
        want = reference.weight_table(L, k, scheme)[: L - k + 1]
        scale = max(abs(w) for w in want)
        for m, (g, w) in enumerate(zip(got, want)):
            assert abs(g - w) <= 1e-12 * max(abs(w), 1e-3 * scale), (L, k, scheme, m, g, w)


@pytest.mark.parametrize("scheme", [1, 2])
@pytest.mark.parametrize("L", [2, 5, 12])
def test_estimated_weights_with_k_equal_L(core, make_core_kernel, L, scheme):
    kernel = make_core_kernel(L=L, k=L, d=0, weight_scheme=scheme)
    assert core.gkm_kernel_base_weight(kernel.base, 0) == pytest.approx(1.0, rel=1e-12)


def test_truncated_weights_are_non_negative_and_non_increasing(core, make_core_kernel):
    for L in range(2, 13):
        for k in range(1, L + 1):
            kernel = make_core_kernel(L=L, k=k, d=L - k, weight_scheme=1)
            w = [core.gkm_kernel_base_weight(kernel.base, m) for m in range(L - k + 1)]
            assert all(x >= 0 for x in w), (L, k, w)
            assert all(a >= b for a, b in zip(w, w[1:])), (L, k, w)


@pytest.mark.parametrize("scheme", [7, -1, 3])
def test_unknown_scheme_gives_full_table_and_is_reported_back(core, make_core_kernel, scheme):
    kernel = make_core_kernel(L=10, k=6, d=4, weight_scheme=scheme)
    assert core.gkm_kernel_base_get_weight_scheme(kernel.base) == scheme
    assert [core.gkm_kernel_base_weight(kernel.base, m) for m in range(5)] == [210.0, 84.0, 28.0, 7.0, 1.0]


# ---- kernel base accessors ---------------------------------------------------------


def test_base_accessors_report_creation_parameters(core, make_core_kernel):
    kernel = make_core_kernel(L=9, k=4, d=2, weight_scheme=2, use_rc=1, nthreads=3)
    L, k, d = ctypes.c_int(-1), ctypes.c_int(-1), ctypes.c_int(-1)
    core.gkm_kernel_base_get_params(kernel.base, ctypes.byref(L), ctypes.byref(k), ctypes.byref(d))
    assert (L.value, k.value, d.value) == (9, 4, 2)
    assert core.gkm_kernel_base_get_L(kernel.base) == 9
    assert core.gkm_kernel_base_get_weight_scheme(kernel.base) == 2
    assert core.gkm_kernel_base_get_use_rc(kernel.base) == 1
    assert core.gkm_kernel_base_const(kernel.handle) == kernel.base == kernel.handle


def test_get_params_skips_null_outputs(core, make_core_kernel):
    kernel = make_core_kernel(L=7, k=3, d=1)
    L, d = ctypes.c_int(-1), ctypes.c_int(-1)
    core.gkm_kernel_base_get_params(kernel.base, ctypes.byref(L), None, ctypes.byref(d))
    assert (L.value, d.value) == (7, 1)
    core.gkm_kernel_base_get_params(kernel.base, None, None, None)


def test_use_rc_is_reported_as_stored_and_any_nonzero_value_folds_strands(core, make_core_kernel, dna):
    refs, queries = [dna(40) for _ in range(4)], [dna(30) for _ in range(3)]
    rows = {}
    for use_rc in (1, 5):
        kernel = make_core_kernel(L=6, k=4, d=2, use_rc=use_rc)
        assert core.gkm_kernel_base_get_use_rc(kernel.base) == use_rc
        for r in refs:
            kernel.add(r)
        kernel.finalize()
        rows[use_rc] = kernel.eval_batch([kernel.query(q) for q in queries])[1]
    assert rows[1] == rows[5]


def test_sequence_store_ids_and_bounds(core, make_core_kernel, dna):
    kernel = make_core_kernel(L=5, k=3, d=1)
    assert kernel.n_seqs() == 0
    added = []
    for i in range(35):
        seq = core.gkm_sequence_create(kernel.base, dna(12).encode(), None)
        assert core.gkm_kernel_base_add_sequence(kernel.base, seq) == i
        added.append(seq)
    assert kernel.n_seqs() == 35
    assert [core.gkm_kernel_base_get_sequence(kernel.base, i) for i in range(35)] == added
    for bad in (-1, 35, 36, -(2**31)):
        assert core.gkm_kernel_base_get_sequence(kernel.base, bad) is None


def test_add_after_base_finalize_returns_minus_one_and_changes_nothing(core, make_core_kernel):
    kernel = make_core_kernel(L=5, k=3, d=1)
    assert kernel.add("ACGTACGT") == 0
    assert core.gkm_kernel_base_is_finalized(kernel.base) == 0
    core.gkm_kernel_base_finalize(kernel.base)
    assert core.gkm_kernel_base_is_finalized(kernel.base) == 1
    seq = core.gkm_sequence_create(kernel.base, b"TTTTTTT", None)
    assert core.gkm_kernel_base_add_sequence(kernel.base, seq) == -1
    core.gkm_kernel_base_finalize(kernel.base)
    assert core.gkm_kernel_base_add_sequence(kernel.base, seq) == -1
    assert kernel.n_seqs() == 1
    # the rejected sequence is still ours and intact
    assert core.gkm_sequence_length(seq) == 7
    core.gkm_sequence_free(seq)


def test_base_finalize_without_tree_leaves_evaluations_at_zero(core, make_core_kernel):
    kernel = make_core_kernel(L=5, k=3, d=1)
    kernel.add("ACGTACGTAA")
    core.gkm_kernel_base_finalize(kernel.base)
    assert kernel.finalize() == 0
    q = kernel.query("ACGTACGTAA")
    assert kernel.eval_all(q) == (0, [0.0])
    assert kernel.eval_batch([q, q]) == (0, [[0.0], [0.0]])


def test_weighted_kernel_base_serves_the_same_accessors(core):
    wp = core_ctypes.GkmWeightedParams(core_ctypes.params(L=6, k=3, d=2, use_rc=1), 2, 1.0, 20.0, 50.0)
    wk = core.gkm_weighted_kernel_create(wp)
    assert wk
    try:
        base = core.gkm_weighted_kernel_base(wk)
        assert core.gkm_weighted_kernel_base_const(wk) == base
        assert core.gkm_kernel_base_get_L(base) == 6
        assert core.gkm_kernel_base_get_use_rc(base) == 1
        assert [core.gkm_kernel_base_weight(base, m) for m in range(4)] == [20.0, 10.0, 4.0, 0.0]
        seq = core.gkm_sequence_create(base, b"ACGTTGCA", b"w")
        assert core.gkm_kernel_base_add_sequence(base, seq) == 0
        assert core.gkm_kernel_base_get_sequence(base, 0) == seq
        core.gkm_kernel_base_finalize(base)
        other = core.gkm_sequence_create(base, b"ACGTTGCA", None)
        assert core.gkm_kernel_base_add_sequence(base, other) == -1
        core.gkm_sequence_free(other)
    finally:
        core.gkm_weighted_kernel_destroy(wk)


def test_destroy_and_free_accept_null(core):
    core.gkm_kernel_destroy(None)
    core.gkm_weighted_kernel_destroy(None)
    core.gkm_sequence_free(None)


# ---- encoded sequences ---------------------------------------------------------------


@pytest.mark.parametrize(
    "L, text, length",
    [
        (3, "ACGT", 4),
        (3, "acgt", 4),
        (3, "AcGt", 4),
        (3, "ACG", 3),
        (10, "ACGTACGTAC", 10),
        (3, "AC", None),
        (10, "ACGTACGTA", None),
        (3, "ACGN", None),
        (3, "AC-T", None),
        (3, "NACGT", None),
        (3, "ACGU", None),
        (3, "ACGTR", None),
        (3, "ACG T", None),
        (3, "", None),
        (3, "A" * 3000, 2047),
        (3, "A" * 2500 + "N" + "A" * 499, 2047),
        (3, "A" * 2047 + "N", 2047),
        (3, "A" * 2046 + "N", None),
        (3, "ACGT" * 511 + "AC", 2046),
        (12, "ACGTTGCAACGT", 12),
    ],
)
def test_sequence_create_accepts_and_clips(core, make_core_kernel, L, text, length):
    kernel = make_core_kernel(L=L, k=2, d=1)
    seq = core.gkm_sequence_create(kernel.base, text.encode(), None)
    try:
        if length is None:
            assert seq is None
        else:
            assert seq and core.gkm_sequence_length(seq) == length
    finally:
        core.gkm_sequence_free(seq)


def test_sequence_identifier_is_a_private_copy(core, make_core_kernel):
    kernel = make_core_kernel(L=3, k=2, d=1)
    buf = ctypes.create_string_buffer(b"x1")
    seq = core.gkm_sequence_create(kernel.base, b"ACGT", buf)
    anonymous = core.gkm_sequence_create(kernel.base, b"ACGT", None)
    empty = core.gkm_sequence_create(kernel.base, b"ACGT", b"")
    try:
        buf.value = b"zz"
        assert core.gkm_sequence_sid(seq) == b"x1"
        assert core.gkm_sequence_sid(anonymous) is None
        assert core.gkm_sequence_sid(empty) == b""
    finally:
        for s in (seq, anonymous, empty):
            core.gkm_sequence_free(s)


@pytest.mark.parametrize(
    "L, k, d, use_rc, text, self_value",
    [
        (3, 2, 1, 0, "ACGT", 6),
        (3, 2, 1, 1, "ACGT", 12),
        (3, 2, 1, 0, "acgt", 6),
        (10, 6, 3, 0, "ACGTTGCAAC", 210),
        (10, 6, 0, 1, "AAAAAAAAAA", 210),
        (4, 2, 0, 1, "ACGT", 12),
        (2, 1, 1, 0, "AC", 2),
        (2, 2, 0, 1, "AA", 1),
    ],
)
def test_sqnorm_examples(core, make_core_kernel, L, k, d, use_rc, text, self_value):
    kernel = make_core_kernel(L=L, k=k, d=d, use_rc=use_rc)
    seq = kernel.query(text)
    assert core.gkm_sequence_sqnorm(seq) == math.sqrt(self_value)


@pytest.mark.parametrize("scheme", [0, 1, 2])
@pytest.mark.parametrize("L, k, d", [(3, 2, 1), (8, 4, 4), (9, 5, 2), (12, 6, 6)])
@pytest.mark.parametrize("use_rc", [0, 1])
def test_sqnorm_matches_brute_force(core, make_core_kernel, L, k, d, scheme, use_rc):
    gen = random.Random(L * 100 + d)
    texts = [random_dna(gen, n) for n in (L, L + 3, 60, 150)] + ["ACGT" * 20, mixed_case(gen, "A" * 40 + "T" * 40)]
    kernel = make_core_kernel(L=L, k=k, d=d, weight_scheme=scheme, use_rc=use_rc)
    weights = [core.gkm_kernel_base_weight(kernel.base, m) for m in range(d + 1)]
    for text in texts:
        s = reference.encode(text, L)
        value = reference.reduce_profile(reference.self_profile(s, L, d, use_rc), weights)
        assert core.gkm_sequence_sqnorm(kernel.query(text)) == reference.norm_from_self_value(value), text


# ---- regular kernel -------------------------------------------------------------------


def test_finalize_twice_keeps_the_first_tree(core, make_core_kernel):
    kernel = make_core_kernel(L=4, k=2, d=1)
    kernel.add("ACGTACGT")
    assert kernel.finalize() == 0
    assert core.gkm_kernel_base_is_finalized(kernel.base) == 1
    assert kernel.add("TTTTTTTT") == -1
    assert kernel.finalize() == 0
    assert kernel.n_seqs() == 1
    q = kernel.query("ACGTACGT")
    rc, row = kernel.eval_all(q)
    assert rc == 0 and row == [pytest.approx(1.0, rel=1e-15)]


def test_unfinalised_kernel_writes_zeros(core, make_core_kernel):
    kernel = make_core_kernel(L=4, k=2, d=1)
    for text in ("ACGTACGT", "GGGGCCCC", "ACGTTTTT"):
        kernel.add(text)
    q = [kernel.query("ACGTACGT"), kernel.query("TTTTGGGG")]
    assert kernel.eval_all(q[0]) == (0, [0.0, 0.0, 0.0])
    assert kernel.eval_batch(q) == (0, [[0.0] * 3, [0.0] * 3])


def test_finalised_kernel_without_references_writes_nothing(core, make_core_kernel):
    kernel = make_core_kernel(L=4, k=2, d=1)
    assert kernel.finalize() == 0
    q = kernel.query("ACGTACGT")
    res = core_ctypes.double_buffer(4, fill=-7.0)
    assert core.gkm_kernel_eval_all(kernel.handle, q, res) == 0
    assert core.gkm_kernel_eval_batch(kernel.handle, core_ctypes.seq_array([q, q, q]), 3, res) == 0
    assert list(res) == [-7.0] * 4


@pytest.mark.parametrize("finalised", [False, True])
@pytest.mark.parametrize("n_q", [0, -1, -(2**31)])
def test_batch_without_queries_writes_nothing(core, make_core_kernel, finalised, n_q):
    kernel = make_core_kernel(L=4, k=2, d=1)
    kernel.add("ACGTACGT")
    if finalised:
        kernel.finalize()
    q = kernel.query("ACGTACGT")
    res = core_ctypes.double_buffer(2, fill=-7.0)
    assert core.gkm_kernel_eval_batch(kernel.handle, core_ctypes.seq_array([q]), n_q, res) == 0
    assert list(res) == [-7.0, -7.0]


@pytest.mark.parametrize(
    "finalised, first, n_rows",
    [(False, 0, 1), (True, 0, -1), (True, 0, 4), (True, 0, -(2**31)), (True, -1, 1), (True, 2, 2), (True, 4, 0),
     (True, 2**31 - 1, 2), (True, 2, 2**31 - 1)],
)
def test_gram_rows_refused_leave_out_untouched(core, make_core_kernel, finalised, first, n_rows):
    kernel = make_core_kernel(L=4, k=2, d=1)
    for text in ("ACGTACGT", "GGGGCCCC", "ACGTTTTT"):
        kernel.add(text)
    if finalised:
        kernel.finalize()
    res = core_ctypes.double_buffer(12, fill=-7.0)
    assert core.gkm_kernel_eval_gram_rows(kernel.handle, first, n_rows, res) == -1
    assert list(res) == [-7.0] * 12


@pytest.mark.parametrize("first, n_rows", [(0, 0), (0, 1), (0, 3), (1, 0), (1, 1), (1, 2), (2, 1), (3, 0)])
def test_gram_rows_are_a_stripe_of_the_gram(core, make_core_kernel, first, n_rows):
    kernel = make_core_kernel(L=4, k=2, d=1, use_rc=1)
    for text in ("ACGTACGTTGCA", "GGGGCCCCATAT", "ACGTTTTTGACC"):
        kernel.add(text)
    kernel.finalize()
    gram = core_ctypes.double_buffer(9)
    assert core.gkm_kernel_eval_gram(kernel.handle, gram) == 0
    res = core_ctypes.double_buffer(9, fill=-7.0)
    assert core.gkm_kernel_eval_gram_rows(kernel.handle, first, n_rows, res) == 0
    stripe = [gram[3 * i + j] for i in range(first, first + n_rows) for j in range(first, 3)]
    assert list(res) == stripe + [-7.0] * (9 - len(stripe))


@pytest.mark.parametrize(
    "use_rc, value, q_self, r_self, approx",
    [(0, 4.0, 6.0, 6.0, 0.666667), (1, 8.0, 8.0, 12.0, 0.816497)],
)
def test_acgt_against_acga_hand_computed(core, make_core_kernel, use_rc, value, q_self, r_self, approx):
    kernel = make_core_kernel(L=3, k=2, d=1, use_rc=use_rc)
    kernel.add("ACGT")
    kernel.finalize()
    q = kernel.query("ACGA")
    assert core.gkm_sequence_sqnorm(q) == math.sqrt(q_self)
    assert core.gkm_sequence_sqnorm(core.gkm_kernel_base_get_sequence(kernel.base, 0)) == math.sqrt(r_self)
    rc, row = kernel.eval_all(q)
    assert rc == 0
    assert row == [value / (math.sqrt(r_self) * math.sqrt(q_self))]
    assert round(row[0], 6) == approx


@pytest.mark.parametrize(
    "L, k, d, use_rc, ref, query, expected",
    [
        # one mismatch at the second position: weights C(2,1)=2, C(1,1)=1
        (2, 1, 1, 0, "AC", "AG", 1.0 / (math.sqrt(2) * math.sqrt(2))),
        # exact matches only
        (2, 2, 0, 0, "AC", "AG", 0.0),
        # the reverse-complement strand of AA is TT
        (2, 2, 0, 1, "AA", "TT", 1.0),
        (2, 2, 0, 0, "AA", "TT", 0.0),
        # d = 0 counts exact L-mer matches only: ACG shared, CGT vs CGA not
        (3, 3, 0, 0, "ACGT", "ACGA", 1.0 / (math.sqrt(2) * math.sqrt(2))),
    ],
)
def test_small_hand_computed_cases(core, make_core_kernel, L, k, d, use_rc, ref, query, expected):
    kernel = make_core_kernel(L=L, k=k, d=d, use_rc=use_rc)
    kernel.add(ref)
    kernel.finalize()
    assert kernel.eval_all(kernel.query(query)) == (0, [expected])


def _loaded_kernel(make_core_kernel, rng, n_ref=12, **kw):
    kernel = make_core_kernel(**kw)
    refs = [random_dna(rng, rng.randint(kw["L"], 120)) for _ in range(n_ref)]
    for r in refs:
        kernel.add(r)
    kernel.finalize()
    return kernel, refs


@pytest.mark.parametrize("use_rc", [0, 1])
def test_identical_and_reverse_complement_queries_score_one(core, make_core_kernel, rng, use_rc):
    kernel, refs = _loaded_kernel(make_core_kernel, rng, L=8, k=5, d=2, use_rc=use_rc)
    for j, r in enumerate(refs):
        _, row = kernel.eval_all(kernel.query(r))
        assert row[j] == pytest.approx(1.0, rel=1e-14)
        rc_row = kernel.eval_all(kernel.query(reference.revcomp(r)))[1]
        if use_rc:
            assert rc_row[j] == pytest.approx(1.0, rel=1e-14)
        else:
            s = reference.encode(r, 8)
            rc = reference.revcomp(s)
            weights = reference.full_weights(8, 5)
            value = reference.reduce_profile(reference.pair_profile(rc, s, 8, 2, 0), weights)
            nq = math.sqrt(reference.reduce_profile(reference.self_profile(rc, 8, 2, 0), weights))
            nr = math.sqrt(reference.reduce_profile(reference.self_profile(s, 8, 2, 0), weights))
            assert rc_row[j] == reference.normalise(value, nq, nr)


@pytest.mark.parametrize("scheme", [0, 1, 2])
def test_eval_all_equals_batch_rows_and_brute_force(core, make_core_kernel, rng, scheme):
    L, k, d, use_rc = 7, 4, 3, 1
    kernel, refs = _loaded_kernel(make_core_kernel, rng, L=L, k=k, d=d, weight_scheme=scheme, use_rc=use_rc)
    texts = [mutate(rng, refs[i], 3) for i in range(4)] + [random_dna(rng, 50), mixed_case(rng, refs[5])]
    queries = [kernel.query(t) for t in texts]
    rc, batch = kernel.eval_batch(queries)
    assert rc == 0
    for q, row in zip(queries, batch):
        assert bits(kernel.eval_all(q)[1]) == bits(row)
    weights = [core.gkm_kernel_base_weight(kernel.base, m) for m in range(d + 1)]
    ref_kernel = reference.ReferenceKernel(L, k, d, use_rc=use_rc, weights=weights)
    assert batch == ref_kernel.eval_batch(texts, refs)


def test_query_sharing_nothing_scores_zero(core, make_core_kernel):
    kernel = make_core_kernel(L=4, k=4, d=0)
    kernel.add("AAAAAAA")
    kernel.add("CCCCCCC")
    kernel.finalize()
    assert kernel.eval_all(kernel.query("GGGGGGG")) == (0, [0.0, 0.0])


# ---- thread counts ------------------------------------------------------------------------

THREAD_SCRIPT = textwrap.dedent(
    """
    import random, struct, sys
    sys.path.insert(0, sys.argv[1])
    import core_ctypes
    from seqgen import random_dna
    core = core_ctypes.load_core(sys.argv[2])
    nthreads = int(sys.argv[3])
    rng = random.Random(5)
    kernel = core.gkm_kernel_create(core_ctypes.params(L=8, k=5, d=2, use_rc=1, nthreads=nthreads))
    base = core.gkm_kernel_base(kernel)
    for _ in range(25):
        seq = core.gkm_sequence_create(base, random_dna(rng, rng.randint(8, 200)).encode(), None)
        core.gkm_kernel_base_add_sequence(base, seq)
    assert core.gkm_kernel_finalize(kernel) == 0
    queries = [core.gkm_sequence_create(base, random_dna(rng, rng.randint(8, 300)).encode(), None)
               for _ in range(40)]
    res = core_ctypes.double_buffer(40 * 25)
    rc = core.gkm_kernel_eval_batch(kernel, core_ctypes.seq_array(queries), 40, res)
    sys.stdout.write("%d %s" % (rc, struct.pack("1000d", *res).hex()))
    for q in queries:
        core.gkm_sequence_free(q)
    core.gkm_kernel_destroy(kernel)
    """
)


def _batch_in_subprocess(gkmkern, nthreads):
    # a fresh process, so a thread count the runtime cannot honour cannot take the test run down
    out = subprocess.run(
        [sys.executable, "-c", THREAD_SCRIPT, str(TESTS_DIR), gkmkern.__file__, str(nthreads)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert out.returncode == 0, (nthreads, out.returncode, out.stderr[-2000:])
    rc, payload = out.stdout.split()
    return int(rc), payload


def test_thread_count_does_not_change_a_bit(gkmkern):
    rc, single = _batch_in_subprocess(gkmkern, 1)
    assert rc == 0
    for nthreads in (0, -3, 2, 7, 10**6):
        assert _batch_in_subprocess(gkmkern, nthreads) == (0, single), nthreads


@pytest.mark.parametrize("other_L", [3, 12])
def test_sequence_encoded_for_another_L_is_refused(core, make_core_kernel, other_L):
    kernel = make_core_kernel(L=8, k=4, d=2)
    other = make_core_kernel(L=other_L, k=2, d=1)
    kernel.add("ACGTACGTTTGCA")
    foreign = other.query("ACGTACGTTTGCAA")
    assert core.gkm_kernel_base_add_sequence(kernel.base, foreign) == -1
    assert kernel.n_seqs() == 1
    assert kernel.finalize() == 0
    own = kernel.query("ACGTACGTTTGCA")
    assert kernel.eval_all(foreign) == (-1, [0.0])
    rc, rows = kernel.eval_batch([own, foreign, own])
    # A failed batch leaves no row of a result behind, the own queries' included.
    assert rc == -1 and rows == [[0.0]] * 3
