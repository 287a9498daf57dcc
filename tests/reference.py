"""Brute-force gapped k-mer kernel, written independently of the native core.

Everything here is plain Python: no tree, no lookup table. Every query L-mer
is compared with every partner L-mer by Hamming distance and the weighted
pair counts are binned by mismatch count. The functions take explicit
per-L-mer weight lists so that positional and windowed variants can reuse them.

Conventions shared with the core:
  * texts are cut to their first MAX_SEQLEN bases, case-folded, and must be
    made of A, C, G, T only;
  * the query contributes its forward L-mers; the reference contributes its
    forward L-mers and, with use_rc, the L-mers of its reverse complement;
  * a kernel value is sum over m = 0..d, in increasing m, of weights[m] times
    the profile entry for m; normalised values are value / (nb * na), or 0.0
    when either norm is not positive.
"""

import math
from collections import defaultdict

MAX_SEQLEN = 2047
N_WEIGHTS = 13
TRUNCATION_LIMIT = 1e-50

WEIGHT_FULL = 0
WEIGHT_TRUNCATED = 1
WEIGHT_ESTIMATED_FULL = 2

_COMPLEMENT = {"A": "T", "C": "G", "G": "C", "T": "A"}
_BASE_BITS = {"A": 0, "C": 1, "G": 2, "T": 3}


# ---- sequences ---------------------------------------------------------------


def encode(text, L):
    """Clipped, upper-case text as the core stores it, or None when rejected."""
    if len(text) < L:
        return None
    clipped = text[:MAX_SEQLEN].upper()
    if any(c not in _COMPLEMENT for c in clipped):
        return None
    return clipped


def revcomp(seq):
    return "".join(_COMPLEMENT[c] for c in reversed(seq))


def lmers(seq, L):
    """The L-mers of one strand, by start position."""
    return [seq[i : i + L] for i in range(len(seq) - L + 1)]


def lmer_id(lmer):
    """Base-4 value of an L-mer, A = 0 .. T = 3, first base most significant."""
    value = 0
    for c in lmer:
        value = value * 4 + _BASE_BITS[c]
    return value


def _low_bit_mask(L):
    return int("01" * L, 2)


def hamming(id_a, id_b, L):
    """Positions at which two L-mer ids differ (any bit of a base pair set)."""
    x = id_a ^ id_b
    return ((x | (x >> 1)) & _low_bit_mask(L)).bit_count()


def hamming_text(a, b):
    return sum(1 for x, y in zip(a, b) if x != y)


# ---- L-mer sets with weights -------------------------------------------------


def unit_weights(seq, L):
    return [1] * (len(seq) - L + 1)


def query_lmers(seq, L, wt=None):
    """Forward L-mers of a query with their weights (1 when not given)."""
    words = lmers(seq, L)
    return words, list(wt) if wt is not None else [1] * len(words)


def partner_lmers(seq, L, use_rc, wt=None, wt_rc=None):
    """L-mers a reference offers: forward strand, then its reverse complement.

    wt_rc is indexed by position on the reverse-complement strand, whose
    L-mer l covers the forward window that starts at nkmers - 1 - l.
    """
    words, weights = query_lmers(seq, L, wt)
    if use_rc:
        rc_words = lmers(revcomp(seq), L)
        words = words + rc_words
        weights = weights + (list(wt_rc) if wt_rc is not None else [1] * len(rc_words))
    return words, weights


def _summed_by_id(words, weights):
    totals = defaultdict(int)
    for word, w in zip(words, weights):
        totals[lmer_id(word)] += w
    return totals


def mismatch_profile(q_words, q_weights, r_words, r_weights, L, d):
    """profile[m] = sum of wq * wr over pairs (q, r) at Hamming distance m <= d.

    Equal L-mers are merged first (their weights summed); with integer
    weights every entry is an exact integer.
    """
    profile = [0] * (d + 1)
    q_totals = _summed_by_id(q_words, q_weights)
    r_totals = _summed_by_id(r_words, r_weights)
    for qid, wq in q_totals.items():
        for rid, wr in r_totals.items():
            m = hamming(qid, rid, L)
            if m <= d:
                profile[m] += wq * wr
    return profile


def reduce_profile(profile, weights):
    """Sum of weights[m] * profile[m], in increasing m, starting from 0.0."""
    total = 0.0
    for m, count in enumerate(profile):
        total += count * weights[m]
    return total


def profile_scale(profile, weights):
    """Sum of |weights[m] * profile[m]|: the size rounding errors scale with."""
    return sum(abs(count * weights[m]) for m, count in enumerate(profile))


def pair_profile(q, r, L, d, use_rc, q_wt=None, r_wt=None, r_wt_rc=None):
    """Mismatch profile of query text q against reference text r (both encoded)."""
    q_words, q_weights = query_lmers(q, L, q_wt)
    r_words, r_weights = partner_lmers(r, L, use_rc, r_wt, r_wt_rc)
    return mismatch_profile(q_words, q_weights, r_words, r_weights, L, d)


def self_profile(s, L, d, use_rc, wt=None, wt_rc=None):
    """Profile of a sequence with itself, its forward L-mers as the query side."""
    return pair_profile(s, s, L, d, use_rc, wt, wt, wt_rc)


def norm_from_self_value(value):
    """Square root of a self-kernel value; 0.0 when it is negative."""
    if value < 0:
        return 0.0
    return math.sqrt(value)


def normalise(value, norm_q, norm_r):
    if norm_q > 0 and norm_r > 0:
        return value / (norm_r * norm_q)
    return 0.0


# ---- L-mer weight tables -----------------------------------------------------


def _comb(n, r):
    return float(math.comb(n, r)) if 0 <= r <= n else 0.0


