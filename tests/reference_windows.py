"""Brute-force sliding windows, written independently of the native core.

A window is the clipped substring of a sequence, compared as a sequence of its
own with the plain brute-force kernel of reference.py. Window arithmetic uses
Python integers, so it cannot overflow whatever the window, shift and padding.
"""

from reference import ReferenceKernel, normalise

MAX_WINDOW_INDEX = 1_000_000  # indices 0 .. 1,000,000: at most 1,000,001 windows


def window_extents(seqlen, window, shift, pad_left, pad_right, L):
    """(start, eff_start, eff_len) of every window the enumeration visits, in order."""
    if shift < 1:
        return []
    if pad_left > 0 and window - pad_left < L:
        return []
    if pad_right > 0 and window - pad_right < L:
        return []
    extents = []
    for w in range(MAX_WINDOW_INDEX + 1):
        start = w * shift - pad_left
        end = start + window
        eff_start = max(start, 0)
        eff_len = min(end, seqlen) - eff_start
        if eff_len < L:
            if start >= seqlen - L + 1:
                break
            continue
        if end > seqlen + pad_right:
            break
        extents.append((start, eff_start, eff_len))
    return extents


def window_texts(text, extents):
    return [text[s : s + n] for _, s, n in extents]


class WindowReference:
    """Window kernels of a regular kernel, computed from substrings."""

    def __init__(self, L, k, d, use_rc=0, scheme=0, weights=None):
        self.kernel = ReferenceKernel(L, k, d, scheme, use_rc, weights)
        self.L = L

    def extents(self, seqlen, window, shift, pad_left, pad_right):
        return window_extents(seqlen, window, shift, pad_left, pad_right, self.L)

    def block(self, q_texts, r_texts):
        """Normalised matrix of window texts against window texts."""
        kern = self.kernel
        r_norms = [kern.sqnorm(r) for r in r_texts]
        rows = []
        for q in q_texts:
            nq = kern.sqnorm(q)
            rows.append([normalise(kern.value(q, r), nq, nr) for r, nr in zip(r_texts, r_norms)])
        return rows

    def cross_window(self, queries, refs, window, shift, pad_left, pad_right):
        """[w][i][j]: window w of query i against window w of reference j."""
        extents = self.extents(len(queries[0]), window, shift, pad_left, pad_right)
        q_windows = [window_texts(q, extents) for q in queries]
        r_windows = [window_texts(r, extents) for r in refs]
        return [
            self.block([qw[w] for qw in q_windows], [rw[w] for rw in r_windows])
            for w in range(len(extents))
        ]

    def self_window(self, seqs, window, shift, pad_left, pad_right):
        return self.cross_window(seqs, seqs, window, shift, pad_left, pad_right)

    def sliding_query(self, query, refs, window, shift, pad_left, pad_right):
        """[w][j]: window w of the query against the whole reference j."""
        extents = self.extents(len(query), window, shift, pad_left, pad_right)
        return [self.block([text], refs)[0] for text in window_texts(query, extents)]
