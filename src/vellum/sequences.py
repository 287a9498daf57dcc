"""Checks on lists of DNA texts before they reach the native core.

The core refuses bad text with one generic message and silently cuts texts
longer than one encoded sequence holds; every check here runs first, so that
an error names the record at fault and nothing is ever cut.
"""
from __future__ import annotations

import os
import re
from bisect import bisect_right
from dataclasses import dataclass
from typing import Iterable, Sequence

BASES = "ACGT"
"""The bases, in the order of mutagenesis rows."""

MAX_SEQUENCE_LENGTH = 2047
"""Bases one encoded sequence holds; the core would cut longer texts."""

INVALID_MODES = ("error", "skip")
"""What a kernel does with characters other than A, C, G, T (either case)."""

_NOT_ACGT = re.compile(r"[^ACGTacgt]")


def check_choice(name: str, value: object, choices: Iterable[object]) -> None:
    """Raise ValueError unless value is one of choices."""
    choices = tuple(choices)
    if value not in choices:
        allowed = ", ".join(repr(c) for c in choices)
        raise ValueError(f"{name} must be one of {allowed}; got {value!r}")


def first_invalid(text: str) -> re.Match | None:
    """The first character of text other than A, C, G, T (either case), or None."""
    return _NOT_ACGT.search(text)


def file_record(path: str | os.PathLike | None, record_id: str) -> str:
    """How a message names a record: by id, after its file when read from one."""
    record = f"record {record_id!r}"
    return record if path is None else f"{os.fspath(path)}: {record}"


@dataclass(frozen=True)
class RecordNames:
    """How messages name the sequences of a list: by record id and file when
    they were read from files, else as items of the argument (``X[i]``, i
    counted in the whole list).

    Parameters
    ----------
    name : str
        How messages call the list when ids is None.
    ids : sequence of str, optional
        Each sequence's record id.
    files : tuple of (int, str)
        The files the records were read from, in order, each with the index
        of its first record; empty when the ids come from no file.
    """

    name: str = "X"
    ids: Sequence[str] | None = None
    files: tuple[tuple[int, str], ...] = ()

    @classmethod
    def of_file(cls, path: str | os.PathLike, ids: Sequence[str]) -> "RecordNames":
        """The records of one file, by their ids."""
        return cls(ids=ids, files=((0, os.fspath(path)),))

    def __add__(self, other: "RecordNames") -> "RecordNames":
        """The records of self followed by those of other (two files, say); both named by id."""
        shifted = tuple((first + len(self.ids), path) for first, path in other.files)
        return RecordNames(self.name, [*self.ids, *other.ids], self.files + shifted)

    def __call__(self, index: int) -> str:
        """The name of the sequence at index."""
        if self.ids is None:
            return f"{self.name}[{index}]"
        starts = [first for first, _ in self.files]
        at = bisect_right(starts, index) - 1
        return file_record(self.files[at][1] if at >= 0 else None, self.ids[index])


def record_names(name: str, ids: Sequence[str] | RecordNames | None) -> RecordNames:
    """The RecordNames of argument name: ids as given, or the argument's items."""
    return ids if isinstance(ids, RecordNames) else RecordNames(name, ids)


def as_text_list(X: Iterable[str], name: str = "X") -> list[str]:
    """X as a new list of str; TypeError naming the first item that is not text.

    Parameters
    ----------
    X : iterable of str
        DNA texts: a list, tuple, NumPy array of str or pandas Series.
    name : str
        How errors call the argument.
    """
    if isinstance(X, (str, bytes)):
        raise TypeError(f"{name} must be a list of DNA strings, not a single {type(X).__name__}")
    try:
        texts = list(X)
    except TypeError:
        raise TypeError(f"{name} must be a list of DNA strings, not {type(X).__name__}") from None
    for i, text in enumerate(texts):
        if not isinstance(text, str):
            raise TypeError(f"{name}[{i}] must be a str, not {type(text).__name__}")
    return texts


def check_sequences(
    X: Iterable[str],
    L: int,
    invalid: str = "error",
    *,
    name: str = "X",
    ids: Sequence[str] | RecordNames | None = None,
    max_length: int | None = MAX_SEQUENCE_LENGTH,
    min_length: int | None = None,
) -> list[str]:
    """Validate DNA texts for a kernel of word length L.

    Parameters
    ----------
    X : iterable of str
        The texts.
    L : int
        Word length: every text needs at least L bases.
    invalid : {"error", "skip"}
        "error" refuses characters other than A, C, G, T (either case);
        "skip" allows them (the kernel leaves out every L-mer covering one).
    name : str
        How errors call the argument when ids is None.
    ids : sequence of str or RecordNames, optional
        Record ids, so that errors name the record ("record 'chr1'"), or
        a :class:`RecordNames` that also names their files
        ("peaks.fa: record 'chr1'").
    max_length : int or None
        Longest text allowed; None for no limit (scans split longer ones).
    min_length : int or None
        Shortest text allowed; None for L (scans take any length: a short
        record simply has no windows).

    Returns
    -------
    list of str
        The texts, unchanged.

    Raises
    ------
    TypeError
        When X is not a list of str.
    ValueError
        When X is empty, or a text is shorter than L, longer than max_length
        or (with invalid="error") holds a character other than ACGT.
    """
    check_choice("invalid", invalid, INVALID_MODES)
    texts = as_text_list(X, name)
    if not texts:
        raise ValueError(f"{name} is empty: no sequences")
    names = record_names(name, ids)
    if names.ids is not None and len(names.ids) != len(texts):
        raise ValueError(f"{name} has {len(texts)} sequences but ids has {len(names.ids)}")
    min_length = L if min_length is None else min_length
    for i, text in enumerate(texts):
        if len(text) < min_length:
            raise ValueError(f"{names(i)} has {len(text)} bases, fewer than the word length L={L}")
        if max_length is not None and len(text) > max_length:
            raise ValueError(
                f"{names(i)} has {len(text)} bases; one encoded sequence holds at most "
                f"{max_length}, and longer sequences are never cut (use scan for long sequences)"
            )
        if invalid == "error":
            bad = first_invalid(text)
            if bad is not None:
                raise ValueError(
                    f"{names(i)} holds {bad.group()!r} at position {bad.start()}, not A/C/G/T "
                    "(use invalid='skip' to leave out the L-mers covering such characters)"
                )
    return texts
