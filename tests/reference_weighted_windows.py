"""Brute-force weighted windows, written independently of the native core.

A window is the clipped substring of each sequence, scored as a sequence of
its own by the brute-force weighted kernel of reference_weighted.py with one
centre: the middle of the nominal window, counted from the substring's first
base. Every substring of one window has the same length and hence the same
positional weights. Window arithmetic uses Python integers.
"""

from reference_weighted import ReferenceWeightedKernel
from reference_windows import window_extents, window_texts


def window_centre(start, eff_start, window):
    """Middle of the nominal window, seen from the clipped window's first base."""
    return (start - eff_start) + (window - 1) / 2


class WeightedWindowReference:
    """Windowed evaluations of a weighted kernel; every value is a pair
    (normalised value, size of the rounding error it may carry)."""

    def __init__(self, L, k, d, scheme=0, use_rc=0, pos_kernel=0, gamma=1.0, sigma=50.0, peak=50.0):
        self.kernel = ReferenceWeightedKernel(L, k, d, scheme, use_rc, pos_kernel, gamma, sigma, peak)
        self.L = L

    def extents(self, seqlen, window, shift, pad_left, pad_right):
        return window_extents(seqlen, window, shift, pad_left, pad_right, self.L)

    def _blocks(self, queries, refs, window, extents):
        q_windows = [window_texts(q, extents) for q in queries]
        r_windows = [window_texts(r, extents) for r in refs]
        blocks = []
        for w, (start, eff_start, _) in enumerate(extents):
            centre = window_centre(start, eff_start, window)
            q_texts = [qw[w] for qw in q_windows]
            r_texts = [rw[w] for rw in r_windows]
            blocks.append(self.kernel.eval_cross(q_texts, r_texts, [centre])[0])
        return blocks

    def self_window(self, seqs, window, shift, pad_left, pad_right):
        """[w][i][j]: window w of sequence i against window w of sequence j."""
        extents = self.extents(len(seqs[0]), window, shift, pad_left, pad_right)
        return self._blocks(seqs, seqs, window, extents)

    def sliding_query(self, query, refs, window, shift, pad_left, pad_right):
        """[w][j]: window w of the query against the same positions of reference j."""
        extents = self.extents(len(query), window, shift, pad_left, pad_right)
        return [block[0] for block in self._blocks([query], refs, window, extents)]
