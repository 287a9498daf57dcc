"""Kernel matrices and scores computed on a Dask cluster.

- :func:`gram`: a kernel matrix as a ``dask.array`` of blocks, each computed
  by the native kernel on a worker, to store with ``to_zarr`` or
  ``to_npy_stack`` without holding the whole matrix anywhere.
- :func:`predict`, :func:`scan`: decision values of the records of a FASTA
  file, or of every window of them, as ``dask.dataframe`` frames. The file is
  indexed once by streaming it; each task reads its own records (or its own
  slice of a long record) from the file, so the file must be readable at the
  same path on every worker.

Every value is bitwise the value of the single-process path on the same
input. The functions run on whatever Dask scheduler is current: the
``distributed.Client`` last made (a :func:`local_cluster`, a
``Client("tcp://...")``, a dask-jobqueue or Kubernetes cluster), so the same
call scales from a laptop to a cluster.
"""
from __future__ import annotations

import copy
import logging
import os
import warnings
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Iterable, Iterator, Sequence

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster, as_completed
from sklearn.base import clone
from sklearn.utils.validation import check_is_fitted
from tqdm.auto import tqdm

from .estimators import _GkmSVMBase
from .fasta import (
    READ_MODES,
    FastaIndex,
    RecordSlice,
    index_fasta,
    invalid_base_message,
    read_slices,
    refuse_invalid_records,
    warn_dropped,
)
from .kernels import GkmKernel, ReferenceSet, check_one_length, check_window, chunk_bounds, window_count, window_pieces
from .sequences import RecordNames, check_choice, first_invalid

DEFAULT_BLOCK = 1000
"""Rows of a Gram stripe and side of its blocks: a block is 8 MB of
float64, a stripe of this many queries searches its index efficiently, and
a Gram of 20,000 sequences makes ten tasks of equal work."""

DEFAULT_PARTITION_BASES = 1 << 22
"""Most bases of FASTA text a predict or scan task reads and scores."""

MIN_PARTITIONS = 64
MIN_PARTITION_BASES = 1 << 15
"""By default a file is cut into at least MIN_PARTITIONS partitions of at
least MIN_PARTITION_BASES bases each (a few ms of work for a table model):
every worker of a cluster gets work, and a progress bar over the partitions
moves in steps of a few percent rather than from 0/1 to 1/1."""

QUIET_MONITORS = {
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.admin.system-monitor.gil.enabled": False,
    "distributed.worker.profile.enabled": False,
    "distributed.worker.memory.monitor-interval": "1s",
}
"""Dask settings of a local cluster, whose workers spend their time in long
native tasks on a few cores: Dask's monitors, woken every 10 to 100 ms by
default, took about 4% of each worker's core, and as much again in the
scheduler's process. Keys set to anything but Dask's defaults are kept."""

HOLD_ONE_STRIPE = {
    "distributed.scheduler.worker-saturation": 1.0,
    "distributed.scheduler.work-stealing": False,
}
"""Dask settings of a local cluster that bound what a worker holds. The
blocks of a Gram stripe are views of the whole stripe (400 MB at 50,000
sequences), which stays in memory until the last of them is stored. With
one queued task per thread, a worker stores a stripe's blocks before it
starts the next stripe, where Dask's default of 1.1 hands it a second one
that runs first; without work stealing, an idle worker does not take over
the store of a block, which would copy the whole stripe to it. Keys set to
anything but Dask's defaults are kept."""

START_METHOD_KEY = "distributed.worker.multiprocessing-method"
SAFE_START_METHODS = ("spawn", "forkserver")

__all__ = ["gram", "predict", "scan", "local_cluster", "connect"]


# ---- clusters -----------------------------------------------------------------


def use_safe_start_method() -> None:
    """Make Dask start worker processes with spawn unless forkserver is set.

    GNU OpenMP's thread pool does not survive fork, so a worker forked from
    a process that ran the native kernel on several threads would evaluate
    on one thread only. The setting is global because a nanny reads it again
    whenever it restarts a worker that died.
    """
    method = dask.config.get(START_METHOD_KEY)
    if method not in SAFE_START_METHODS:
        warnings.warn(
            f"{START_METHOD_KEY}={method!r} leaves workers one OpenMP thread after a fork; vellum uses 'spawn'",
            RuntimeWarning,
            stacklevel=3,
        )
        dask.config.set({START_METHOD_KEY: "spawn"})


