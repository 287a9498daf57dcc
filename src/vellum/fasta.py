"""FASTA input through Biopython: plain or gzip files, no index files written.

Files too large for one process are read in pieces instead: :func:`index_fasta`
finds where every record starts in one streaming pass, and
:func:`read_slices` reads any run of a record's bases from there, with the
bytes Biopython would give.
"""
from __future__ import annotations

import gzip
import io
import os
import re
import warnings
from array import array
from dataclasses import dataclass, field
from typing import BinaryIO, Iterable, Iterator, TextIO

from Bio import SeqIO

from .sequences import check_choice, first_invalid

READ_MODES = ("error", "drop", "keep")

_GZIP_MAGIC = b"\x1f\x8b"


class DroppedRecordsWarning(UserWarning):
    """Records left out by read_fasta(..., invalid="drop")."""


# Biopython drops these from sequence lines; every other byte is a base.
_LINE_WHITESPACE = b" \t\r\n"

# An index keeps, besides each record's first sequence line, a line start
# every this many bases, so that a slice of a chromosome is read from near
# its start rather than from the record's.
CHECKPOINT_BASES = 1 << 20


def open_binary(path: str | os.PathLike) -> BinaryIO:
    """path opened for reading bytes, decompressed when it is gzip (by content)."""
    with open(path, "rb") as handle:
        magic = handle.read(2)
    if magic == _GZIP_MAGIC:
        return gzip.open(path, "rb")
    return open(path, "rb")


def _open_text(path: str | os.PathLike) -> TextIO:
    return io.TextIOWrapper(open_binary(path), encoding="utf-8")


def invalid_base_message(path: str | os.PathLike, record_id: str, char: re.Match, offset: int = 0) -> str:
    """How an error names a non-ACGT character found at offset + char.start() of a record."""
    return f"{path}: record {record_id!r} holds {char.group()!r} at position {offset + char.start()}, not A/C/G/T"


def _parse(path: str | os.PathLike) -> tuple[list[str], list[str]]:
    ids, seqs = [], []
    try:
        with _open_text(path) as handle:
            for record in SeqIO.parse(handle, "fasta"):
                ids.append(record.id)
                seqs.append(str(record.seq))
    except (UnicodeDecodeError, gzip.BadGzipFile, EOFError) as err:
        raise ValueError(f"{path}: not a FASTA text file ({err})") from None
    except ValueError:
        # Biopython's only complaint: text before the first header (blank
        # lines included, which leave a file of no records).
        if _is_blank(path):
            return [], []
        raise ValueError(f"{path}: not a FASTA file: text before the first '>' header") from None
    return ids, seqs


def _is_blank(path: str | os.PathLike) -> bool:
    with _open_text(path) as handle:
        return all(not line.strip() for line in handle)


def read_fasta(path: str | os.PathLike, invalid: str = "error") -> tuple[list[str], list[str]]:
    """Read the records of a FASTA file.

    Parameters
    ----------
    path : str or path-like
        A plain or gzip-compressed FASTA file (gzip is recognised by its
        content, not its name).
    invalid : {"error", "drop", "keep"}
        What to do with records holding characters other than A, C, G, T
        (either case; lower case is commonly used for repeat-masked bases
        and reads as the same base): "error" raises a ValueError naming the
        first such record, "drop" leaves them out and reports how many with a
        :class:`DroppedRecordsWarning`, "keep" keeps them (for kernels and
        models made with ``invalid="skip"``).

    Returns
    -------
    ids : list of str
        Each record's id: its header up to the first whitespace.
    seqs : list of str
        Each record's bases, as written (case kept).

    Raises
    ------
    FileNotFoundError
        When path does not exist.
    ValueError
        When the file is not FASTA, holds no records, or (with
        invalid="error") a record holds a character other than ACGT; or
        when "drop" leaves no record.
    """
    check_choice("invalid", invalid, READ_MODES)
    ids, seqs = _parse(path)
    if not ids:
        raise ValueError(f"{path}: no FASTA records")
    if invalid == "keep":
        return ids, seqs
    bad = [i for i, seq in enumerate(seqs) if first_invalid(seq) is not None]
    if bad and invalid == "error":
        first = bad[0]
        message = invalid_base_message(path, ids[first], first_invalid(seqs[first]))
        raise ValueError(f"{message} ({len(bad)} of {len(ids)} records do)")
    if bad:
        dropped = set(bad)
        ids = [x for i, x in enumerate(ids) if i not in dropped]
        seqs = [x for i, x in enumerate(seqs) if i not in dropped]
        warn_dropped(path, len(bad), len(bad) + len(ids), stacklevel=3)
    return ids, seqs


def warn_dropped(path: str | os.PathLike, n_dropped: int, n_records: int, stacklevel: int = 2) -> None:
    """Report records left out by invalid="drop"; ValueError when none is left."""
    warnings.warn(
        f"{path}: dropped {n_dropped} of {n_records} records holding characters other than A/C/G/T",
        DroppedRecordsWarning,
        stacklevel=stacklevel,
    )
    if n_dropped == n_records:
        raise ValueError(f"{path}: every record holds characters other than A/C/G/T; none is left")


