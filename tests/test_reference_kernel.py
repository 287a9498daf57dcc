"""Kernel.eval_batch and Sequence.sqnorm against the brute-force reference.

Full weights are integers and, with unit L-mer weights, every profile entry
is an integer count, so unnormalised kernel values are exact integers on both
sides; the normalised values must then agree bit for bit when formed the same
way, value / (nb * na). The estimated schemes are checked bit for bit against
the reference reduced with the kernel's own weight table (the profiles are
still exact counts), and to 1e-12 of the rounding scale with the reference's
independently computed table.
"""

import functools
import random

import pytest

import reference
from seqgen import mixed_case, mutate, random_dna

TOLERANCE = 1e-12


@functools.lru_cache(maxsize=None)
def dataset(L):
    """References and queries for one L: several lengths (down to exactly L),
    mixed case, repeats, near copies and reverse complements."""
    gen = random.Random(7000 + L)
    refs = [
        random_dna(gen, L),
        random_dna(gen, L + 1),
        random_dna(gen, 37),
        mixed_case(gen, random_dna(gen, 64)),
        random_dna(gen, 90),
        "A" * 25,
        "ACGT" * 8,
    ]
    queries = [
        mutate(gen, refs[2], 2),
        mutate(gen, reference.revcomp(refs[4]), 1),
        random_dna(gen, L),
        random_dna(gen, 50).lower(),
        refs[3].upper(),
        ("ACGT" * 8)[: max(L, 22)],
        mutate(gen, refs[6], 1),
        "T" * (L + 2),
    ]
    return tuple(refs), tuple(queries)


@functools.lru_cache(maxsize=None)
def histograms(L, use_rc):
    """Brute-force mismatch profiles over every count 0..L (truncated per d later)."""
    refs, queries = dataset(L)
    enc = {t: reference.encode(t, L) for t in refs + queries}
    pair = [[reference.pair_profile(enc[q], enc[r], L, L, use_rc) for r in refs] for q in queries]
    self_ = {t: reference.self_profile(enc[t], L, L, use_rc) for t in enc}
    return pair, self_