use_safe_start_method()


def local_cluster(n_workers: int, **kwargs) -> LocalCluster:
    """A ``distributed.LocalCluster`` of single-threaded worker processes,
    started with spawn (or forkserver when configured).

    Parameters
    ----------
    n_workers : int
        Worker processes.
    **kwargs
        Further ``LocalCluster`` arguments; ``threads_per_worker`` defaults
        to 1, the dashboard is off unless ``dashboard_address`` is given,
        workers import this module as they start (``preload``), so that
        their first tasks do not wait for vellum and scikit-learn to load,
        Dask's monitors wake rarely (``QUIET_MONITORS``), and a worker
        holds one Gram stripe at a time (``HOLD_ONE_STRIPE``).

    Returns
    -------
    distributed.LocalCluster
    """
    use_safe_start_method()
    kwargs.setdefault("threads_per_worker", 1)
    kwargs.setdefault("dashboard_address", None)
    kwargs.setdefault("preload", [__name__])
    # The scheduler and each nanny take their settings as they start, and a
    # nanny hands its own to every worker it starts, restarts included.
    with dask.config.set(unset_by_user({**QUIET_MONITORS, **HOLD_ONE_STRIPE})):
        return LocalCluster(n_workers=n_workers, processes=True, **kwargs)


def unset_by_user(settings: dict) -> dict:
    """Dask settings without the keys set to other than Dask's defaults."""
    defaults = dask.config.merge(*dask.config.defaults)
    return {
        key: value
        for key, value in settings.items()
        if dask.config.get(key) == dask.config.get(key, config=defaults)
    }


