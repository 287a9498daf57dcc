"""Brute-force positionally weighted gapped k-mer kernel.

For a centre c every L-mer gets the weight w_c = peak * p(midpoint - c), with
the midpoint of the L-mer starting at j at j + (L - 1) / 2. The kernel value
of x and y sums, over every forward L-mer u of x and every L-mer v of y
(forward, plus reverse-complement ones with use_rc) at Hamming distance
m <= d, w_c(u) * w_c(v) * weights[m]; a reverse-complement L-mer takes the
weight of the forward L-mer covering the same bases. Values are normalised by
the weighted self-norms at the same centre.
"""

import math

from reference import (
    _COMPLEMENT,
    encode,
    lmers,
    mismatch_profile,
    norm_from_self_value,
    normalise,
    pair_profile,
    profile_scale,
    reduce_profile,
    weight_table,
)

POS_TRIANGULAR = 0
POS_EPANECHNIKOV = 1
POS_GAUSSIAN = 2
POS_LAPLACIAN = 3
POS_CAUCHY = 4
POS_KINDS = (POS_TRIANGULAR, POS_EPANECHNIKOV, POS_GAUSSIAN, POS_LAPLACIAN, POS_CAUCHY)


def pos_profile(dist, kind, gamma, sigma):
    """Profile value at signed distance dist from the centre, without peak."""
    ad = abs(dist)
    if kind == POS_TRIANGULAR:
        return 0.0 if ad >= sigma else 1.0 - ad / sigma
    if kind == POS_EPANECHNIKOV:
        return 0.0 if ad >= sigma else 1.0 - (ad * ad) / (sigma * sigma)
    if kind == POS_GAUSSIAN:
        return math.exp(-(dist * dist) / (2.0 * sigma * sigma))
    if kind == POS_LAPLACIAN:
        return math.exp(-gamma * ad)
    if kind == POS_CAUCHY:
        return 1.0 / (1.0 + (dist * dist) / (sigma * sigma))
    return 1.0


def pos_weights(nkmers, L, center, kind, gamma, sigma, peak):
    """Forward weights by start position and reverse-complement weights by
    position on the reverse strand (mirrored)."""
    wt = [peak * pos_profile(j + (L - 1) / 2 - center, kind, gamma, sigma) for j in range(nkmers)]
    return wt, wt[::-1]


class ReferenceWeightedKernel:
    """Centred evaluations of a weighted kernel, computed pair by pair."""

    def __init__(self, L, k, d, scheme=0, use_rc=0, pos_kernel=POS_TRIANGULAR, gamma=1.0, sigma=50.0, peak=50.0):
        self.L, self.d, self.use_rc = L, d, 1 if use_rc else 0
        self.weights = weight_table(L, k, scheme)
        self.pos = (pos_kernel, gamma, sigma, peak)

    def _weights(self, seq, center):
        return pos_weights(len(seq) - self.L + 1, self.L, center, *self.pos)

    def value(self, x, y, center):
        """(unnormalised K_c(x, y), the size its rounding errors scale with)."""
        wx, _ = self._weights(x, center)
        wy, wy_rc = self._weights(y, center)
        prof = pair_profile(x, y, self.L, self.d, self.use_rc, wx, wy, wy_rc)
        return reduce_profile(prof, self.weights), profile_scale(prof, self.weights)

    def norm(self, x, center):
        """(weighted self-norm, the size of its self value's rounding error)."""
        value, scale = self.value(x, x, center)
        return norm_from_self_value(value), scale

    def eval_cross(self, queries, refs, centers):
        """[c][i][j] -> (normalised value, error scale)."""
        queries = [encode(q, self.L) for q in queries]
        refs = [encode(r, self.L) for r in refs]
        out = []
        for c in centers:
            q_norms = [self.norm(q, c) for q in queries]
            r_norms = [self.norm(r, c) for r in refs]
            out.append([[self._normalised(q, r, c, qn, rn) for r, rn in zip(refs, r_norms)]
                        for q, qn in zip(queries, q_norms)])
        return out

    def masked_value(self, x, y, center):
        """Normalised K_c(x, y) with every L-mer covering a non-ACGT character left out."""
        return normalise(self._masked(x, y, center), norm_from_self_value(self._masked(x, x, center)),
                         norm_from_self_value(self._masked(y, y, center)))

    def _masked(self, x, y, center):
        x, y = x.upper(), y.upper()
        wx, _ = self._weights(x, center)
        wy, wy_rc = self._weights(y, center)
        q = _clean(lmers(x, self.L), wx)
        r = _clean(lmers(y, self.L), wy)
        if self.use_rc:
            r += _clean(lmers("".join(_COMPLEMENT.get(c, "N") for c in reversed(y)), self.L), wy_rc)
        prof = mismatch_profile([w for w, _ in q], [wt for _, wt in q], [w for w, _ in r], [wt for _, wt in r],
                                self.L, self.d)
        return reduce_profile(prof, self.weights)

    def eval_self(self, seqs, centers):
        return self.eval_cross(seqs, seqs, centers)

    def _normalised(self, q, r, c, q_norm, r_norm):
        value, scale = self.value(q, r, c)
        (nq, nq_scale), (nr, nr_scale) = q_norm, r_norm
        result = normalise(value, nq, nr)
        if result == 0.0:
            return result, 0.0
        # Relative error of the quotient: that of the value plus half that of each squared norm.
        rel = scale / abs(value) + 0.5 * nq_scale / (nq * nq) + 0.5 * nr_scale / (nr * nr)
        return result, abs(result) * rel


def _clean(words, weights):
    """(word, weight) of the words made of A, C, G, T only."""
    return [(w, wt) for w, wt in zip(words, weights) if set(w) <= set("ACGT")]
