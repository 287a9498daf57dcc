"""Native L-mer weight tables and L-mer self-norms against plain-Python brute
force and against the self-norms of encoded sequences (bit for bit)."""

import random

import numpy as np
import pytest

from vellum import _gkmkern

BASES = "ACGT"


def lmer_codes(text, L):
    """Forward L-mer codes of text, -1 where an L-mer covers a non-ACGT character."""
    codes = []
    for a in range(len(text) - L + 1):
        word = text[a : a + L]
        code = 0
        for ch in word:
            code = code * 4 + BASES.index(ch) if ch in BASES else -1
            if code < 0:
                break
        codes.append(code)
    return codes


def mismatches(u, v, L):
    return sum(((u >> 2 * p) & 3) != ((v >> 2 * p) & 3) for p in range(L))


def reverse_complement(code, L):
    return sum((3 - ((code >> 2 * p) & 3)) << 2 * (L - 1 - p) for p in range(L))


def brute_norm(codes, L, weights, use_rc):
    """sqrt of the weighted count of ordered pairs, forward against both strands."""
    d = len(weights) - 1
    fwd = [c for c in codes if c >= 0]
    partners = fwd + ([reverse_complement(c, L) for c in fwd] if use_rc else [])
    counts = [0] * (d + 1)
    for u in fwd:
        for v in partners:
            m = mismatches(u, v, L)
            if m <= d:
                counts[m] += 1
    total = 0.0
    for m in range(d + 1):
        total += float(counts[m]) * weights[m]
    return 0.0 if total < 0 else total**0.5


def kernel_weights(L, k, d, scheme, use_rc):
    kernel = _gkmkern.Kernel(L=L, k=k, d=d, weight_scheme=scheme, use_rc=use_rc)
    return kernel, [kernel.weight(m) for m in range(d + 1)]


def random_text(rng, n, invalid_rate=0.0):
    return "".join("N" if rng.random() < invalid_rate else rng.choice(BASES) for _ in range(n))


def norms_of(code_lists, L, weights, use_rc, nthreads=1):
    codes = np.array([c for cs in code_lists for c in cs], dtype=np.int32)
    bounds = np.cumsum([0] + [len(cs) for cs in code_lists]).astype(np.int64)
    out = np.full(len(code_lists), -7.0)
    _gkmkern.lmer_norms(codes, bounds, L, weights, use_rc, out=out, nthreads=nthreads)
    return out


def mismatch_matrix(L):
    """m(u, v) for every pair of codes, vectorised over the low bit of each base pair."""
    u = np.arange(4**L)
    x = u[:, None] ^ u[None, :]
    y = (x | (x >> 1)) & 0x555555
    return sum((y >> 2 * p) & 1 for p in range(L))


# ---- lmer_table_transform ---------------------------------------------------


@pytest.mark.parametrize("L", [2, 3, 4, 5])
@pytest.mark.parametrize("n_weights", [1, 2, 4, 12])
def test_transform_is_the_weight_matrix_product(L, n_weights):
    rng = np.random.default_rng(L * 100 + n_weights)
    weights = rng.uniform(-1, 2, n_weights)
    m = mismatch_matrix(L)
    W = np.where(m < n_weights, np.append(weights, np.zeros(13))[m], 0.0)
    s = rng.standard_normal(4**L)
    table = s.copy()
    _gkmkern.lmer_table_transform(table, list(weights))
    scale = np.abs(s).sum() * np.abs(weights).max()
    assert np.abs(table - W @ s).max() <= 1e-12 * scale


def test_transform_of_a_single_lmer_is_its_weight_column_on_any_thread_count():
    L, weights = 8, [3.0, 1.5, 0.25, 0.125]
    u = 0b1001110001011011
    table = np.zeros(4**L)
    table[u] = 1.0
    _gkmkern.lmer_table_transform(table, weights, nthreads=2)
    v = np.arange(4**L)
    y = ((u ^ v) | ((u ^ v) >> 1)) & 0x5555
    m = sum((y >> 2 * p) & 1 for p in range(L))
    assert np.abs(table - np.where(m <= 3, np.append(weights, np.zeros(13))[m], 0.0)).max() < 1e-13
    s = np.random.default_rng(5).standard_normal(4**L)
    one, two = s.copy(), s.copy()
    _gkmkern.lmer_table_transform(one, weights, nthreads=1)
    _gkmkern.lmer_table_transform(two, weights, nthreads=2)
    assert np.array_equal(one, two)


