"""Output files written whole or not at all: a temporary file, then a rename.

A path that names a FIFO, a device or anything else that is not a regular
file is written through instead, since a rename would replace it with a
regular file; a symlink is followed, so the rename replaces its target and
the link stays.
"""
from __future__ import annotations

import os
import stat
import sys
import tempfile
from contextlib import contextmanager
from typing import IO, Iterator

import numpy as np


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _is_special(path: str) -> bool:
    """Whether path exists and is not a regular file (a FIFO, a device...)."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return False


def _temporary_beside(target: str, name: str | os.PathLike) -> tuple[int, str]:
    """A new private file in target's directory; the OSError when none can
    be made names the path as the user gave it (name), not the temporary."""
    try:
        return tempfile.mkstemp(dir=os.path.dirname(target), prefix="." + os.path.basename(target) + ".", suffix=".tmp")
    except OSError as err:
        raise type(err)(f"cannot write {os.fspath(name)}: {err.strerror}") from None


def check_writable(path: str | os.PathLike) -> None:
    """Raise OSError naming path unless it can be written: its directory
    exists and takes a new file, or it is a FIFO or device open for writing.

    Parameters
    ----------
    path : str or path-like
        A file about to be written with :func:`atomic_write`.
    """
    target = os.path.realpath(path)
    if os.path.isdir(target):
        raise IsADirectoryError(f"cannot write {os.fspath(path)}: it is a directory")
    if _is_special(target):
        if not os.access(target, os.W_OK):
            raise PermissionError(f"cannot write {os.fspath(path)}: permission denied")
        return
    fd, probe = _temporary_beside(target, path)
    os.close(fd)
    os.unlink(probe)


@contextmanager
def atomic_write(path: str | os.PathLike, mode: str = "w") -> Iterator[IO]:
    """Open a temporary file beside path; it replaces path only if the block succeeds.

    Parameters
    ----------
    path : str or path-like
        The file to write. A symlink is followed; a FIFO, device or other
        file that is not regular is opened and written directly.
    mode : {"w", "wb"}
        Text or binary.

    Yields
    ------
    file object
        Write to it; on an exception the temporary file is removed and path
        is left as it was.
    """
    target = os.path.realpath(path)
    if _is_special(target):
        with open(target, mode) as handle:
            yield handle
        return
    fd, tmp = _temporary_beside(target, path)
    try:
        # mkstemp makes the file private; give it the mode a new file would get.
        os.chmod(tmp, 0o666 & ~_current_umask())
        with os.fdopen(fd, mode) as handle:
            yield handle
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


@contextmanager
def output_stream(path: str | os.PathLike | None, mode: str = "w") -> Iterator[IO]:
    """path written atomically, or standard output when path is None or "-"."""
    if path is None or os.fspath(path) == "-":
        yield sys.stdout.buffer if "b" in mode else sys.stdout
        return
    with atomic_write(path, mode) as handle:
        yield handle


def write_npy_header(out: IO[bytes], dtype: np.dtype, shape: tuple[int, ...]) -> None:
    """The header of a C-ordered .npy array, as np.save writes it."""
    header = {"descr": np.lib.format.dtype_to_descr(np.dtype(dtype)), "fortran_order": False, "shape": shape}
    np.lib.format.write_array_header_1_0(out, header)


def write_npy(out: IO[bytes], matrix: np.ndarray) -> None:
    """matrix as a .npy file, written as a stream: np.save asks a real file
    for its position, which a pipe or FIFO does not have.

    Parameters
    ----------
    out : binary file object
        Where the bytes go; only its ``write`` is used.
    matrix : numpy.ndarray
        The array.
    """
    matrix = np.ascontiguousarray(matrix)
    write_npy_header(out, matrix.dtype, matrix.shape)
    write_values(out, matrix)


def write_values(out: IO[bytes], matrix: np.ndarray) -> None:
    """matrix's values in C order, as a .npy file holds them after its
    header: straight from its memory when it is C-contiguous."""
    out.write(memoryview(np.ascontiguousarray(matrix)).cast("B"))
