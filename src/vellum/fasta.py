"""FASTA input: plain or gzip files, no index files written.

One reader serves both the whole-file path (:func:`read_fasta`) and the
path that reads files too large for one process in pieces
(:func:`index_fasta` finds where every record starts in one streaming pass,
and :func:`read_slices` reads any run of a record's bases from there): the
same lines, headers, bases and errors, whichever reads the file.

The rules: a line ends at LF, CR LF or CR alone; a header starts with '>'
and is UTF-8, its id the text up to the first whitespace; spaces, tabs and
line ends are dropped from sequence lines, and every other byte is one
base (bytes beyond ASCII included, so that a position counts bytes);
text before the first header is refused, and blank files hold no records.
"""
from __future__ import annotations

import gzip
import os
import warnings
import zlib
from array import array
from contextlib import contextmanager
from dataclasses import dataclass, field
from functools import partial
from typing import BinaryIO, Iterable, Iterator, NoReturn

from .sequences import check_choice, file_record, first_invalid

READ_MODES = ("error", "drop", "keep")

_GZIP_MAGIC = b"\x1f\x8b"


class DroppedRecordsWarning(UserWarning):
    """Records left out by read_fasta(..., invalid="drop")."""


# Dropped from sequence lines; every other byte is a base.
_LINE_WHITESPACE = b" \t\r\n"

# Longest piece of a line read at once, so that a file of CR line ends (one
# line to a reader that splits at LF) is read in bounded steps.
_CHUNK_BYTES = 1 << 20

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


@contextmanager
def _reading(path: str | os.PathLike) -> Iterator[BinaryIO]:
    """path opened as by open_binary; damaged gzip data, found only as it
    is read, becomes a ValueError naming the file."""
    try:
        with open_binary(path) as handle:
            yield handle
    except (gzip.BadGzipFile, EOFError, zlib.error) as err:
        raise ValueError(f"{path}: not a FASTA text file ({err})") from None


def _lines(handle: BinaryIO) -> Iterator[bytes]:
    """The lines of handle from its position on, line ends kept; a line ends
    at LF, CR LF or CR alone, so files from any platform read alike. Reads
    no further than the lines taken (a line of LF and no CR at a time), so
    that a reader who seeks elsewhere after a line has read little."""
    unfinished: list[bytes] = []
    for piece in iter(partial(handle.readline, _CHUNK_BYTES), b""):
        if unfinished and unfinished[-1].endswith(b"\r"):
            # A CR ends its line, together with an LF that follows it.
            if piece.startswith(b"\n"):
                unfinished.append(b"\n")
                piece = piece[1:]
            yield b"".join(unfinished)
            unfinished = []
        if not unfinished and piece.endswith(b"\n") and b"\r" not in piece[:-2]:
            yield piece
            continue
        lines = piece.splitlines(keepends=True)
        last = lines.pop() if lines else b""
        if lines:
            unfinished.append(lines[0])
            yield b"".join(unfinished)
            unfinished = []
            yield from lines[1:]
        if last:
            unfinished.append(last)
            if last.endswith(b"\n"):
                yield b"".join(unfinished)
                unfinished = []
    if unfinished:
        yield b"".join(unfinished)


def _record_id(path: str | os.PathLike, header: bytes) -> str:
    """The id of a header line: its text after '>' up to the first whitespace."""
    try:
        title = header[1:].decode("utf-8")
    except UnicodeDecodeError as err:
        raise ValueError(f"{path}: not a FASTA text file (a header is not UTF-8: {err.reason})") from None
    fields = title.split(None, 1)
    return fields[0] if fields else ""


def _bases(line: bytes) -> bytes:
    return line.translate(None, _LINE_WHITESPACE)


def _as_text(bases: bytes) -> str:
    # One character a byte: positions in errors count bases as the file holds them.
    return bases.decode("latin-1")


