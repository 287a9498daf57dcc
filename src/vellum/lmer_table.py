"""A fitted regular model as one table of L-mer weights.

A regular kernel value is a sum of ``w[m(u, v)]`` over the forward L-mers u
of one sequence and the L-mers v of both strands of the other, divided by
the two self-norms. A model's decision value is therefore

    f(x) = intercept + (1 / ||x||) * sum over forward L-mers v of x of T[v]

with T = W s: s sums each support sequence's L-mers (both strands), scaled
by its dual coefficient over its norm, and W[u, v] = w[m(u, v)]. The core
applies W through the Walsh-Hadamard basis, in which it is diagonal, so one
table costs a few passes over 4**L doubles. Scoring a sequence then reads
one table entry per L-mer; windows and substitutions change a few of them.
It does not hold for the positional kernel, whose weights depend on where
an L-mer sits.
"""
from __future__ import annotations

from typing import Sequence

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from . import _gkmkern

# Code of each byte: A/C/G/T in either case 0..3, anything else -1.
_BASE_CODES = np.full(256, -1, dtype=np.int8)
for _code, _base in enumerate("ACGT"):
    _BASE_CODES[ord(_base)] = _BASE_CODES[ord(_base.lower())] = _code


def base_codes(text: str) -> np.ndarray:
    """Bases of text as codes 0..3 (A, C, G, T, either case), -1 for any other character."""
    try:
        raw = np.frombuffer(text.encode("ascii"), dtype=np.uint8)
    except UnicodeEncodeError:
        points = np.frombuffer(text.encode("utf-32-le"), dtype=np.uint32)
        raw = np.where(points < 128, points, 0).astype(np.uint8)
    return _BASE_CODES[raw]


def lmer_codes(bases: np.ndarray, L: int) -> np.ndarray:
    """Code of every L-mer of a base-code array (int32; -1 where it covers a
    non-ACGT base): two bits a base, the first most significant."""
    n = len(bases) - L + 1
    if n <= 0:
        return np.empty(0, dtype=np.int32)
    clean = np.maximum(bases, 0).astype(np.int32)
    codes = np.zeros(n, dtype=np.int32)
    for offset in range(L):
        codes <<= 2
        codes |= clean[offset : offset + n]
    invalid = np.concatenate(([0], np.cumsum(bases < 0)))
    codes[invalid[L:] - invalid[:n] > 0] = -1
    return codes


def joined_lmer_codes(texts: Sequence[str], L: int) -> tuple[np.ndarray, np.ndarray]:
    """The L-mer codes of every text, concatenated, and the offsets (n + 1)
    where each text's codes start: read from the texts joined, so that many
    short texts cost one pass."""
    lengths = np.array([len(text) for text in texts], dtype=np.int64)
    counts = np.maximum(lengths - L + 1, 0)
    bounds = np.zeros(len(texts) + 1, dtype=np.int64)
    np.cumsum(counts, out=bounds[1:])
    joined = lmer_codes(base_codes("".join(texts)), L)
    text_starts = np.cumsum(lengths) - lengths
    # The k-th L-mer of text i starts at base text_starts[i] + k of the join.
    positions = np.repeat(text_starts - bounds[:-1], counts) + np.arange(bounds[-1])
    return joined[positions], bounds


def reverse_complements(codes: np.ndarray, L: int) -> np.ndarray:
    """Codes of the reverse complements of L-mer codes (all valid)."""
    complement = codes ^ ((1 << (2 * L)) - 1)
    reverse = np.zeros_like(codes)
    for _ in range(L):
        reverse = (reverse << 2) | (complement & 3)
        complement = complement >> 2
    return reverse