# ---- lmer_norms ----------------------------------------------------------------

NORM_CASES = [
    # L, k, d, weight scheme, use_rc, invalid rate
    (3, 2, 1, 0, True, 0.0),
    (4, 2, 2, 1, False, 0.1),
    (5, 3, 2, 2, True, 0.15),
    (6, 4, 2, 0, True, 0.05),
    (7, 2, 5, 0, False, 0.0),
    (8, 5, 3, 1, True, 0.1),
]


@pytest.mark.parametrize("L,k,d,scheme,use_rc,invalid", NORM_CASES)
def test_norms_equal_sequence_norms_bit_for_bit(L, k, d, scheme, use_rc, invalid):
    rng = random.Random(L * 31 + d)
    kernel, weights = kernel_weights(L, k, d, scheme, use_rc)
    texts = [random_text(rng, rng.randint(L, 70), invalid) for _ in range(5)]
    code_lists = [lmer_codes(t, L) for t in texts]
    got = norms_of(code_lists, L, weights, use_rc)
    assert list(got) == [_gkmkern.Sequence(kernel, t, skip_invalid=True).sqnorm() for t in texts]
    assert list(got) == [brute_norm(cs, L, weights, use_rc) for cs in code_lists]
    assert np.array_equal(norms_of(code_lists, L, weights, use_rc, nthreads=2), got)


def test_norms_of_empty_and_all_left_out_runs_are_zero():
    out = norms_of([[], [-1, -1], [5, -1]], 3, [1.0, 0.5], True)
    assert list(out) == [0.0, 0.0, brute_norm([5], 3, [1.0, 0.5], True)]


# ---- lmer_sliding_norms ----------------------------------------------------------


@pytest.mark.parametrize(
    "L,d,use_rc,per_window,shift",
    [(4, 1, True, 20, 1), (5, 2, False, 12, 2), (6, 3, True, 30, 7), (6, 2, True, 8, 8), (10, 3, True, 91, 1)],
)
def test_sliding_norms_equal_norms_of_each_window(L, d, use_rc, per_window, shift):
    rng = random.Random(per_window * 7 + shift)
    _, weights = kernel_weights(L, max(1, L - d), d, 0, use_rc)
    codes = lmer_codes(random_text(rng, 160, 0.03), L)
    n_windows = (len(codes) - per_window) // shift + 1
    out = np.full(n_windows, -7.0)
    _gkmkern.lmer_sliding_norms(np.array(codes, np.int32), L, weights, use_rc, per_window, shift, out=out)
    windows = [codes[w * shift : w * shift + per_window] for w in range(n_windows)]
    assert np.array_equal(out, norms_of(windows, L, weights, use_rc))


def test_sliding_norms_of_a_window_matching_brute_force():
    L, weights = 3, [2.0, 0.5, 0.25]
    codes = [1, 63, -1, 17, 1, 40, 22, -1, 9, 8]
    out = np.zeros(3)
    _gkmkern.lmer_sliding_norms(np.array(codes, np.int32), L, weights, True, 6, 2, out=out)
    assert list(out) == [brute_norm(codes[s : s + 6], L, weights, True) for s in (0, 2, 4)]


# ---- lmer_mutant_norms -------------------------------------------------------------


def mutant_norms(text, L, weights, use_rc, flat=False):
    bases = np.array([BASES.index(ch) if ch in BASES else -1 for ch in text], dtype=np.int8)
    out = np.full(4 * len(text) if flat else (4, len(text)), -7.0)
    _gkmkern.lmer_mutant_norms(bases, L, weights, use_rc, out=out)
    return out.reshape(4, len(text))