def kd_cases(L):
    if L >= 11:
        # every kernel of these sizes allocates a tree of 4^L leaves: keep few
        yield from [(1, 0), (1, L - 1), (L // 2, (L - L // 2) // 2), (L, 0)]
        return
    for k in sorted(x for x in {1, 2, (L + 1) // 2, L - 1, L} if 1 <= x <= L):
        for d in sorted(x for x in {0, 1, (L - k) // 2, L - k} if 0 <= x <= L - k):
            yield k, d


CASES = [
    pytest.param(L, k, d, scheme, use_rc, id="L%d-k%d-d%d-s%d-rc%d" % (L, k, d, scheme, use_rc))
    for L in range(2, 13)
    for k, d in kd_cases(L)
    for scheme in (0, 1, 2)
    for use_rc in (0, 1)
]


def kernel_weights(kernel, d):
    return [kernel.weight(m) for m in range(d + 1)]


def built_kernel(gkmkern, L, k, d, scheme, use_rc, refs):
    kernel = gkmkern.Kernel(L=L, k=k, d=d, weight_scheme=scheme, use_rc=use_rc)
    for r in refs:
        kernel.add_sequence(r)
    kernel.finalize()
    return kernel


def exact_rows(pair, self_, refs, queries, weights, d):
    """Normalised reference rows, reduced with the given weights."""

    def norm(text):
        return reference.norm_from_self_value(reference.reduce_profile(self_[text][: d + 1], weights))

    ref_norms = [norm(r) for r in refs]
    rows = []
    for qi, q in enumerate(queries):
        nq = norm(q)
        rows.append(
            [
                reference.normalise(reference.reduce_profile(pair[qi][j][: d + 1], weights), nq, nr)
                for j, nr in enumerate(ref_norms)
            ]
        )
    return rows


def mismatches(got_rows, want_rows, queries, refs):
    return [
        (q, r, g, w)
        for q, got, want in zip(queries, got_rows, want_rows)
        for r, g, w in zip(refs, got, want)
        if g != w
    ]


@pytest.mark.parametrize("L, k, d, scheme, use_rc", CASES)
def test_eval_batch_and_sqnorm_match_brute_force(gkmkern, L, k, d, scheme, use_rc):
    refs, queries = dataset(L)
    pair, self_ = histograms(L, use_rc)
    kernel = built_kernel(gkmkern, L, k, d, scheme, use_rc, refs)
    weights = kernel_weights(kernel, d)
    rows = kernel.eval_batch(list(queries))

    # norms and rows reduced with the kernel's own table: bit for bit
    for text in refs + queries:
        want = reference.norm_from_self_value(reference.reduce_profile(self_[text][: d + 1], weights))
        assert gkmkern.Sequence(kernel, text).sqnorm() == want, text
    want_rows = exact_rows(pair, self_, refs, queries, weights, d)
    assert mismatches(rows, want_rows, queries, refs) == []

    own = reference.weight_table(L, k, scheme)[: d + 1]
    if scheme == reference.WEIGHT_FULL:
        assert weights == own
        # the unnormalised integers behind every value
        for text in refs + queries:
            sq = gkmkern.Sequence(kernel, text).sqnorm()
            assert round(sq * sq) == reference.reduce_profile(self_[text][: d + 1], own), text
        return
    for m, (w_core, w_own) in enumerate(zip(weights, own)):
        assert abs(w_core - w_own) <= TOLERANCE * max(abs(x) for x in own), (m, w_core, w_own)
    own_rows = exact_rows(pair, self_, refs, queries, own, d)
    for qi, q in enumerate(queries):
        nq = gkmkern.Sequence(kernel, q).sqnorm()
        for j, r in enumerate(refs):
            nr = gkmkern.Sequence(kernel, r).sqnorm()
            scale = reference.profile_scale(pair[qi][j][: d + 1], own) / (nq * nr) if nq > 0 and nr > 0 else 0.0
            assert abs(rows[qi][j] - own_rows[qi][j]) <= TOLERANCE * scale + 1e-300, (q, r)


@pytest.mark.parametrize("L, k, d, use_rc", [(3, 2, 1, 0), (3, 1, 2, 1), (4, 2, 2, 1), (4, 3, 1, 0)])
def test_texts_beyond_2047_bases_are_cut(gkmkern, L, k, d, use_rc):
    gen = random.Random(99 + L)
    long_ref = random_dna(gen, 2600) + "N" + random_dna(gen, 399)
    long_query = mixed_case(gen, random_dna(gen, 2047)) + "xyz!" * 100
    refs = [long_ref, random_dna(gen, 300)]
    queries = [long_query, long_query[:2047], long_ref[:2047], random_dna(gen, 2047)]
    kernel = built_kernel(gkmkern, L, k, d, 0, use_rc, refs)
    assert [gkmkern.Sequence(kernel, t).length() for t in queries[:3]] == [2047] * 3

    ref_kernel = reference.ReferenceKernel(L, k, d, use_rc=use_rc)
    rows = kernel.eval_batch(queries)
    assert rows == ref_kernel.eval_batch(queries, refs)
    assert rows[0] == rows[1]
    assert rows[2][0] == pytest.approx(1.0, rel=1e-14)
    for text in refs + queries:
        assert gkmkern.Sequence(kernel, text).sqnorm() == ref_kernel.sqnorm(text)


@pytest.mark.parametrize("use_rc", [0, 1])
@pytest.mark.parametrize("L, k, d", [(10, 6, 3), (12, 7, 5)])
def test_long_text_scores_as_its_first_2047_bases(gkmkern, L, k, d, use_rc):
    gen = random.Random(L)
    text = random_dna(gen, 2047)
    refs = [mutate(gen, text[500:1500], 40), random_dna(gen, 700), text[1800:]]
    kernel = built_kernel(gkmkern, L, k, d, 0, use_rc, refs)
    rows = kernel.eval_batch([text + "ACGT" * 300, text, text.lower() + "-"])
    assert rows[0] == rows[1] == rows[2]
    assert rows[0][0] > 0 and rows[0][2] > 0


@pytest.mark.parametrize("L", [2, 5, 8, 9, 12])
def test_lower_case_encodes_like_upper_case(gkmkern, L):
    gen = random.Random(L)
    refs = [random_dna(gen, 40) for _ in range(3)]
    queries = [random_dna(gen, 30) for _ in range(3)]
    upper = built_kernel(gkmkern, L, 1, L - 1, 0, 1, refs)
    lower = built_kernel(gkmkern, L, 1, L - 1, 0, 1, [r.lower() for r in refs])
    assert upper.eval_batch(queries) == lower.eval_batch([q.lower() for q in queries])
    assert upper.eval_batch(queries) == upper.eval_batch([mixed_case(gen, q) for q in queries])


def test_reference_hamming_agrees_with_text_comparison():
    gen = random.Random(3)
    for L in range(2, 13):
        for _ in range(200):
            a, b = random_dna(gen, L), mutate(gen, random_dna(gen, L), gen.randint(0, L))
            assert reference.hamming(reference.lmer_id(a), reference.lmer_id(b), L) == reference.hamming_text(a, b)


@pytest.mark.parametrize("use_rc", [0, 1])
@pytest.mark.parametrize("L, k, d", [(2, 1, 1), (8, 3, 5), (12, 1, 11), (12, 12, 0)])
def test_full_length_repetitive_sequences(gkmkern, L, k, d, use_rc):
    # few distinct L-mers but up to 2046 of each: large exact counts
    texts = ["A" * 2047, ("AC" * 1024)[:2047], ("ACGTT" * 410)[:2047], ("GATC" * 512) + "GG", "ACGT" * 3]
    kernel = built_kernel(gkmkern, L, k, d, 0, use_rc, texts)
    ref_kernel = reference.ReferenceKernel(L, k, d, use_rc=use_rc)
    for text in texts:
        assert gkmkern.Sequence(kernel, text).sqnorm() == ref_kernel.sqnorm(text), text[:12]
    assert kernel.eval_batch(texts) == ref_kernel.eval_batch(texts, texts)
