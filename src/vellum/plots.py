"""PNG figures of ROC curves, scan tracks and mutagenesis maps.

Figures are drawn on matplotlib's Agg canvas directly (no pyplot, so no
display is ever needed) and written atomically.
"""
from __future__ import annotations

import os
from typing import Sequence

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from sklearn.metrics import roc_curve

from .outputs import atomic_write
from .sequences import BASES


def save_png(fig: Figure, path: str | os.PathLike) -> None:
    """Render fig with Agg and write it to path as PNG, atomically."""
    FigureCanvasAgg(fig)
    with atomic_write(path, "wb") as handle:
        fig.savefig(handle, format="png", dpi=120)


def stacked_panels(n: int, width: float, panel_height: float, margin: float) -> tuple[Figure, np.ndarray]:
    """A figure of n panels one above the other, each panel_height inches tall."""
    fig = Figure(figsize=(width, panel_height * n + margin))
    return fig, fig.subplots(n, 1, squeeze=False)[:, 0]


def save_panels(fig: Figure, axes: np.ndarray, xlabel: str, path: str | os.PathLike) -> None:
    """Label the shared position axis under the last panel and write the figure."""
    axes[-1].set_xlabel(xlabel)
    fig.tight_layout()
    save_png(fig, path)


def plot_roc(
    labels: np.ndarray,
    scores: np.ndarray,
    path: str | os.PathLike,
    *,
    title: str = "ROC curve",
    fold_aucs: Sequence[float] | None = None,
) -> None:
    """ROC curve of scores against boolean labels, written to path as PNG.

    Parameters
    ----------
    labels : array of bool
        True for the positive class.
    scores : array of float
        Higher means more likely positive.
    path : str or path-like
        PNG file to write.
    title : str
        Figure title.
    fold_aucs : sequence of float, optional
        Per-fold AUCs of a cross-validation, reported in the legend.
    """
    fpr, tpr, _ = roc_curve(labels, scores)
    label = "pooled out-of-fold scores" if fold_aucs is not None else "scores"
    if fold_aucs is not None:
        label += f"\nfold AUC {np.mean(fold_aucs):.3f} ± {np.std(fold_aucs):.3f}"
    fig = Figure(figsize=(5, 5))
    ax = fig.add_subplot()
    ax.plot(fpr, tpr, lw=2, label=label)
    ax.plot([0, 1], [0, 1], ls="--", color="grey", lw=1, label="chance")
    ax.set(xlim=(0, 1), ylim=(0, 1.01), xlabel="false positive rate", ylabel="true positive rate", title=title)
    ax.legend(loc="lower right")
    fig.tight_layout()
    save_png(fig, path)


def plot_scan(
    ids: Sequence[str],
    tracks: Sequence[np.ndarray],
    window: int,
    shift: int,
    path: str | os.PathLike,
    *,
    max_records: int = 6,
) -> None:
    """Score tracks of scanned sequences, one panel per record (the first max_records).

    Each window's score is drawn at its centre, ``w * shift + window / 2``.
    """
    shown = list(zip(ids, tracks))[:max_records]
    fig, axes = stacked_panels(len(shown), 9, 1.8, 0.8)
    for ax, (seq_id, track) in zip(axes, shown):
        centres = np.arange(len(track)) * shift + window / 2
        ax.plot(centres, track, lw=1)
        ax.axhline(0, color="grey", lw=0.8, ls="--")
        ax.set_ylabel("score")
        ax.set_title(f"{seq_id} (window {window}, shift {shift})", fontsize=9, loc="left")
    save_panels(fig, axes, "position of window centre (bp)", path)


def plot_mutagenesis(
    ids: Sequence[str],
    seqs: Sequence[str],
    effects: Sequence[np.ndarray],
    path: str | os.PathLike,
    *,
    max_records: int = 4,
) -> None:
    """Heatmaps of substitution effects (4 x length), one per record (the first max_records).

    Colours are symmetric around 0 (red raises the score, blue lowers it);
    the reference base of each column is marked with a dot.
    """
    shown = list(zip(ids, seqs, effects))[:max_records]
    longest = max(len(seq) for _, seq, _ in shown)
    fig, axes = stacked_panels(len(shown), min(3 + longest * 0.09, 24), 1.6, 0.6)
    for ax, (seq_id, seq, effect) in zip(axes, shown):
        limit = float(np.abs(effect).max()) or 1.0
        image = ax.imshow(effect, aspect="auto", cmap="RdBu_r", vmin=-limit, vmax=limit, interpolation="nearest")
        ref_rows = [BASES.find(base) for base in seq.upper()]
        cols = [i for i, row in enumerate(ref_rows) if row >= 0]
        ax.scatter(cols, [ref_rows[i] for i in cols], s=4, color="black")
        ax.set_yticks(range(4), list(BASES))
        ax.set_title(f"{seq_id}: change in score per substitution", fontsize=9, loc="left")
        fig.colorbar(image, ax=ax, pad=0.01)
    save_panels(fig, axes, "position (bp, 0-based)", path)


def plot_contributions(
    ids: Sequence[str],
    seqs: Sequence[str],
    contributions: Sequence[np.ndarray],
    path: str | os.PathLike,
    *,
    max_records: int = 4,
    max_bases: int = 200,
) -> None:
    """Sequence logos of per-base contributions, one panel per record (the first max_records).

    Each base is drawn as its reference letter, as tall as its contribution
    to the decision value: above the axis where it raises the score, below
    where it lowers it, on one scale for every panel. A record longer than
    max_bases is drawn around its strongest stretch, as the title says.
    """
    import logomaker
    import pandas as pd

    from .lmer_table import base_codes

    shown = list(zip(ids, seqs, contributions))[:max_records]
    spans = [_strongest_span(values, max_bases) for _, _, values in shown]
    limit = max(float(np.abs(values[start:stop]).max()) for (_, _, values), (start, stop) in zip(shown, spans))
    limit = limit * 1.05 or 1.0
    widest = max(stop - start for start, stop in spans)
    fig, axes = stacked_panels(len(shown), min(3 + widest * 0.12, 24), 2.0, 0.6)
    for ax, (seq_id, seq, values), (start, stop) in zip(axes, shown, spans):
        # Each position's reference base carries its contribution; a
        # non-ACGT base draws no letter.
        codes = base_codes(seq[start:stop])
        heights = np.zeros((stop - start, len(BASES)))
        drawn = np.flatnonzero(codes >= 0)
        heights[drawn, codes[drawn]] = values[start:stop][drawn]
        matrix = pd.DataFrame(heights, index=np.arange(start, stop), columns=list(BASES))
        logomaker.Logo(matrix, ax=ax, color_scheme="classic", flip_below=False)
        ax.axhline(0, color="grey", lw=0.6)
        ax.set_ylim(-limit, limit)
        ax.set_ylabel("contribution")
        where = f", bases {start}-{stop - 1} of {len(seq)}" if stop - start < len(seq) else ""
        ax.set_title(f"{seq_id}: contribution of each base to the decision value{where}", fontsize=9, loc="left")
    save_panels(fig, axes, "position (bp, 0-based)", path)


def _strongest_span(values: np.ndarray, width: int) -> tuple[int, int]:
    """[start, stop) of the width bases with the largest summed |contribution|."""
    if len(values) <= width:
        return 0, len(values)
    totals = np.convolve(np.abs(values), np.ones(width), mode="valid")
    start = int(np.argmax(totals))
    return start, start + width
