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

from dataclasses import dataclass
from typing import Sequence

import numpy as np

from . import _gkmkern
from .kernels import window_count

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
    codes = np.empty(max(len(bases) - L + 1, 0), dtype=np.int32)
    _gkmkern.lmer_codes(bases, np.array([0, len(bases)], dtype=np.int64), L, out=codes)
    return codes


def _codes_reading_invalid_as_a(bases: np.ndarray, L: int) -> np.ndarray:
    """The L-mer codes with every non-ACGT base read as A."""
    n = max(len(bases) - L + 1, 0)
    clean = np.maximum(bases, 0).astype(np.int32)
    codes = np.zeros(n, dtype=np.int32)
    for offset in range(L):
        codes <<= 2
        codes |= clean[offset : offset + n]
    return codes


def _invalid_counts(bases: np.ndarray, L: int) -> np.ndarray:
    """Non-ACGT bases covered by each L-mer."""
    n = max(len(bases) - L + 1, 0)
    invalid = bases < 0
    if not invalid.any():  # clean DNA, the usual input: nothing to count
        return np.zeros(n, dtype=np.int64)
    before = np.concatenate(([0], np.cumsum(invalid)))
    return before[L : L + n] - before[:n]


def joined_lmer_codes(texts: Sequence[str], L: int, nthreads: int = 1) -> tuple[np.ndarray, np.ndarray]:
    """The L-mer codes of every text, concatenated, and the offsets (n + 1)
    where each text's codes start."""
    lengths = np.fromiter(map(len, texts), dtype=np.int64, count=len(texts))
    text_bounds = np.zeros(len(texts) + 1, dtype=np.int64)
    np.cumsum(lengths, out=text_bounds[1:])
    bounds = np.zeros(len(texts) + 1, dtype=np.int64)
    np.cumsum(np.maximum(lengths - L + 1, 0), out=bounds[1:])
    codes = np.empty(bounds[-1], dtype=np.int32)
    # One text of them all, so that many short texts cost one pass.
    _gkmkern.lmer_codes(base_codes("".join(texts)), text_bounds, L, out=codes, nthreads=nthreads)
    return codes, bounds


@dataclass(frozen=True)
class LmerKernel:
    """What a table needs of a regular kernel: the word length, the weight of
    each mismatch count 0..d, and whether reverse complements count."""

    L: int
    weights: tuple[float, ...]
    use_rc: bool

    @classmethod
    def of(cls, kernel) -> "LmerKernel":
        """That of a regular :class:`vellum.GkmKernel`."""
        native = kernel.native()
        return cls(kernel.L, tuple(native.weight(m) for m in range(kernel.d + 1)), bool(kernel.use_rc))

    def norms(self, codes: np.ndarray, bounds: np.ndarray, nthreads: int = 1) -> np.ndarray:
        """Self-norm of each run codes[bounds[i]:bounds[i + 1]] of forward L-mer codes."""
        out = np.empty(len(bounds) - 1)
        _gkmkern.lmer_norms(codes, bounds, self.L, self.weights, self.use_rc, out=out, nthreads=nthreads)
        return out

    def norm(self, codes: np.ndarray) -> float:
        """Self-norm of one sequence's forward L-mer codes."""
        return float(self.norms(codes, np.array([0, len(codes)], dtype=np.int64))[0])


class EncodedSet:
    """Sequences as their forward L-mer codes and self-norms, for scoring
    against a table.

    Parameters
    ----------
    texts : list of str
        Sequences (checked by the caller).
    kernel : LmerKernel
    nthreads : int
        Threads of the codes and self-norms.
    """

    def __init__(self, texts: Sequence[str], kernel: LmerKernel, nthreads: int = 1):
        self.kernel = kernel
        self.codes, self.bounds = joined_lmer_codes(texts, kernel.L, nthreads)
        self.norms = kernel.norms(self.codes, self.bounds, nthreads)

    def __len__(self) -> int:
        return len(self.norms)

    def inverse_norms(self) -> np.ndarray:
        """1 / norm, 0 where the norm is not positive (such a sequence scores 0)."""
        return _divide(np.ones_like(self.norms), self.norms)

    def add_to(self, table: np.ndarray, amounts: np.ndarray, nthreads: int = 1) -> None:
        """Add amounts[i] to the table at every L-mer of sequence i (both strands with use_rc)."""
        _gkmkern.lmer_table_add(table, self.codes, self.bounds, amounts, self.kernel.use_rc, nthreads=nthreads)

    def owner_lists(self, nthreads: int = 1) -> tuple[np.ndarray, np.ndarray]:
        """For each L-mer code, the sequences holding it (once per
        occurrence; with use_rc an L-mer and its reverse complement share
        the list at the lesser code): offsets (4**L + 1) into one array of
        sequence indices, as lmer_table_of_owners reads them."""
        offsets = np.empty(4**self.kernel.L + 1, dtype=np.int64)
        owners = np.empty(np.count_nonzero(self.codes >= 0), dtype=np.int32)
        _gkmkern.lmer_owners(self.codes, self.bounds, self.kernel.L, self.kernel.use_rc, offsets=offsets, owners=owners,
                             nthreads=nthreads)
        return offsets, owners

    def sums(self, table: np.ndarray, nthreads: int = 1) -> np.ndarray:
        """Sum of the table's entries over each sequence's forward L-mers."""
        return slice_sums(table, self.codes, self.bounds[:-1], self.bounds[1:], nthreads)