def full_weights(L, k):
    """C(L - m, k) for m = 0..L, zero-padded to 13 slots."""
    table = [0.0] * N_WEIGHTS
    for m in range(L + 1):
        table[m] = float(math.comb(L - m, k))
    return table


def _count_table_coefficients(L, k):
    """Row k of the level recursion after L levels, divided by C(L, k) * 4^L.

    Two (k+1) x (k+1) tables start filled with 1.0; each level writes one of
    them from the other, row 0 is never written.
    """
    tables = [[[1.0] * (k + 1) for _ in range(k + 1)] for _ in range(2)]
    current = 0
    for level in range(1, L + 1):
        previous, current = current, 1 - current
        prev, cur = tables[previous], tables[current]
        for row in range(1, k + 1):
            cur[row][0] = prev[row - 1][0] * 3 + prev[row][0]
            for col in range(1, row + 1):
                cur[row][col] = (cur[row - 1][col - 1] * (row - level)) / row
    last = tables[current]
    scale = _comb(L, k) * math.pow(4.0, L)
    return [last[k][j] / scale for j in range(k + 1)]


def _filter_values(L, k, coefficients):
    values = []
    for m in range(L + 1):
        total = 0.0
        for j in range(min(m, k) + 1):
            total += coefficients[j] * _comb(L - m, k - j) * _comb(m, j)
        values.append(total)
    return values


def _truncate(values):
    """Zero from the first value below the limit onward (NaN is not below)."""
    kept = []
    keep = True
    for v in values:
        if v < TRUNCATION_LIMIT:
            keep = False
        kept.append(v if keep else 0.0)
    return kept


def _self_convolution(L, filt):
    """For each mismatch count o of two L-mers, sum over all L-mers z of
    filt[dist(z, first)] * filt[dist(z, second)], counted combinatorially."""
    table = [0.0] * N_WEIGHTS
    for o in range(L, -1, -1):
        shared = L - o
        acc = 0.0
        for m1 in range(L + 1):
            for m2 in range(L + 1):
                for t in range(m1, m1 - L - 1, -1):
                    p = 2 * t - m1 + m2 - o
                    if m1 - t <= shared and t <= o and p <= t and p >= 0:
                        acc += (
                            math.pow(3.0, m1 - t)
                            * (_comb(shared, m1 - t) * _comb(o, t) * _comb(t, p))
                            * math.pow(2.0, p)
                            * filt[m1]
                            * filt[m2]
                        )
        table[o] = acc
    return table


def estimated_weights(L, k, truncated):
    filt = _filter_values(L, k, _count_table_coefficients(L, k))
    if truncated:
        filt = _truncate(filt)
    return _self_convolution(L, filt)


def weight_table(L, k, scheme):
    """The 13-slot table a kernel with these parameters holds."""
    if scheme == WEIGHT_TRUNCATED:
        return estimated_weights(L, k, True)
    if scheme == WEIGHT_ESTIMATED_FULL:
        return estimated_weights(L, k, False)
    return full_weights(L, k)


# ---- texts with non-ACGT characters left out ---------------------------------


def clean_lmers(text, L):
    """L-mers of text made of A, C, G, T only (upper case), by start position."""
    text = text.upper()
    return [text[i : i + L] for i in range(len(text) - L + 1) if set(text[i : i + L]) <= set("ACGT")]


def masked_profile(q, r, L, d, use_rc):
    """Profile of q against r where every L-mer covering a non-ACGT character is left out."""
    rc = "".join(_COMPLEMENT.get(c, "N") for c in reversed(r.upper()))
    partners = clean_lmers(r, L) + (clean_lmers(rc, L) if use_rc else [])
    words = clean_lmers(q, L)
    return mismatch_profile(words, [1] * len(words), partners, [1] * len(partners), L, d)


def masked_value(q, r, weights, L, d, use_rc):
    """Normalised kernel value of q and r with non-ACGT L-mers left out everywhere."""
    value = reduce_profile(masked_profile(q, r, L, d, use_rc), weights)
    nq = norm_from_self_value(reduce_profile(masked_profile(q, q, L, d, use_rc), weights))
    nr = norm_from_self_value(reduce_profile(masked_profile(r, r, L, d, use_rc), weights))
    return normalise(value, nq, nr)


# ---- whole kernels -----------------------------------------------------------


class ReferenceKernel:
    """Brute-force counterpart of a regular kernel with stored references."""

    def __init__(self, L, k, d, scheme=WEIGHT_FULL, use_rc=0, weights=None):
        self.L, self.k, self.d, self.use_rc = L, k, d, 1 if use_rc else 0
        self.weights = list(weights) if weights is not None else weight_table(L, k, scheme)

    def encode(self, text):
        seq = encode(text, self.L)
        if seq is None:
            raise ValueError("text cannot be encoded for L=%d" % self.L)
        return seq

    def pair_profile(self, q_text, r_text):
        return pair_profile(self.encode(q_text), self.encode(r_text), self.L, self.d, self.use_rc)

    def self_value(self, text):
        s = self.encode(text)
        return reduce_profile(self_profile(s, self.L, self.d, self.use_rc), self.weights)

    def sqnorm(self, text):
        return norm_from_self_value(self.self_value(text))

    def value(self, q_text, r_text):
        """Unnormalised K(q, r)."""
        return reduce_profile(self.pair_profile(q_text, r_text), self.weights)

    def eval_batch(self, queries, refs):
        """Normalised rows, one per query, one column per reference."""
        ref_norms = [self.sqnorm(r) for r in refs]
        rows = []
        for q in queries:
            nq = self.sqnorm(q)
            rows.append([normalise(self.value(q, r), nq, nr) for r, nr in zip(refs, ref_norms)])
        return rows
