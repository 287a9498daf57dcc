"""Progress bars on stderr, shown only for work that lasts more than a second.

A ``progress`` parameter is True (always draw), False (never) or "auto":
draw only when stderr is a terminal, so that a model saved by ``vellum
train`` and loaded in a notebook, a log or a batch job draws nothing.
"""
from __future__ import annotations

import sys

from tqdm.auto import tqdm

from .sequences import check_choice

# Short jobs print nothing: a bar appears once this many seconds have passed.
DELAY_SECONDS = 1.0

PROGRESS_CHOICES = (False, True, "auto")


def check_progress(progress: bool | str) -> None:
    """Raise ValueError unless progress is True, False or "auto"."""
    check_choice("progress", progress, PROGRESS_CHOICES)


def shows_progress(progress: bool | str) -> bool:
    """Whether a bar is drawn for this progress setting, here and now."""
    check_progress(progress)
    if progress == "auto":
        return stderr_is_terminal()
    return bool(progress)


def stderr_is_terminal() -> bool:
    """Whether sys.stderr is a terminal (a notebook's or a log's stream is not)."""
    isatty = getattr(sys.stderr, "isatty", None)
    return bool(isatty and isatty())


def progress_bar(
    progress: bool | str, total: int | None, desc: str, unit: str = "seq", unit_scale: bool = False
) -> tqdm:
    """A tqdm bar on stderr (a no-op object when progress says not to draw).

    Parameters
    ----------
    progress : {True, False, "auto"}
        Draw always, never, or when stderr is a terminal.
    total : int or None
        Units of the whole work (None when unknown: the bar counts).
    desc : str
        Label in front of the bar.
    unit : str
        What one unit is.
    unit_scale : bool
        Abbreviate large counts (12.3M).
    """
    return tqdm(
        total=total,
        desc=desc,
        unit=unit,
        unit_scale=unit_scale,
        disable=not shows_progress(progress),
        file=sys.stderr,
        delay=DELAY_SECONDS,
    )