class LmerTable:
    """The table T of a fitted regular model and the scores it gives.

    Parameters
    ----------
    kernel : LmerKernel
    table : ndarray of shape (4**L,)
        T, indexed by L-mer code.
    """

    def __init__(self, kernel: LmerKernel, table: np.ndarray):
        self.kernel = kernel
        self.table = table

    @classmethod
    def from_support(
        cls, kernel: LmerKernel, support: Sequence[str], coef: np.ndarray, nthreads: int = 1
    ) -> "LmerTable":
        """The table of support sequences with these dual coefficients."""
        encoded = EncodedSet(support, kernel, nthreads)
        table = empty_table(kernel.L)
        encoded.add_to(table, np.asarray(coef, dtype=np.float64) * encoded.inverse_norms(), nthreads)
        _gkmkern.lmer_table_transform(table, kernel.weights, nthreads=nthreads)
        return cls(kernel, table)

    def scores(self, texts: Sequence[str]) -> np.ndarray:
        """Decision values minus the intercept: one per sequence."""
        encoded = EncodedSet(texts, self.kernel)
        return _divide(encoded.sums(self.table), encoded.norms)

    def window_scores(self, text: str, window: int, shift: int) -> np.ndarray:
        """Score of every window [w * shift, w * shift + window) of text
        (which may be shorter than the window: then there are none)."""
        n_windows = window_count(len(text), window, shift)
        if n_windows == 0:
            return np.empty(0)
        L = self.kernel.L
        codes = lmer_codes(base_codes(text[: (n_windows - 1) * shift + window]), L)
        per_window = window - L + 1
        starts = np.arange(n_windows, dtype=np.int64) * shift
        # Summed as a sequence of the window's own text is, so that each
        # window scores bitwise what decision values give for that text.
        sums = slice_sums(self.table, codes, starts, starts + per_window)
        norms = np.empty(n_windows)
        _gkmkern.lmer_sliding_norms(codes, L, self.kernel.weights, self.kernel.use_rc, per_window, shift, out=norms)
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
        L = self.kernel.L
        bases = base_codes(text)
        codes = lmer_codes(bases, L)
        values = lmer_values(self.table, codes)
        total = slice_sums(self.table, codes, np.zeros(1, dtype=np.int64), np.array([len(codes)]))[0]
        sums = np.full((4, len(text)), total)
        # A substitution at one offset rewrites two bits of the L-mer read
        # with A for any non-ACGT base, and may replace the only such base.
        clean = _codes_reading_invalid_as_a(bases, L)
        invalid = _invalid_counts(bases, L)
        substitutes = np.arange(4, dtype=np.int32)[:, None]
        for offset in range(L):
            bits = 2 * (L - 1 - offset)
            at = bases[offset : offset + len(codes)]
            mutated = (clean & ~np.int32(3 << bits)) | (substitutes << bits)
            mutated[:, invalid - (at < 0) > 0] = -1
            sums[:, offset : offset + len(codes)] += lmer_values(self.table, mutated) - values
        norms = np.empty((4, len(text)))
        _gkmkern.lmer_mutant_norms(bases, L, self.kernel.weights, self.kernel.use_rc, out=norms)
        return _divide(np.array([total]), np.array([self.kernel.norm(codes)]))[0], _divide(sums, norms)

    def contributions(self, text: str) -> np.ndarray:
        """Per-base share of the score: each L-mer's T / ||x|| split equally
        among its L bases, so the shares sum to the score."""
        L = self.kernel.L
        codes = lmer_codes(base_codes(text), L)
        norm = self.kernel.norm(codes)
        if not norm > 0:
            return np.zeros(len(text))
        return np.convolve(lmer_values(self.table, codes), np.ones(L)) / (L * norm)


def lmer_values(table: np.ndarray, codes: np.ndarray) -> np.ndarray:
    """The table's entry of each L-mer code, 0 for those left out (-1)."""
    return np.where(codes >= 0, table[np.maximum(codes, 0)], 0.0)


def slice_sums(
    table: np.ndarray, codes: np.ndarray, starts: np.ndarray, stops: np.ndarray, nthreads: int = 1
) -> np.ndarray:
    """Sum of the table over codes[start:stop] for each pair, each slice
    added up the same way wherever it lies (codes of -1 add nothing)."""
    out = np.empty(len(starts))
    _gkmkern.lmer_table_sums(table, codes, starts, stops, out=out, nthreads=nthreads)
    return out


def empty_table(L: int) -> np.ndarray:
    """A zeroed table of 4**L doubles; MemoryError naming its size when it does not fit."""
    try:
        return np.zeros(4**L)
    except MemoryError:
        raise MemoryError(
            f"the L-mer table of L={L} needs {4**L * 8 / 2**20:,.0f} MiB (4**{L} doubles), which could not be allocated"
        ) from None


def _divide(sums: np.ndarray, norms: np.ndarray) -> np.ndarray:
    """sums / norms, 0 where the norm is not positive, as the kernel gives."""
    out = np.zeros(np.shape(sums))
    np.divide(sums, norms, out=out, where=norms > 0)
    return out
