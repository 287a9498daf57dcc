"""Kernel matrices as NumPy arrays: :class:`GkmKernel` and :class:`ReferenceSet`.

Every result is written by the native core straight into a float64 array
(its ``out=`` argument); no Python list of values is ever built.
"""
from __future__ import annotations

from typing import Iterable, Iterator, Sequence

import numpy as np
from joblib import effective_n_jobs
from sklearn.base import BaseEstimator, clone

from . import _gkmkern
from ._progress import progress_bar
from .parameters import (
    KERNEL_PARAMETER_NAMES,
    KERNEL_PARAMETERS,
    POSITIONAL_PROFILE_NAMES,
    check_kernel_parameters,
    documented,
    storing_init,
)
from .sequences import MAX_SEQUENCE_LENGTH, RecordNames, check_sequences, record_names

# The native code of each shape of the positional weight.
POSITIONAL_PROFILES = {name: getattr(_gkmkern, f"POS_{name.upper()}") for name in POSITIONAL_PROFILE_NAMES}

# The native positional weights are scaled by this factor; normalised values
# do not depend on it, so it is not a parameter.
_POSITIONAL_PEAK = 50.0

# Queries per native call: small enough for a progress bar to move and for
# the encoded queries of one call to stay a few megabytes.
QUERY_CHUNK = 256

# A Gram drawn with a progress bar is computed in this many stripes of rows
# (fewer below GRAM_STRIPE_ROWS rows a stripe), each one native call holding
# about as many pairs as the next, so that the bar moves in steps of 5%. A
# Gram without a bar is one call.
GRAM_STRIPES = 20
GRAM_STRIPE_ROWS = 64


