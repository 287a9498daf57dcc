"""FASTA input through Biopython: plain or gzip files, no index files written."""
from __future__ import annotations

import gzip
import os
import warnings
from typing import TextIO

from Bio import SeqIO

from .sequences import check_choice, first_invalid

READ_MODES = ("error", "drop", "keep")

_GZIP_MAGIC = b"\x1f\x8b"


class DroppedRecordsWarning(UserWarning):
    """Records left out by read_fasta(..., invalid="drop")."""


def _open_text(path: str | os.PathLike) -> TextIO:
    with open(path, "rb") as handle:
        magic = handle.read(2)
    if magic == _GZIP_MAGIC:
        return gzip.open(path, "rt", encoding="utf-8")
    return open(path, encoding="utf-8")


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
        char = first_invalid(seqs[first])
        raise ValueError(
            f"{path}: record {ids[first]!r} holds {char.group()!r} at position {char.start()}, not A/C/G/T "
            f"({len(bad)} of {len(ids)} records do)"
        )
    if bad:
        dropped = set(bad)
        ids = [x for i, x in enumerate(ids) if i not in dropped]
        seqs = [x for i, x in enumerate(seqs) if i not in dropped]
        warnings.warn(
            f"{path}: dropped {len(bad)} of {len(bad) + len(ids)} records holding characters other than A/C/G/T",
            DroppedRecordsWarning,
            stacklevel=2,
        )
        if not ids:
            raise ValueError(f"{path}: every record holds characters other than A/C/G/T; none is left")
    return ids, seqs