def _walk(path: str | os.PathLike, handle: BinaryIO) -> Iterator[tuple[int, int, str | None, bytes]]:
    """Every line of a FASTA file from its first header on, as (offset,
    offset of the next line, the record's id on a header line else None,
    the bases of a sequence line). Offsets count decompressed bytes."""
    position = 0
    in_records = False
    for line in _lines(handle):
        end = position + len(line)
        if line.startswith(b">"):
            # Blank lines before the first header are refused; a blank
            # file holds no records.
            if not in_records and position:
                raise ValueError(f"{path}: not a FASTA file: text before the first '>' header")
            in_records = True
            yield position, end, _record_id(path, line), b""
        elif in_records:
            yield position, end, None, _bases(line)
        elif line.strip():
            _refuse_text_before_header(path, line)
        position = end


def _refuse_text_before_header(path: str | os.PathLike, line: bytes) -> None:
    try:
        line.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"{path}: not a FASTA text file (it starts with bytes that are not text)") from None
    raise ValueError(f"{path}: not a FASTA file: text before the first '>' header")


def invalid_base_message(path: str | os.PathLike, record_id: str, char: str, position: int) -> str:
    """How an error names a non-ACGT character at a position of a record
    (a byte beyond ASCII by its value, since it is no character alone)."""
    shown = repr(char) if char.isascii() else f"byte 0x{ord(char):02X}"
    return f"{file_record(path, record_id)} holds {shown} at position {position}, not A/C/G/T"


def refuse_invalid_records(
    path: str | os.PathLike, first: tuple[str, str, int], n_invalid: int, n_records: int
) -> NoReturn:
    """Raise the ValueError of invalid="error": the file's first non-ACGT
    character, as (record id, character, position), and how many records
    hold one."""
    raise ValueError(f"{invalid_base_message(path, *first)} ({n_invalid} of {n_records} records do)")


def _parse(path: str | os.PathLike) -> tuple[list[str], list[str]]:
    ids: list[str] = []
    records: list[list[bytes]] = []
    with _reading(path) as handle:
        for _, _, record_id, bases in _walk(path, handle):
            if record_id is not None:
                ids.append(record_id)
                records.append([])
            else:
                records[-1].append(bases)
    return ids, [_as_text(b"".join(parts)) for parts in records]


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
        char = first_invalid(seqs[bad[0]])
        refuse_invalid_records(path, (ids[bad[0]], char.group(), char.start()), len(bad), len(ids))
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
    ids are read with the records, not kept here. first_invalid is the
    file's first character other than A, C, G, T, as (record id,
    character, position in the record), or None.
    """

    path: str
    header_offsets: array = field(default_factory=lambda: array("q"))
    sequence_offsets: array = field(default_factory=lambda: array("q"))
    lengths: array = field(default_factory=lambda: array("q"))
    holds_invalid: array = field(default_factory=lambda: array("b"))
    checkpoints: dict = field(default_factory=dict)
    first_invalid: tuple[str, str, int] | None = None

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
    length, bad, next_checkpoint, current_id = 0, False, checkpoint_bases, ""
    with _reading(path) as handle:
        for position, end, record_id, bases in _walk(path, handle):
            if record_id is not None:
                if len(index):
                    _close_record(index, length, bad)
                current_id = record_id
                index.header_offsets.append(position)
                index.sequence_offsets.append(end)
                length, bad, next_checkpoint = 0, False, checkpoint_bases
                continue
            if length >= next_checkpoint:
                index.checkpoints.setdefault(len(index) - 1, []).append((length, position))
                next_checkpoint = length + checkpoint_bases
            if not bad and bases.translate(None, b"ACGTacgt"):
                bad = True
                if index.first_invalid is None:
                    char = first_invalid(_as_text(bases))
                    index.first_invalid = (current_id, char.group(), length + char.start())
            length += len(bases)
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
    with _reading(path) as handle:
        for piece in slices:
            handle.seek(piece.header_offset)
            record_id = _record_id(path, next(_lines(handle)))
            handle.seek(piece.line_offset)
            bases = _read_bases(handle, piece.stop - piece.line_base)
            yield record_id, _as_text(bases[piece.start - piece.line_base :])


def _read_bases(handle: BinaryIO, count: int) -> bytes:
    """The next count bases of the record being read (fewer at its end)."""
    parts, have = [], 0
    for line in _lines(handle):
        if have >= count or line.startswith(b">"):
            break
        bases = _bases(line)
        parts.append(bases)
        have += len(bases)
    return b"".join(parts)[:count]