@pytest.mark.parametrize(
    "L,k,d,use_rc,invalid",
    [(3, 2, 1, True, 0.0), (4, 2, 2, False, 0.1), (5, 2, 3, True, 0.1), (6, 3, 3, True, 0.0), (7, 4, 2, False, 0.05)],
)
def test_mutant_norms_equal_norms_of_every_mutant(L, k, d, use_rc, invalid):
    rng = random.Random(L * 13 + d)
    kernel, weights = kernel_weights(L, k, d, 0, use_rc)
    text = random_text(rng, 40, invalid)
    got = mutant_norms(text, L, weights, use_rc, flat=L % 2 == 1)
    mutants = [[text[:i] + b + text[i + 1 :] for i in range(len(text))] for b in BASES]
    expected = [norms_of([lmer_codes(t, L) for t in row], L, weights, use_rc) for row in mutants]
    assert np.array_equal(got, np.array(expected))
    for i in rng.sample(range(len(text)), 4):
        b = rng.randrange(4)
        assert got[b, i] == _gkmkern.Sequence(kernel, mutants[b][i], skip_invalid=True).sqnorm()


def test_mutating_the_only_invalid_base_of_lmers_makes_them_count():
    L, weights, text = 3, [1.0, 0.5], "ACNGTTA"
    got = mutant_norms(text, L, weights, True)
    for b, base in enumerate(BASES):
        assert got[b, 2] == brute_norm(lmer_codes(text[:2] + base + text[3:], L), L, weights, True)
        assert got[b, 2] > brute_norm(lmer_codes(text, L), L, weights, True)


def test_mutant_norms_of_a_sequence_shorter_than_L_are_zero():
    assert np.array_equal(mutant_norms("ACG", 4, [1.0], True), np.zeros((4, 3)))


# ---- lmer_table_add and lmer_table_sums --------------------------------------------


def random_runs(rng, L, n_runs, invalid_rate):
    """Codes of n_runs random texts (some shorter than L, some with N) and their bounds."""
    code_lists = [lmer_codes(random_text(rng, rng.randrange(0, 30), invalid_rate), L) for _ in range(n_runs)]
    codes = np.array([c for cs in code_lists for c in cs], dtype=np.int32)
    return code_lists, codes, np.cumsum([0] + [len(cs) for cs in code_lists]).astype(np.int64)


@pytest.mark.parametrize("L, use_rc", [(2, True), (3, False), (5, True)])
def test_add_and_sums_match_brute_force_on_any_thread_count(L, use_rc):
    rng = random.Random(L)
    code_lists, codes, bounds = random_runs(rng, L, 40, 0.1)
    amounts = np.array([rng.choice([0.0, rng.uniform(-2, 2)]) for _ in code_lists])
    expected = [0.0] * 4**L
    for run, amount in zip(code_lists, amounts):
        for c in (c for c in run if c >= 0):
            expected[c] += amount
            if use_rc:
                expected[reverse_complement(c, L)] += amount
    tables = []
    for nthreads in (1, 2, 3):
        table = np.zeros(4**L)
        _gkmkern.lmer_table_add(table, codes, bounds, amounts, use_rc, nthreads=nthreads)
        tables.append(table)
    np.testing.assert_allclose(tables[0], expected, rtol=1e-12, atol=1e-12)
    assert all(np.array_equal(tables[0], other) for other in tables[1:])
    starts = np.array([rng.randrange(0, len(codes) + 1) for _ in range(30)], dtype=np.int64)
    stops = np.array([rng.randrange(a, len(codes) + 1) for a in starts], dtype=np.int64)
    sums = [np.full(30, -7.0) for _ in range(2)]
    for nthreads, out in zip((1, 2), sums):
        _gkmkern.lmer_table_sums(tables[0], codes, starts, stops, out=out, nthreads=nthreads)
    brute = [sum(tables[0][c] for c in codes[a:b] if c >= 0) for a, b in zip(starts, stops)]
    np.testing.assert_allclose(sums[0], brute, rtol=1e-12, atol=1e-12)
    assert np.array_equal(sums[0], sums[1])