@dataclass(frozen=True)
class RecordSlice:
    """Bases [start, stop) of one record and where the file holds them.

    line_offset is the byte offset (in the decompressed text) of a sequence
    line of the record, line_base the number of the record's bases before
    that line (at most start).
    """

    header_offset: int
    line_offset: int
    line_base: int
    start: int
    stop: int


@dataclass
class FastaIndex:
    """Where each record of a FASTA file starts, from :func:`index_fasta`.

    Offsets count bytes of the decompressed text. Arrays, not lists of
    objects, so that files of millions of records index in little memory;
    ids are read with the records, not kept here.
    """

    path: str
    header_offsets: array = field(default_factory=lambda: array("q"))
    sequence_offsets: array = field(default_factory=lambda: array("q"))
    lengths: array = field(default_factory=lambda: array("q"))
    holds_invalid: array = field(default_factory=lambda: array("b"))
    checkpoints: dict = field(default_factory=dict)

    def __len__(self) -> int:
        return len(self.header_offsets)

    def slice(self, record: int, start: int = 0, stop: int | None = None) -> RecordSlice:
        """Bases [start, stop) of record (stop None: its end), located from the
        last line start indexed at or before start."""
        stop = self.lengths[record] if stop is None else stop
        line_base, line_offset = 0, self.sequence_offsets[record]
        for base, offset in self.checkpoints.get(record, ()):
            if base > start:
                break
            line_base, line_offset = base, offset
        return RecordSlice(self.header_offsets[record], line_offset, line_base, start, stop)


def index_fasta(path: str | os.PathLike, checkpoint_bases: int = CHECKPOINT_BASES) -> FastaIndex:
    """Index the records of a FASTA file in one streaming pass.

    Counts bases as :func:`read_fasta` reads them and notes which records
    hold characters other than A, C, G, T; holds no sequence in memory.

    Parameters
    ----------
    path : str or path-like
        A plain or gzip-compressed FASTA file.
    checkpoint_bases : int
        Distance in bases between the line starts noted inside long records.

    Raises
    ------
    FileNotFoundError
        When path does not exist.
    ValueError
        When the file is not FASTA or holds no records.
    """
    index = FastaIndex(os.fspath(path))
    position, length, bad, next_checkpoint = 0, 0, False, checkpoint_bases
    try:
        with open_binary(path) as handle:
            for line in handle:
                if line.startswith(b">"):
                    if len(index):
                        _close_record(index, length, bad)
                    elif position:
                        raise ValueError(f"{path}: not a FASTA file: text before the first '>' header")
                    index.header_offsets.append(position)
                    index.sequence_offsets.append(position + len(line))
                    length, bad, next_checkpoint = 0, False, checkpoint_bases
                elif not len(index):
                    # Like Biopython, blank lines before the first header
                    # are refused, and a blank file holds no records.
                    if line.strip():
                        raise ValueError(f"{path}: not a FASTA file: text before the first '>' header")
                else:
                    if length >= next_checkpoint:
                        index.checkpoints.setdefault(len(index) - 1, []).append((length, position))
                        next_checkpoint = length + checkpoint_bases
                    bases = line.translate(None, _LINE_WHITESPACE)
                    length += len(bases)
                    bad = bad or bool(bases.translate(None, b"ACGTacgt"))
                position += len(line)
    except (gzip.BadGzipFile, EOFError) as err:
        raise ValueError(f"{path}: not a FASTA text file ({err})") from None
    if not len(index):
        raise ValueError(f"{path}: no FASTA records")
    _close_record(index, length, bad)
    return index


def _close_record(index: FastaIndex, length: int, bad: bool) -> None:
    index.lengths.append(length)
    index.holds_invalid.append(bad)


def read_slices(path: str | os.PathLike, slices: Iterable[RecordSlice]) -> Iterator[tuple[str, str]]:
    """The id and bases of each slice, read from path in one pass.

    Slices must come in file order: a gzip file is read forward only.

    Yields
    ------
    record_id : str
        The record's header up to the first whitespace, as read_fasta gives it.
    bases : str
        The slice's bases, case kept.
    """
    with open_binary(path) as handle:
        for piece in slices:
            handle.seek(piece.header_offset)
            title = handle.readline()[1:].decode("utf-8").rstrip()
            record_id = title.split(None, 1)[0] if title.split() else ""
            handle.seek(piece.line_offset)
            yield record_id, _read_bases(handle, piece.stop - piece.line_base)[piece.start - piece.line_base :]


def _read_bases(handle: BinaryIO, count: int) -> str:
    """The next count bases of the record being read (fewer at its end)."""
    parts, have = [], 0
    while have < count:
        line = handle.readline()
        if not line or line.startswith(b">"):
            break
        bases = line.translate(None, _LINE_WHITESPACE)
        parts.append(bases)
        have += len(bases)
    return b"".join(parts)[:count].decode("latin-1")