def result_buffer(out: np.ndarray | None, shape: tuple[int, ...]) -> np.ndarray:
    """out checked against shape (before anything is written), or a new array.

    Raises
    ------
    TypeError
        When out is not a float64 NumPy array.
    ValueError
        When out has another shape, is read-only or not C-contiguous.
    """
    if out is None:
        return np.empty(shape, dtype=np.float64)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a float64 NumPy array, not {type(out).__name__}")
    if out.dtype != np.float64:
        raise TypeError(f"out must hold float64 values, not {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, expected {shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    if not out.flags.c_contiguous:
        raise ValueError("out must be C-contiguous")
    return out


def chunk_bounds(n: int, size: int) -> Iterator[tuple[int, int]]:
    """(start, stop) of consecutive chunks of at most size items out of n."""
    for start in range(0, n, size):
        yield start, min(start + size, n)


def check_window(window: int, shift: int, L: int) -> None:
    """Raise ValueError unless windows of this geometry can be scored whole."""
    for name, value in (("window", window), ("shift", shift)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if shift < 1:
        raise ValueError(f"shift must be at least 1; got {shift}")
    if not L <= window <= MAX_SEQUENCE_LENGTH:
        raise ValueError(f"window must be between the word length L={L} and {MAX_SEQUENCE_LENGTH}; got {window}")


def window_count(length: int, window: int, shift: int) -> int:
    """Windows of a sequence of this length, starting at 0, shift, 2*shift, ..."""
    return (length - window) // shift + 1 if length >= window else 0


def window_pieces(
    n_windows: int, window: int, shift: int, max_bases: int
) -> Iterator[tuple[int, int, int, int]]:
    """Consecutive windows grouped into pieces of text of at most max_bases.

    Yields (first, stop, start, end): windows [first, stop) lie in bases
    [start, end), and window w starts at ``w * shift``. Pieces overlap by
    ``window - shift`` bases when windows do, so every window lies whole in
    one piece.
    """
    per_piece = (max_bases - window) // shift + 1
    for first, stop in chunk_bounds(n_windows, per_piece):
        yield first, stop, first * shift, (stop - 1) * shift + window


@documented(KERNEL_PARAMETERS)
class GkmKernel(BaseEstimator):
    """Gapped k-mer kernel between lists of DNA strings, as NumPy arrays.

    ``kernel(X)`` is the symmetric Gram matrix of X, ``kernel(X, Y)`` the
    ``len(X) x len(Y)`` matrix of X against Y. Values are normalised: a
    sequence scores 1 against itself to within an ulp or two (not exactly 1
    with estimated weights or positional weights). Regular-kernel values are
    exact and deterministic whatever ``n_jobs`` is.

    Parameters
    ----------
    {parameters}

    Notes
    -----
    One encoded sequence holds at most 2,047 bases. Longer sequences are
    refused with a ValueError, never cut; score long regions with
    ``GkmSVC.scan``, which splits them exactly.
    """

    __init__ = storing_init(KERNEL_PARAMETERS)

    def __call__(
        self,
        X: Iterable[str],
        Y: Iterable[str] | None = None,
        *,
        out: np.ndarray | None = None,
        ids: Sequence[str] | RecordNames | None = None,
    ) -> np.ndarray:
        """Kernel matrix of X against Y, or the symmetric Gram of X.

        Parameters
        ----------
        X : list of str
            DNA sequences (rows).
        Y : list of str, optional
            DNA sequences (columns); None for the Gram matrix of X.
        out : ndarray, optional
            Writable C-contiguous float64 array of the result's shape to fill.
        ids : sequence of str or RecordNames, optional
            Record ids of X (and their files), for error messages.

        Returns
        -------
        ndarray of shape (len(X), len(Y)) or (len(X), len(X))
            Entry [i, j] is X[i] against Y[j] (or X[j]).
        """
        if Y is not None:
            return self.references(Y)(X, out=out, ids=ids)
        X = self.check(X, "X", ids=ids)
        return self._gram(X, result_buffer(out, (len(X), len(X))), record_names("X", ids))

    def references(self, Y: Iterable[str], *, ids: Sequence[str] | RecordNames | None = None) -> "ReferenceSet":
        """Y encoded and indexed once, to score any number of queries against.

        Parameters
        ----------
        Y : list of str
            Reference sequences.
        ids : sequence of str or RecordNames, optional
            Record ids (and their files), for error messages.
        """
        return ReferenceSet(self, Y, ids=ids)

    def check(
        self,
        X: Iterable[str],
        name: str = "X",
        *,
        ids: Sequence[str] | RecordNames | None = None,
        max_length: int | None = MAX_SEQUENCE_LENGTH,
        min_length: int | None = None,
    ) -> list[str]:
        """X validated for this kernel (see :func:`vellum.sequences.check_sequences`)."""
        self._check_params()
        return check_sequences(
            X, self.L, self.invalid, name=name, ids=ids, max_length=max_length, min_length=min_length
        )

    def _check_params(self) -> None:
        check_kernel_parameters({name: getattr(self, name) for name in KERNEL_PARAMETER_NAMES})

    def native(self) -> _gkmkern.Kernel | _gkmkern.WeightedKernel:
        """A new, empty native kernel with these parameters."""
        self._check_params()
        common = dict(
            L=self.L,
            k=self.k,
            d=self.d,
            weight_scheme=self.weight_scheme,
            use_rc=int(bool(self.use_rc)),
            nthreads=effective_n_jobs(self.n_jobs),
        )
        try:
            if not self.positional:
                return _gkmkern.Kernel(**common)
            return _gkmkern.WeightedKernel(
                **common,
                pos_kernel=POSITIONAL_PROFILES[self.pos_kernel],
                weight_gamma=self.weight_gamma,
                weight_sigma=self.weight_sigma,
                weight_peak=_POSITIONAL_PEAK,
            )
        except ValueError as err:
            raise ValueError(f"invalid kernel parameters (L={self.L}, k={self.k}, d={self.d}): {err}") from None

    def encode(self, native: _gkmkern.Kernel | _gkmkern.WeightedKernel, texts: list[str]) -> list:
        """Texts as native's evaluations take them: masked sequences under ``invalid="skip"``."""
        # Plain str queries are encoded by the core without a mask.
        if self.invalid != "skip":
            return texts
        return [_gkmkern.Sequence(native, text, skip_invalid=True) for text in texts]

    def _gram(self, X: list[str], out: np.ndarray, names: RecordNames) -> np.ndarray:
        if self.positional:
            check_one_length(X, names)
        references = ReferenceSet(self, X)
        n = len(X)
        with progress_bar(self.progress, pairs_in_rows(n, 0, n), "Gram matrix", unit="pair", unit_scale=True) as bar:
            if bar.disable:
                return references.gram_rows(0, n, out=out)
            for start, stop in gram_stripes(n):
                # Cells left of a stripe mirror the stripes above it.
                out[start:stop, start:] = references.gram_rows(start, stop)
                out[start:stop, :start] = out[:start, start:stop].T
                bar.update(pairs_in_rows(n, start, stop))
        return out


def pairs_in_rows(n: int, start: int, stop: int) -> int:
    """Cells of rows [start, stop) of an n x n Gram on or right of its diagonal."""
    return (stop - start) * n - (stop * (stop - 1) - start * (start - 1)) // 2


def gram_stripes(n: int) -> list[tuple[int, int]]:
    """(start, stop) of consecutive stripes of rows of an n x n Gram, each
    holding about the same number of pairs (the upper ones fewer rows)."""
    if n == 0:
        return []
    stripes = min(GRAM_STRIPES, max(1, n // GRAM_STRIPE_ROWS))
    pairs_up_to = np.cumsum(np.arange(n, 0, -1))
    stops = np.searchsorted(pairs_up_to, pairs_up_to[-1] * np.arange(1, stripes) / stripes) + 1
    edges = np.unique(np.concatenate(([0], stops, [n]))).tolist()
    return list(zip(edges[:-1], edges[1:]))


def check_one_length(texts: Sequence[str], names: RecordNames, length: int | None = None) -> None:
    """Raise ValueError, naming the text by names, unless every text has the
    same length (length, when given)."""
    expected = len(texts[0]) if length is None else length
    for i, text in enumerate(texts):
        if len(text) != expected:
            raise ValueError(
                f"{names(i)} has {len(text)} bases; the positional kernel compares sequences of one length, "
                f"{expected} bases"
            )


class ReferenceSet:
    """Reference sequences encoded and indexed once, scored against queries.

    Made by :meth:`GkmKernel.references`. Pickling keeps the kernel's
    parameters and the texts; loading encodes them again.

    Parameters
    ----------
    kernel : GkmKernel
        The kernel (copied: later changes to it do not affect this set).
    Y : list of str
        Reference sequences.
    ids : sequence of str or RecordNames, optional
        Record ids (and their files), for error messages.
    """

    def __init__(self, kernel: GkmKernel, Y: Iterable[str], *, ids: Sequence[str] | RecordNames | None = None):
        self.kernel = clone(kernel)
        self.sequences = self.kernel.check(Y, "Y", ids=ids)
        self._native = self.kernel.native()
        skip = self.kernel.invalid == "skip"
        if self.kernel.positional:
            check_one_length(self.sequences, record_names("Y", ids))
            self._encoded = [_gkmkern.Sequence(self._native, text, skip_invalid=skip) for text in self.sequences]
        else:
            for text in self.sequences:
                self._native.add_sequence(text, skip_invalid=skip)
            self._native.finalize()

    def __len__(self) -> int:
        return len(self.sequences)

    def __reduce__(self):
        return (type(self), (self.kernel, self.sequences))

    def __call__(
        self, X: Iterable[str], *, out: np.ndarray | None = None, ids: Sequence[str] | RecordNames | None = None
    ) -> np.ndarray:
        """Every sequence of X against every reference.

        Parameters
        ----------
        X : list of str
            Query sequences.
        out : ndarray, optional
            Writable C-contiguous float64 array of shape (len(X), len(self)).
        ids : sequence of str or RecordNames, optional
            Record ids of X (and their files), for error messages.

        Returns
        -------
        ndarray of shape (len(X), len(self))
        """
        X = self._check_queries(X, "X", ids)
        out = result_buffer(out, (len(X), len(self)))
        for _ in self._blocks(X, out, self.kernel.progress):
            pass
        return out

    def gram_rows(self, start: int, stop: int, *, out: np.ndarray | None = None) -> np.ndarray:
        """Rows [start, stop) of the Gram matrix of the references, against
        the references from start on: a stripe of the matrix, whose cells
        left of start mirror earlier stripes. Each pair among the rows is
        computed once, and the values are bitwise those of the whole Gram.

        Parameters
        ----------
        start, stop : int
            The rows, 0 <= start <= stop <= len(self).
        out : ndarray, optional
            Writable C-contiguous float64 array of shape
            (stop - start, len(self) - start).

        Returns
        -------
        ndarray of shape (stop - start, len(self) - start)
        """
        if not 0 <= start <= stop <= len(self):
            raise ValueError(f"rows [{start}, {stop}) are not among the {len(self)} references")
        out = result_buffer(out, (stop - start, len(self) - start))
        if start == stop:
            return out
        if not self.kernel.positional:
            return self._native.gram(first=start, rows=stop - start, out=out)
        if stop - start == len(self):
            return self._native.self_eval(self._encoded, out=out)
        # The positional kernel has no staged Gram. Its sums of weights run in
        # an order that depends on the index searched, so a stripe's rows are
        # searched against every reference, as in the whole Gram; pairs among
        # the rows come from the row of the smaller index, as there too.
        n = stop - start
        rows = self._native.cross_eval(self._encoded[start:stop], self._encoded, out=np.empty((n, len(self))))
        out[:] = rows[:, start:]
        below = np.tril_indices(n, -1)
        out[:, :n][below] = out[:, :n].T[below]
        return out

    def blocks(
        self,
        X: Iterable[str],
        *,
        name: str = "X",
        ids: Sequence[str] | RecordNames | None = None,
        progress: bool | str | None = None,
    ) -> Iterator[tuple[int, int, np.ndarray]]:
        """The rows of X against the references, a chunk of queries at a time.

        Suits work that reduces each chunk at once (predictions) or sends
        chunks elsewhere; the values are those of calling the set on X.

        Parameters
        ----------
        X : list of str
            Query sequences.
        name : str
            How errors call X.
        ids : sequence of str or RecordNames, optional
            Record ids of X (and their files), for error messages.
        progress : {False, True, "auto"}, optional
            Show a progress bar (as the kernel's ``progress`` says); None
            follows the kernel's ``progress``.

        Yields
        ------
        start, stop : int
            The chunk's rows of X.
        block : ndarray of shape (stop - start, len(self))
        """
        X = self._check_queries(X, name, ids)
        yield from self._blocks(X, None, self.kernel.progress if progress is None else progress)

    def _blocks(
        self, X: list[str], out: np.ndarray | None, progress: bool | str
    ) -> Iterator[tuple[int, int, np.ndarray]]:
        """Chunks of rows, written into out when given, else into new arrays."""
        with progress_bar(progress, len(X), "kernel rows") as bar:
            for start, stop in chunk_bounds(len(X), QUERY_CHUNK):
                block = out[start:stop] if out is not None else np.empty((stop - start, len(self)))
                self._score(X[start:stop], block)
                bar.update(stop - start)
                yield start, stop, block

    def _check_queries(self, X: Iterable[str], name: str, ids: Sequence[str] | RecordNames | None) -> list[str]:
        """X checked whole, before it is cut into chunks, so that an error
        names a query by its index in X (or its record)."""
        X = self.kernel.check(X, name, ids=ids)
        if self.kernel.positional:
            check_one_length(X, record_names(name, ids), len(self.sequences[0]))
        return X

    def _score(self, texts: list[str], out: np.ndarray) -> None:
        if self.kernel.positional:
            self._native.cross_eval(self._encode(texts), self._encoded, out=out)
        else:
            self._native.eval_batch(self._encode(texts), out=out)

    def _encode(self, text_list: list[str]) -> list:
        return self.kernel.encode(self._native, text_list)

    def window_blocks(self, seq: str, window: int, shift: int) -> Iterator[tuple[int, np.ndarray]]:
        """The windows of one sequence of any length against the references.

        Window w covers ``seq[w * shift : w * shift + window]``; each scores
        exactly what this set gives for that window's own text. Sequences
        longer than one encoded sequence holds are cut into overlapping
        pieces at window starts, so no window is lost or cut.

        Parameters
        ----------
        seq : str
            The sequence (already checked by the caller's mode).
        window, shift : int
            Window length (L..2047) and step between window starts (>= 1).

        Yields
        ------
        first : int
            Index of the block's first window.
        block : ndarray of shape (n_windows_in_block, len(self))
        """
        check_window(window, shift, self.kernel.L)
        n_windows = window_count(len(seq), window, shift)
        if self.kernel.positional:
            yield from self._positional_window_blocks(seq, window, shift, n_windows)
            return
        for first, stop, start, end in window_pieces(n_windows, window, shift, MAX_SEQUENCE_LENGTH):
            piece = seq[start:end]
            block = np.empty((stop - first, len(self)))
            self._native.sliding_query(self._encode([piece])[0], window, shift, out=block)
            yield first, block

    def _positional_window_blocks(self, seq: str, window: int, shift: int, n_windows: int):
        # The positional sliding query compares windows with the same
        # positions of the references, not with the references whole, so
        # each window's text is scored on its own.
        if window != len(self.sequences[0]):
            raise ValueError(
                f"a positional kernel scores windows of its references' length ({len(self.sequences[0])} bases); "
                f"got window={window}"
            )
        for first, stop in chunk_bounds(n_windows, QUERY_CHUNK):
            texts = [seq[w * shift : w * shift + window] for w in range(first, stop)]
            block = np.empty((stop - first, len(self)))
            self._score(texts, block)
            yield first, block