class EncodedSet:
    """Sequences as their forward L-mer codes and self-norms, for scoring
    against a table.

    Parameters
    ----------
    texts : list of str
        Sequences (checked by the caller).
    L : int
        Word length.
    weights : sequence of float
        The kernel's weight of each mismatch count, 0..d.
    use_rc : bool
        Whether the kernel counts reverse complements.
    """

    def __init__(self, texts: Sequence[str], L: int, weights: Sequence[float], use_rc: bool):
        self.codes, self.bounds = joined_lmer_codes(texts, L)
        self.norms = np.empty(len(texts))
        _gkmkern.lmer_norms(self.codes, self.bounds, L, list(weights), bool(use_rc), out=self.norms)
        valid = self.codes >= 0
        self.owner = np.repeat(np.arange(len(texts)), np.diff(self.bounds))[valid]
        self.valid_codes = self.codes[valid]
        self.valid_bounds = np.searchsorted(self.owner, np.arange(len(texts) + 1))

    def __len__(self) -> int:
        return len(self.norms)

    def inverse_norms(self) -> np.ndarray:
        """1 / norm, 0 where the norm is not positive (such a sequence scores 0)."""
        out = np.zeros_like(self.norms)
        np.divide(1.0, self.norms, out=out, where=self.norms > 0)
        return out

    def lmers_of(self, indices: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The valid L-mer codes of the sequences at indices, and which of
        those sequences (a position in indices) each belongs to."""
        starts, stops = self.valid_bounds[indices], self.valid_bounds[np.asarray(indices) + 1]
        counts = stops - starts
        position = np.repeat(np.arange(len(counts)), counts)
        offsets = np.arange(counts.sum()) - np.repeat(np.cumsum(counts) - counts, counts)
        return self.valid_codes[np.repeat(starts, counts) + offsets], position

    def sums(self, table: np.ndarray) -> np.ndarray:
        """Sum of the table's entries over each sequence's forward L-mers."""
        return slice_sums(lmer_values(table, self.codes), self.bounds[:-1], self.bounds[1:])


class LmerTable:
    """The table T of a fitted regular model and the scores it gives.

    Parameters
    ----------
    L : int
        Word length.
    weights : sequence of float
        The kernel's weight of each mismatch count, 0..d.
    use_rc : bool
        Whether the kernel counts reverse complements.
    table : ndarray of shape (4**L,)
        T, indexed by L-mer code.
    """

    def __init__(self, L: int, weights: Sequence[float], use_rc: bool, table: np.ndarray):
        self.L = L
        self.weights = list(weights)
        self.use_rc = bool(use_rc)
        self.table = table

    @classmethod
    def from_support(
        cls, L: int, weights: Sequence[float], use_rc: bool, support: Sequence[str], coef: np.ndarray, nthreads: int = 1
    ) -> "LmerTable":
        """The table of support sequences with these dual coefficients."""
        encoded = EncodedSet(support, L, weights, use_rc)
        table = empty_table(L)
        scale = np.asarray(coef, dtype=np.float64) * encoded.inverse_norms()
        accumulate_lmers(table, encoded.valid_codes, scale[encoded.owner], L, use_rc)
        _gkmkern.lmer_table_transform(table, list(weights), nthreads=nthreads)
        return cls(L, weights, use_rc, table)

    def encode(self, texts: Sequence[str]) -> EncodedSet:
        return EncodedSet(texts, self.L, self.weights, self.use_rc)

    def scores(self, texts: Sequence[str]) -> np.ndarray:
        """Decision values minus the intercept: one per sequence."""
        encoded = self.encode(texts)
        return _divide(encoded.sums(self.table), encoded.norms)

    def window_scores(self, text: str, window: int, shift: int) -> np.ndarray:
        """Score of every window [w * shift, w * shift + window) of text
        (which may be shorter than the window: then there are none)."""
        n_windows = (len(text) - window) // shift + 1 if len(text) >= window else 0
        if n_windows == 0:
            return np.empty(0)
        codes = lmer_codes(base_codes(text[: (n_windows - 1) * shift + window]), self.L)
        per_window = window - self.L + 1
        starts = np.arange(n_windows, dtype=np.int64) * shift
        # Summed as a sequence of the window's own text is, so that each
        # window scores bitwise what decision values give for that text.
        sums = slice_sums(lmer_values(self.table, codes), starts, starts + per_window)
        norms = np.empty(n_windows)
        _gkmkern.lmer_sliding_norms(codes, self.L, self.weights, self.use_rc, per_window, shift, out=norms)
        return _divide(sums, norms)

    def mutant_scores(self, text: str) -> tuple[float, np.ndarray]:
        """Score of text and of each single-base substitution.

        Returns
        -------
        score : float
        mutants : ndarray of shape (4, len(text))
            Row b (A, C, G, T), column i: the score of text with base i
            replaced by b.
        """
        L = self.L
        bases = base_codes(text)
        codes = lmer_codes(bases, L)
        values = lmer_values(self.table, codes)
        total = values.sum()
        sums = np.full((4, len(text)), total)
        # Any base read as A, and the count of non-ACGT bases, per L-mer: a
        # substitution at one offset rewrites two bits and may clear the only one.
        clean = lmer_codes(np.maximum(bases, 0), L)
        invalid = sliding_window_view((bases < 0).astype(np.int32), L).sum(axis=1)
        substitutes = np.arange(4, dtype=np.int32)[:, None]
        for offset in range(L):
            bits = 2 * (L - 1 - offset)
            at = bases[offset : offset + len(codes)]
            mutated = (clean & ~np.int32(3 << bits)) | (substitutes << bits)
            mutated[:, invalid - (at < 0) > 0] = -1
            sums[:, offset : offset + len(codes)] += lmer_values(self.table, mutated) - values
        norms = np.empty((4, len(text)))
        _gkmkern.lmer_mutant_norms(bases, L, self.weights, self.use_rc, out=norms)
        return _divide(np.array([total]), self._norms_of(codes))[0], _divide(sums, norms)

    def _norms_of(self, codes: np.ndarray) -> np.ndarray:
        """The self-norm of one sequence's L-mer codes, as an array of one."""
        norm = np.empty(1)
        _gkmkern.lmer_norms(codes, np.array([0, len(codes)], dtype=np.int64), self.L, self.weights, self.use_rc, out=norm)
        return norm

    def contributions(self, text: str) -> np.ndarray:
        """Per-base share of the score: each L-mer's T / ||x|| split equally
        among its L bases, so the shares sum to the score."""
        codes = lmer_codes(base_codes(text), self.L)
        [norm] = self._norms_of(codes)
        if not norm > 0:
            return np.zeros(len(text))
        return np.convolve(lmer_values(self.table, codes), np.ones(self.L)) / (self.L * norm)

    def __reduce__(self):
        return (type(self), (self.L, self.weights, self.use_rc, self.table))


def lmer_values(table: np.ndarray, codes: np.ndarray) -> np.ndarray:
    """The table's entry of each L-mer code, 0 for those left out (-1)."""
    return np.where(codes >= 0, table[np.maximum(codes, 0)], 0.0)


def slice_sums(values: np.ndarray, starts: np.ndarray, stops: np.ndarray) -> np.ndarray:
    """Sum of values[start:stop] for each pair (stop > start), each slice
    added up the same way wherever it lies."""
    padded = np.append(values, 0.0)
    bounds = np.empty(2 * len(starts), dtype=np.int64)
    bounds[0::2], bounds[1::2] = starts, stops
    return np.add.reduceat(padded, bounds)[0::2] if len(bounds) else np.zeros(0)


def empty_table(L: int) -> np.ndarray:
    """A zeroed table of 4**L doubles; MemoryError naming its size when it does not fit."""
    try:
        return np.zeros(4**L)
    except MemoryError:
        raise MemoryError(
            f"the L-mer table of L={L} needs {4**L * 8 / 2**20:,.0f} MiB (4**{L} doubles), which could not be allocated"
        ) from None


def accumulate_lmers(table: np.ndarray, codes: np.ndarray, amounts: np.ndarray, L: int, use_rc: bool) -> None:
    """Add amounts[i] at the L-mer codes[i], and with use_rc at its reverse complement too."""
    # Unbuffered adds touch only the entries named, not a second table.
    np.add.at(table, codes, amounts)
    if use_rc:
        np.add.at(table, reverse_complements(codes, L), amounts)


def _divide(sums: np.ndarray, norms: np.ndarray) -> np.ndarray:
    """sums / norms, 0 where the norm is not positive, as the kernel gives."""
    out = np.zeros(np.shape(sums))
    np.divide(sums, norms, out=out, where=norms > 0)
    return out
