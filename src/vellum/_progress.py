"""Progress bars on stderr, shown only for work that lasts more than a second."""
from __future__ import annotations

import sys

from tqdm.auto import tqdm

# Short jobs print nothing: a bar appears once this many seconds have passed.
DELAY_SECONDS = 1.0


def progress_bar(enabled: bool, total: int, desc: str, unit: str = "seq") -> tqdm:
    """A tqdm bar on stderr (a no-op object when enabled is false)."""
    return tqdm(total=total, desc=desc, unit=unit, disable=not enabled, file=sys.stderr, delay=DELAY_SECONDS)