@contextmanager
def connect(address: str | None = None, n_workers: int | None = None) -> Iterator[Client]:
    """A client of the scheduler at address, or of a new local cluster of
    n_workers processes, closed (with the local cluster) on exit.

    Parameters
    ----------
    address : str, optional
        Scheduler address such as ``"tcp://10.0.0.5:8786"``.
    n_workers : int, optional
        Worker processes of a local cluster, when address is None.

    Yields
    ------
    distributed.Client
    """
    if (address is None) == (n_workers is None):
        raise ValueError("give either a scheduler address or a number of local workers")
    if address is not None:
        with Client(address) as client:
            yield client
        return
    if n_workers < 1:
        raise ValueError(f"n_workers must be at least 1; got {n_workers}")
    # A task's exception reaches the caller through its future; the workers'
    # own log of it would only repeat it.
    with local_cluster(n_workers, silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        yield client


def results_in_order(client: Client, collections: Sequence, sizes: Sequence[int], bar: tqdm) -> Iterator:
    """Compute collections on client's cluster, all submitted at once; yield
    their results in order while bar advances by sizes[i] as each finishes.

    An exception raised by a task is raised here, as it was on the worker.
    """
    futures = client.compute(list(collections))
    position = {future.key: i for i, future in enumerate(futures)}
    done: set[int] = set()
    following = 0
    for future in as_completed(futures):
        if future.status == "error":
            # Fail at once rather than after the parts before it.
            future.result()
        done.add(position[future.key])
        bar.update(sizes[position[future.key]])
        while following in done:
            yield futures[following].result()
            futures[following].release()
            following += 1


# ---- kernel matrices ----------------------------------------------------------


def gram(
    seqs: Iterable[str],
    kernel: GkmKernel | None = None,
    *,
    Y: Iterable[str] | None = None,
    block: int = DEFAULT_BLOCK,
) -> da.Array:
    """The kernel matrix of seqs (against Y) as a dask array of blocks.

    The matrix is computed a stripe of ``block`` rows at a time, by the
    native kernel on the workers. The columns (seqs, or Y) are encoded and
    indexed once in each worker process, by its first task, and every later
    task there searches that index. For a Gram, a stripe is its rows against
    every later column, computed by the kernel's Gram path: each pair is
    computed once (blocks below the diagonal are the transposes of those
    above); a positional kernel's stripe searches every column, to give the
    bits of its whole Gram. Long stripes search large indexes, which costs
    less per pair than many small blocks would. Stripes shrink down the
    matrix, so one task computes the first stripe with the last, the second
    with the last but one, and so on: the tasks hold nearly the same work,
    and the workers finish together. Against Y, a task is one stripe, its
    rows against all of Y. Every value is bitwise ``kernel(seqs)`` (or
    ``kernel(seqs, Y)``).

    Parameters
    ----------
    seqs : list of str
        Row sequences (at most 2,047 bases each).
    kernel : GkmKernel, optional
        The kernel; ``GkmKernel()`` when None. Its ``n_jobs`` threads run in
        every task.
    Y : list of str, optional
        Column sequences; None for the Gram matrix of seqs.
    block : int, default=1000
        Rows and columns of a block (the last ones may be smaller), and rows
        of a stripe: a task holds ``block x (block + len(Y or seqs))``
        values at most, until the last of its blocks is stored, besides
        the index of the columns that its worker holds. Smaller blocks
        make more tasks, to keep more workers busy. A worker of
        :func:`local_cluster` runs one task a thread at a time
        (``HOLD_ONE_STRIPE``); give a scheduler of your own those settings
        too.

    Returns
    -------
    dask.array.Array of shape (len(seqs), len(Y or seqs)), float64

    Raises
    ------
    ValueError
        When a sequence is refused by the kernel (named), or block < 1.
    """
    kernel = clone(GkmKernel() if kernel is None else kernel).set_params(progress=False)
    if isinstance(block, bool) or not isinstance(block, (int, np.integer)):
        raise TypeError(f"block must be an int, not {type(block).__name__}")
    if block < 1:
        raise ValueError(f"block must be at least 1; got {block}")
    X = kernel.check(seqs, "seqs")
    columns = X if Y is None else kernel.check(Y, "Y")
    if kernel.positional:
        check_one_length(X, RecordNames("seqs"))
        check_one_length(columns, RecordNames("Y"), len(X[0]))
    row_bounds = list(chunk_bounds(len(X), block))
    column_bounds = row_bounds if Y is None else list(chunk_bounds(len(columns), block))
    # One node per side, not one per block: tasks that depend on a couple of
    # nodes only are the "root" tasks Dask queues, handing a worker the next
    # one once the blocks of its last are stored rather than all at once.
    columns_node = dask.delayed(_SharedReferences(kernel, columns), traverse=False)
    rows_node = None if Y is None else dask.delayed(X, traverse=False)
    computed = {}
    for group in _stripe_groups(len(row_bounds), symmetric=Y is None):
        stripes = [row_bounds[i] for i in group]
        task = dask.delayed(_kernel_stripes, pure=True)(columns_node, rows_node, stripes)
        for position, i in enumerate(group):
            first_row, last_row = row_bounds[i]
            # A stripe's first column is column first_row of the Gram, column 0 of Y.
            offset = first_row if Y is None else 0
            for j in range(i if Y is None else 0, len(column_bounds)):
                start, stop = column_bounds[j][0] - offset, column_bounds[j][1] - offset
                part = dask.delayed(_columns, pure=True)(task, position, start, stop)
                computed[i, j] = da.from_delayed(part, (last_row - first_row, stop - start), dtype=np.float64)
    grid = [
        [computed[i, j] if (i, j) in computed else computed[j, i].T for j in range(len(column_bounds))]
        for i in range(len(row_bounds))
    ]
    return da.block(grid)


def _stripe_groups(n_stripes: int, symmetric: bool) -> list[list[int]]:
    """The stripes each task computes. Stripes of a Gram shrink from the
    first to the last, so a task takes stripe i with stripe n - 1 - i: every
    task then holds the same work, and the workers finish together whatever
    order the scheduler runs the tasks in."""
    if not symmetric:
        return [[i] for i in range(n_stripes)]
    return [sorted({i, n_stripes - 1 - i}) for i in range((n_stripes + 1) // 2)]


class _SharedReferences:
    """A kernel and its reference texts, encoded and indexed where they are
    used: the first task in a worker process that borrows them makes the
    :class:`~vellum.kernels.ReferenceSet`, and later tasks there borrow the
    same one. A set serves one task at a time (its native kernel runs one
    call at a time); a thread that finds every set busy makes another.
    Pickling keeps the kernel and the texts only, so the sets never travel
    and go with this object once its last task is done."""

    def __init__(self, kernel: GkmKernel, texts: list[str]):
        self.kernel = kernel
        self.texts = texts
        self._idle: list[ReferenceSet] = []

    def __reduce__(self):
        return (type(self), (self.kernel, self.texts))

    @contextmanager
    def borrowed(self) -> Iterator[ReferenceSet]:
        """A reference set of the texts, for this thread alone until the block ends."""
        # list.pop and list.append are atomic: no two threads take one set.
        try:
            references = self._idle.pop()
        except IndexError:
            references = ReferenceSet(self.kernel, self.texts)
        try:
            yield references
        finally:
            self._idle.append(references)


def _kernel_stripes(
    columns: _SharedReferences, X: list[str] | None, stripes: list[tuple[int, int]]
) -> list[np.ndarray]:
    """Each stripe's rows X[start:stop] against every column; in a Gram (X
    None), rows [start, stop) of the Gram of the columns against the columns
    from start on, each pair among the rows computed once."""
    with columns.borrowed() as references:
        if X is None:
            return [references.gram_rows(start, stop) for start, stop in stripes]
        return [references(X[start:stop]) for start, stop in stripes]


def _columns(matrices: list[np.ndarray], position: int, start: int, stop: int) -> np.ndarray:
    """Columns [start, stop) of stripe `position` of a task, as a view: a
    stripe's blocks are stored or sent soon after it is done, and copying
    them would double a task's memory while it cuts them."""
    return matrices[position][:, start:stop]


# ---- scores of FASTA records --------------------------------------------------


@dataclass(frozen=True)
class _Piece:
    """A slice of one record for a task and the number of windows starting
    in it (none for predict); slices together hold every base of a record,
    so that each base is checked."""

    slice: RecordSlice
    n_windows: int


def predict(
    model: _GkmSVMBase,
    fasta: str | os.PathLike,
    *,
    invalid: str | None = None,
    partition_bases: int | None = None,
) -> dd.DataFrame:
    """Decision value of every record of a FASTA file, computed by tasks.

    Parameters
    ----------
    model : GkmSVC or GkmSVR
        Fitted; a binary classifier gives decision values, a regressor its
        predictions (``model.decision_values``). Shipped to the workers once.
    fasta : str or path-like
        Plain or gzip FASTA file, at this path on every worker too.
    invalid : {"error", "drop", "keep"}, optional
        Records holding characters other than A, C, G, T, as
        :func:`vellum.read_fasta` treats them; None: "keep" for a model made
        with ``invalid="skip"``, else "error", which refuses such a record
        here with read_fasta's error. A record the kernel refuses (too
        short or too long) fails the computation, named.
    partition_bases : int, optional
        Bases a task reads, roughly: one partition per that many. None:
        the file's bases in ``MIN_PARTITIONS`` partitions, from 32 kb to
        4 Mb each.

    Returns
    -------
    dask.dataframe.DataFrame
        Columns ``id`` and ``score``, one row per record in file order,
        indexed 0, 1, 2, ... across partitions. Scores are bitwise
        ``model.decision_values`` of the records.
    """
    model, read_mode = _prepare(model, invalid)
    index, records = _records(fasta, read_mode)
    partition_bases = _partition_bases(index, records, partition_bases)
    pieces = [_Piece(index.slice(r), 0) for r in records]
    parts = _group(pieces, [index.lengths[r] for r in records], partition_bases)
    rows = [len(part) for part in parts]
    return _frame(_predict_partition, model, index.path, parts, rows, read_mode, _predict_rows([], []))


def scan(
    model: _GkmSVMBase,
    fasta: str | os.PathLike,
    window: int,
    shift: int,
    *,
    invalid: str | None = None,
    partition_bases: int | None = None,
) -> dd.DataFrame:
    """Decision value of every window of every record of a FASTA file.

    Window w of a record covers bases ``[w * shift, w * shift + window)``
    (0-based, end excluded), as in ``model.scan`` and ``vellum scan``: a
    bedGraph-like track whose intervals overlap when shift < window.
    Records longer than partition_bases are cut into overlapping slices at
    window starts, so every window is scored whole; chromosomes are never
    read whole.

    Parameters
    ----------
    model : GkmSVC or GkmSVR
        Fitted binary classifier or regressor, shipped to the workers once.
    fasta : str or path-like
        Plain or gzip FASTA file of sequences of any length, at this path on
        every worker too.
    window : int
        Window length, from L to 2,047.
    shift : int
        Step between window starts, at least 1.
    invalid : {"error", "drop", "keep"}, optional
        As for :func:`predict`.
    partition_bases : int, optional
        Bases a task reads, roughly; None as for :func:`predict`.

    Returns
    -------
    dask.dataframe.DataFrame
        Columns ``id``, ``start``, ``end``, ``score``: one row per window, in
        file order, indexed 0, 1, 2, ... across partitions; scores are
        bitwise those of ``model.scan``.
    """
    model, read_mode = _prepare(model, invalid)
    check_window(window, shift, model.kernel_.L)
    if partition_bases is not None and partition_bases < window:
        raise ValueError(f"partition_bases must be at least the window ({window}); got {partition_bases}")
    index, records = _records(fasta, read_mode)
    partition_bases = _partition_bases(index, records, partition_bases)
    pieces, sizes = [], []
    for record in records:
        for piece in _record_pieces(index, record, window, shift, partition_bases):
            pieces.append(piece)
            sizes.append(piece.slice.stop - piece.slice.start)
    parts = _group(pieces, sizes, partition_bases)
    rows = [sum(piece.n_windows for piece in part) for part in parts]
    meta = _scan_rows([], [], [])
    return _frame(_scan_partition, model, index.path, parts, rows, read_mode, meta, window, shift)


def _prepare(model: _GkmSVMBase, invalid: str | None) -> tuple[_GkmSVMBase, str]:
    """A copy of model for the workers (no progress bars) and the read mode."""
    check_is_fitted(model)
    model._check_scalar()
    if invalid is None:
        invalid = "keep" if model.kernel_.invalid == "skip" else "error"
    check_choice("invalid", invalid, READ_MODES)
    return copy.copy(model).set_params(progress=False), invalid


def _records(fasta: str | os.PathLike, read_mode: str) -> tuple[FastaIndex, list[int]]:
    """The file's index and the records to score (those "drop" keeps);
    under "error", a record holding a character other than A, C, G, T is
    refused here, before any task, as read_fasta refuses it."""
    index = index_fasta(fasta)
    if read_mode == "error" and index.first_invalid is not None:
        refuse_invalid_records(index.path, index.first_invalid, sum(index.holds_invalid), len(index))
    records = range(len(index))
    if read_mode != "drop":
        return index, list(records)
    kept = [r for r in records if not index.holds_invalid[r]]
    if len(kept) < len(index):
        warn_dropped(index.path, len(index) - len(kept), len(index), stacklevel=4)
    return index, kept


def _partition_bases(index: FastaIndex, records: list[int], given: int | None) -> int:
    """Bases a task reads: given, or the records' bases in MIN_PARTITIONS
    partitions, from MIN_PARTITION_BASES to DEFAULT_PARTITION_BASES."""
    if given is not None:
        return given
    total = sum(index.lengths[r] for r in records)
    return min(DEFAULT_PARTITION_BASES, max(MIN_PARTITION_BASES, -(-total // MIN_PARTITIONS)))


def _record_pieces(index: FastaIndex, record: int, window: int, shift: int, max_bases: int) -> Iterator[_Piece]:
    """Slices of a record holding its windows, at most max_bases each.

    Together they cover every base of the record, including any between
    windows (shift > window) and after the last one, so a bad character
    anywhere is found as the single-process path finds it.
    """
    length = index.lengths[record]
    n_windows = window_count(length, window, shift)
    if n_windows == 0:
        yield _Piece(index.slice(record), 0)
        return
    for first, stop, start, end in window_pieces(n_windows, window, shift, max_bases):
        end = length if stop == n_windows else max(end, stop * shift)
        yield _Piece(index.slice(record, start, end), stop - first)


def _group(pieces: list[_Piece], sizes: Sequence[int], max_bases: int) -> list[list[_Piece]]:
    """Consecutive pieces in partitions of about max_bases each."""
    parts, current, bases = [], [], 0
    for piece, size in zip(pieces, sizes):
        if current and bases + size > max_bases:
            parts.append(current)
            current, bases = [], 0
        current.append(piece)
        bases += size
    return parts + [current] if current else parts


def _frame(
    task, model, path: str, parts: list[list[_Piece]], rows: list[int], read_mode: str, meta: pd.DataFrame, *args
):
    """One task per partition, all sharing one graph node holding the model;
    rows[i] is the number of rows of partition i, so that each task indexes
    its rows from the count before it and the frame's index is unique."""
    model_node = dask.delayed(model, traverse=False)
    firsts = np.cumsum([0] + rows[:-1]).tolist()
    chunks = [
        dask.delayed(_rows_from, pure=True)(first, task, model_node, path, part, read_mode, *args)
        for part, first in zip(parts, firsts)
    ]
    return dd.from_delayed(chunks, meta=meta, verify_meta=False)


def _rows_from(first: int, task, *args) -> pd.DataFrame:
    """The frame of task(*args), its rows numbered from first on."""
    frame = task(*args)
    frame.index = pd.RangeIndex(first, first + len(frame))
    return frame


def _read_checked(
    model: _GkmSVMBase, path: str, pieces: list[_Piece], read_mode: str
) -> Iterator[tuple[str, str]]:
    """(id, bases) of each piece; a non-ACGT character raises a ValueError
    naming the record and the character's position in the record (not in
    the piece), under "error" or when the model refuses such characters."""
    refuse = read_mode == "error" or model.kernel_.invalid == "error"
    for piece, (record_id, text) in zip(pieces, read_slices(path, [p.slice for p in pieces])):
        if refuse:
            char = first_invalid(text)
            if char is not None:
                raise ValueError(invalid_base_message(path, record_id, char.group(), piece.slice.start + char.start()))
        yield record_id, text


def _predict_partition(model: _GkmSVMBase, path: str, pieces: list[_Piece], read_mode: str) -> pd.DataFrame:
    ids, seqs = map(list, zip(*_read_checked(model, path, pieces, read_mode)))
    return _predict_rows(ids, model.decision_values(seqs, ids=RecordNames.of_file(path, ids)))


def _scan_partition(
    model: _GkmSVMBase, path: str, pieces: list[_Piece], read_mode: str, window: int, shift: int
) -> pd.DataFrame:
    ids, starts, scores = [], [], []
    for piece, (record_id, text) in zip(pieces, _read_checked(model, path, pieces, read_mode)):
        [track] = model.scan([text], window, shift, ids=RecordNames.of_file(path, [record_id]))
        ids.append(np.full(piece.n_windows, record_id, dtype=object))
        starts.append(piece.slice.start + shift * np.arange(piece.n_windows, dtype=np.int64))
        scores.append(track[: piece.n_windows])
    return _scan_rows(np.concatenate(ids), np.concatenate(starts), np.concatenate(scores), window)


def _predict_rows(ids, scores) -> pd.DataFrame:
    return pd.DataFrame({"id": pd.Series(ids, dtype=object), "score": np.asarray(scores, dtype=np.float64)})


def _scan_rows(ids, starts, scores, window: int = 0) -> pd.DataFrame:
    starts = np.asarray(starts, dtype=np.int64)
    return pd.DataFrame(
        {
            "id": pd.Series(ids, dtype=object),
            "start": starts,
            "end": starts + window,
            "score": np.asarray(scores, dtype=np.float64),
        }
    )
