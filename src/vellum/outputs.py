"""Output files written whole or not at all: a temporary file, then a rename."""
from __future__ import annotations

import os
import sys
import tempfile
from contextlib import contextmanager
from typing import IO, Iterator


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextmanager
def atomic_write(path: str | os.PathLike, mode: str = "w") -> Iterator[IO]:
    """Open a temporary file beside path; it replaces path only if the block succeeds.

    Parameters
    ----------
    path : str or path-like
        The file to write.
    mode : {"w", "wb"}
        Text or binary.

    Yields
    ------
    file object
        Write to it; on an exception the temporary file is removed and path
        is left as it was.
    """
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        # mkstemp makes the file private; give it the mode a new file would get.
        os.chmod(tmp, 0o666 & ~_current_umask())
        with os.fdopen(fd, mode) as handle:
            yield handle
        os.replace(tmp, path)
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