@pytest.mark.parametrize("L", [2, 7, 12])
def test_codes_of_many_texts_match_brute_force_on_any_thread_count(L):
    rng = random.Random(L)
    texts = [random_text(rng, rng.choice([0, L - 1, L, L + 1, 40, 700]), rng.choice([0.0, 0.05])) for _ in range(300)]
    bases = np.array([BASES.index(ch) if ch in BASES else -1 for ch in "".join(texts)], np.int8)
    bounds = np.cumsum([0] + [len(t) for t in texts]).astype(np.int64)
    expected = [c for t in texts for c in lmer_codes(t, L)]
    for nthreads in (1, 2, 3):
        out = np.full(len(expected), -7, np.int32)
        _gkmkern.lmer_codes(bases, bounds, L, out=out, nthreads=nthreads)
        assert out.tolist() == expected


@pytest.mark.parametrize("L, use_rc", [(2, True), (4, False), (4, True), (5, True)])
def test_owner_lists_give_the_added_table_bit_for_bit(L, use_rc):
    rng = random.Random(10 * L + use_rc)
    code_lists, codes, bounds = random_runs(rng, L, 30, 0.1)
    if use_rc and L % 2 == 0:  # palindromes (their own complements) at both ends of the runs
        palindrome = int("0" * (L // 2) + "3" * (L // 2), 4)
        code_lists = [[palindrome] + run + [palindrome] for run in code_lists]
        codes = np.array([c for run in code_lists for c in run], np.int32)
        bounds = np.cumsum([0] + [len(run) for run in code_lists]).astype(np.int64)
        assert reverse_complement(palindrome, L) == palindrome
    lists = []
    for nthreads in (1, 2, 3):
        offsets = np.full(4**L + 1, -7, np.int64)
        owners = np.full(sum(c >= 0 for c in codes), -7, np.int32)
        _gkmkern.lmer_owners(codes, bounds, L, use_rc, offsets=offsets, owners=owners, nthreads=nthreads)
        lists.append((offsets, owners))
    for other in lists[1:]:
        assert all(np.array_equal(x, y) for x, y in zip(lists[0], other))
    offsets, owners = lists[0]
    expected = {}
    for i, run in enumerate(code_lists):
        for c in (c for c in run if c >= 0):
            expected.setdefault(min(c, reverse_complement(c, L)) if use_rc else c, []).append(i)
    assert {u: owners[offsets[u] : offsets[u + 1]].tolist() for u in range(4**L) if offsets[u + 1] > offsets[u]} == {
        u: sorted(runs) for u, runs in expected.items()
    }
    amounts = np.array([rng.uniform(-2, 2) for _ in code_lists])
    added = np.zeros(4**L)
    _gkmkern.lmer_table_add(added, codes, bounds, amounts, use_rc)
    for nthreads in (1, 2, 3):
        table = np.full(4**L, np.nan)
        _gkmkern.lmer_table_of_owners(table, offsets, owners, amounts, use_rc, nthreads=nthreads)
        assert np.array_equal(table, added)


# ---- bad arguments ---------------------------------------------------------------------

CODES = np.array([0, 5, -1, 63], np.int32)
BOUNDS = np.array([0, 2, 4], np.int64)


def call_codes(**changes):
    args = dict(bases=np.array([0, 1, -1, 3, 2], np.int8), bounds=np.array([0, 3, 5], np.int64), L=2,
                out=np.zeros(3, np.int32))
    args.update(changes)
    return _gkmkern.lmer_codes(**args)


def call_norms(**changes):
    args = dict(codes=CODES, bounds=BOUNDS, L=3, weights=[1.0, 0.5], use_rc=True, out=np.zeros(2))
    args.update(changes)
    return _gkmkern.lmer_norms(**args)


def call_sliding(**changes):
    args = dict(codes=CODES, L=3, weights=[1.0], use_rc=False, lmers_per_window=2, shift=1, out=np.zeros(3))
    args.update(changes)
    return _gkmkern.lmer_sliding_norms(**args)


def call_mutants(**changes):
    args = dict(bases=np.array([0, 1, -1, 3], np.int8), L=2, weights=[1.0], use_rc=True, out=np.zeros((4, 4)))
    args.update(changes)
    return _gkmkern.lmer_mutant_norms(**args)


def call_transform(**changes):
    args = dict(table=np.zeros(16), weights=[1.0])
    args.update(changes)
    return _gkmkern.lmer_table_transform(**args)


def call_add(**changes):
    args = dict(table=np.zeros(64), codes=CODES, bounds=BOUNDS, amounts=np.ones(2), use_rc=True)
    args.update(changes)
    return _gkmkern.lmer_table_add(**args)


def call_sums(**changes):
    args = dict(table=np.zeros(64), codes=CODES, starts=np.array([0, 1], np.int64), stops=np.array([2, 4], np.int64),
                out=np.zeros(2))
    args.update(changes)
    return _gkmkern.lmer_table_sums(**args)


def call_owners(**changes):
    args = dict(codes=CODES, bounds=BOUNDS, L=3, use_rc=True, offsets=np.zeros(65, np.int64),
                owners=np.zeros(3, np.int32))
    args.update(changes)
    return _gkmkern.lmer_owners(**args)


def call_of_owners(**changes):
    offsets = np.zeros(65, np.int64)
    offsets[5:] = 2
    args = dict(table=np.zeros(64), offsets=offsets, owners=np.array([0, 1], np.int32), amounts=np.ones(2), use_rc=True)
    args.update(changes)
    return _gkmkern.lmer_table_of_owners(**args)


OUT_SHAPES = {call_codes: 3, call_norms: 2, call_sliding: 3, call_mutants: (4, 4), call_sums: 2, call_of_owners: 64}


@pytest.mark.parametrize(
    "call,changes,error,message",
    [
        (call_transform, dict(table=np.zeros(32)), ValueError,
         "table must hold 4**L values for some L in 2..12, not 32"),
        (call_transform, dict(table=np.zeros(4)), ValueError, "table must hold 4**L values for some L in 2..12, not 4"),
        (call_transform, dict(table=np.zeros(16, np.float32)), TypeError,
         "table must hold float64 values, not format 'f'"),
        (call_transform, dict(table=np.zeros(32)[::2]), ValueError, "table must be C-contiguous"),
        (call_transform, dict(table=np.zeros((4, 4))), ValueError, "table must be one-dimensional, not 2-dimensional"),
        (call_transform, dict(table=[0.0] * 16), TypeError, "table must be a writable float64 buffer such as a NumPy array, not list"),
        (call_transform, dict(weights=[]), ValueError, "weights must hold 1 to 12 values, not 0"),
        (call_transform, dict(weights=[1.0] * 13), ValueError, "weights must hold 1 to 12 values, not 13"),
        (call_transform, dict(weights=[1.0, "x"]), TypeError, "weights[1] must be a float, not str"),
        (call_transform, dict(weights=3.0), TypeError, "weights must be a sequence of floats"),
        (call_transform, dict(nthreads=0), ValueError, "nthreads must be at least 1, not 0"),
        (call_norms, dict(L=13), ValueError, "L must be in 2..12, not 13"),
        (call_norms, dict(L=1), ValueError, "L must be in 2..12, not 1"),
        (call_norms, dict(codes=np.array([0, 64], np.int32), bounds=np.array([0, 2], np.int64), out=np.zeros(1)),
         ValueError, "codes[1] = 64 is not an L-mer code for L = 3 (expected -1 or 0..4**L - 1)"),
        (call_norms, dict(codes=np.array([-2], np.int32), bounds=np.array([0, 1], np.int64), out=np.zeros(1)),
         ValueError, "codes[0] = -2 is not an L-mer code"),
        (call_norms, dict(codes=CODES.astype(np.int64)), TypeError, "codes must hold int32 values, not format 'l'"),
        (call_norms, dict(bounds=BOUNDS.astype(np.int32)), TypeError, "bounds must hold int64 values, not format 'i'"),
        (call_norms, dict(bounds=np.array([0, 3, 2], np.int64)), ValueError,
         "bounds[2] = 2: bounds must be non-decreasing offsets within [0, len(codes) = 4]"),
        (call_norms, dict(bounds=np.array([0, 2, 5], np.int64)), ValueError, "bounds[2] = 5"),
        (call_norms, dict(bounds=np.array([-1, 2, 4], np.int64)), ValueError, "bounds[0] = -1"),
        (call_norms, dict(bounds=np.zeros(0, np.int64), out=np.zeros(0)), ValueError,
         "bounds must hold at least one offset"),
        (call_norms, dict(out=np.zeros(3)), ValueError, "out must hold len(bounds) - 1 = 2 values, not 3"),
        (call_norms, dict(out=np.zeros(2, np.int64)), TypeError, "out must hold float64 values"),
        (call_norms, dict(out=None), TypeError, "out must be a writable float64 buffer such as a NumPy array, not NoneType"),
        (call_sliding, dict(out=np.zeros(4)), ValueError,
         "out has 4 windows but codes holds 4 L-mers: (len(out) - 1) * shift + lmers_per_window must not exceed"),
        (call_sliding, dict(lmers_per_window=5, out=np.zeros(1)), ValueError, "out has 1 windows but codes holds 4"),
        (call_sliding, dict(shift=2, out=np.zeros(3)), ValueError, "out has 3 windows"),
        (call_sliding, dict(lmers_per_window=0), ValueError, "lmers_per_window must be at least 1, not 0"),
        (call_sliding, dict(shift=0), ValueError, "shift must be at least 1, not 0"),
        (call_sliding, dict(codes=np.array([0, 64, 0, 0], np.int32)), ValueError, "codes[1] = 64"),
        (call_mutants, dict(bases=np.array([0, 4], np.int8), out=np.zeros((4, 2))), ValueError,
         "bases[1] = 4 is not a base code (expected -1..3)"),
        (call_mutants, dict(bases=np.array([0, 1], np.int32), out=np.zeros((4, 2))), TypeError,
         "bases must hold int8 values, not format 'i'"),
        (call_mutants, dict(out=np.zeros((4, 5))), ValueError, "out must have shape (4, 4) or (16,)"),
        (call_mutants, dict(out=np.zeros(15)), ValueError, "out must have shape (4, 4) or (16,)"),
        (call_mutants, dict(out=np.zeros((4, 8))[:, ::2]), ValueError, "out must be C-contiguous"),
        (call_mutants, dict(weights=[0.5] * 13), ValueError, "weights must hold 1 to 12 values, not 13"),
        (call_add, dict(table=np.zeros(63)), ValueError, "table must hold 4**L values for some L in 2..12, not 63"),
        (call_add, dict(table=np.zeros(16)), ValueError, "codes[3] = 63 is not an L-mer code for L = 2"),
        (call_add, dict(amounts=np.ones(3)), ValueError, "amounts must hold len(bounds) - 1 = 2 values, not 3"),
        (call_add, dict(amounts=np.ones(2, np.float32)), TypeError, "amounts must hold float64 values"),
        (call_add, dict(bounds=np.array([0, 5, 4], np.int64)), ValueError, "bounds[1] = 5"),
        (call_add, dict(nthreads=0), ValueError, "nthreads must be at least 1, not 0"),
        (call_sums, dict(stops=np.array([2, 5], np.int64)), ValueError,
         "slice 1 = [1, 5) does not lie within [0, len(codes) = 4] with start <= stop"),
        (call_sums, dict(starts=np.array([3, 1], np.int64)), ValueError, "slice 0 = [3, 2) does not lie within"),
        (call_sums, dict(starts=np.array([-1, 1], np.int64)), ValueError, "slice 0 = [-1, 2) does not lie within"),
        (call_sums, dict(stops=np.array([2], np.int64)), ValueError,
         "stops must hold len(starts) = 2 values, not 1"),
        (call_sums, dict(out=np.zeros(3)), ValueError, "out must hold len(starts) = 2 values, not 3"),
        (call_sums, dict(codes=np.array([0, 64, 0, 0], np.int32)), ValueError, "codes[1] = 64"),
        (call_owners, dict(offsets=np.zeros(64, np.int64)), ValueError,
         "offsets must hold 4**L + 1 = 65 values, not 64"),
        (call_owners, dict(owners=np.zeros(6, np.int32)), ValueError,
         "owners must hold one value per valid code = 3 values, not 6"),
        (call_owners, dict(nthreads=0), ValueError, "nthreads must be at least 1, not 0"),
        (call_codes, dict(bases=np.array([0, 1, -2, 3, 2], np.int8)), ValueError,
         "bases[2] = -2 is not a base code (expected -1..3)"),
        (call_codes, dict(out=np.zeros(4, np.int32)), ValueError,
         "out must hold the L-mers of the texts = 3 values, not 4"),
        (call_codes, dict(bounds=np.array([0, 3, 6], np.int64)), ValueError,
         "bounds[2] = 6: bounds must be non-decreasing offsets within [0, len(bases) = 5]"),
        (call_codes, dict(out=np.zeros(3, np.int64)), TypeError, "out must hold int32 values"),
        (call_codes, dict(L=13), ValueError, "L must be in 2..12, not 13"),
        (call_owners, dict(owners=None), TypeError, "owners must be a writable int32 buffer such as a NumPy array"),
        (call_of_owners, dict(owners=np.array([0, 2], np.int32)), ValueError,
         "owners[1] = 2 is not an index into amounts (len 2)"),
        (call_of_owners, dict(offsets=np.arange(65, dtype=np.int64) % 3), ValueError,
         "offsets[3] = 0: offsets must rise from 0 to len(owners) = 2 without falling"),
        (call_of_owners, dict(offsets=np.zeros(65, np.int64)), ValueError,
         "offsets[64] = 0: offsets must rise from 0 to len(owners) = 2 without falling"),
        (call_of_owners, dict(offsets=np.r_[np.ones(64, np.int64), 2]), ValueError,
         "offsets[0] = 1: offsets must rise from 0 to len(owners) = 2 without falling"),
        (call_of_owners, dict(offsets=np.zeros(64, np.int64)), ValueError,
         "offsets must hold len(table) + 1 = 65 values, not 64"),
    ],
)
def test_bad_arguments_name_the_argument(call, changes, error, message):
    with pytest.raises(error) as info:
        call(**changes)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize(
    "call,changes",
    [
        (call_codes, dict(bases=np.array([0, 1, 5, 3, 2], np.int8))),
        (call_norms, dict(bounds=np.array([0, 3, 2], np.int64))),
        (call_sliding, dict(shift=0)),
        (call_sliding, dict(codes=np.array([0, 64, 0, 0], np.int32))),
        (call_mutants, dict(bases=np.array([0, 4, 0, 0], np.int8))),
        (call_sums, dict(stops=np.array([2, 5], np.int64))),
        (call_of_owners, dict(owners=np.array([0, 2], np.int32))),
    ],
)
def test_out_is_untouched_on_rejected_arguments(call, changes):
    name = "table" if call is call_of_owners else "out"
    out = np.full(OUT_SHAPES[call], -7, dtype=np.int32 if call is call_codes else np.float64)
    with pytest.raises(ValueError):
        call(**{name: out}, **changes)
    assert (out == -7).all()


@pytest.mark.parametrize("call", [call_norms, call_sliding, call_mutants, call_transform, call_add, call_sums])
def test_read_only_outputs_are_refused(call):
    name = "table" if call in (call_transform, call_add) else "out"
    target = np.zeros(OUT_SHAPES.get(call, 64 if call is call_add else 16))
    target.flags.writeable = False
    with pytest.raises(ValueError, match="^%s is read-only$" % name):
        call(**{name: target})


@pytest.mark.parametrize("function", ["lmer_norms", "lmer_sliding_norms", "lmer_mutant_norms"])
def test_out_is_required(function):
    positional = {
        "lmer_norms": (CODES, BOUNDS, 3, [1.0], True),
        "lmer_sliding_norms": (CODES, 3, [1.0], True, 2, 1),
        "lmer_mutant_norms": (np.zeros(3, np.int8), 2, [1.0], True),
    }[function]
    with pytest.raises(TypeError, match=r"^%s\(\) missing required keyword-only argument: 'out'$" % function):
        getattr(_gkmkern, function)(*positional)


def test_weights_cannot_change_under_the_call():
    weights = [1.0, None, 0.25]

    class Emptying:
        def __float__(self):
            weights.clear()
            return 0.5

    weights[1] = Emptying()
    table, expected = np.zeros(4**3), np.zeros(4**3)
    table[5] = expected[5] = 1.0
    _gkmkern.lmer_table_transform(table, weights)
    _gkmkern.lmer_table_transform(expected, [1.0, 0.5, 0.25])
    assert np.array_equal(table, expected)
