"""PNG figures of ROC curves, scan tracks and mutagenesis maps.

Figures are drawn on matplotlib's Agg canvas directly (no pyplot, so no
display is ever needed) and written atomically.
"""
from __future__ import annotations

import os
from typing import Callable, Sequence

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from sklearn.metrics import roc_auc_score, roc_curve

from .outputs import atomic_write
from .sequences import BASES


def save_png(fig: Figure, path: str | os.PathLike) -> None:
    """Render fig with Agg and write it to path as PNG, atomically."""
    FigureCanvasAgg(fig)
    with atomic_write(path, "wb") as handle:
        fig.savefig(handle, format="png", dpi=120)


def stacked_panels(n: int, width: float, panel_height: float, margin: float) -> tuple[Figure, np.ndarray]:
    """A figure of n panels one above the other, each panel_height inches tall."""
    # Constrained layout leaves room for titles, a shared colour bar and
    # two-line tick labels, which tight_layout does not combine.
    fig = Figure(figsize=(width, panel_height * n + margin), layout="constrained")
    return fig, fig.subplots(n, 1, squeeze=False)[:, 0]


def save_panels(fig: Figure, axes: np.ndarray, xlabel: str, path: str | os.PathLike) -> None:
    """Label the shared position axis under the last panel and write the figure."""
    axes[-1].set_xlabel(xlabel)
    save_png(fig, path)


def score_axis_label(model) -> str:
    """What a fitted model's scores are: a classifier's decision value, with
    the class a positive value favours, or a regressor's prediction."""
    classes = getattr(model, "classes_", None)
    if classes is None:
        return "predicted value"
    positive = classes[1]
    named = positive if isinstance(positive, str) else f"class {positive}"
    return f"decision value\n(> 0 favours {named})"


def plot_roc(
    labels: np.ndarray,
    scores: np.ndarray,
    path: str | os.PathLike,
    *,
    title: str = "ROC curve",
    fold_aucs: Sequence[float] | None = None,
) -> None:
    """ROC curve of scores against boolean labels, written to path as PNG
    (see :func:`roc_figure`)."""
    save_png(roc_figure(labels, scores, title=title, fold_aucs=fold_aucs), path)


def roc_figure(
    labels: np.ndarray, scores: np.ndarray, *, title: str = "ROC curve", fold_aucs: Sequence[float] | None = None
) -> Figure:
    """ROC curve of scores against boolean labels, its AUC in the legend.

    Parameters
    ----------
    labels : array of bool
        True for the positive class.
    scores : array of float
        Higher means more likely positive.
    title : str
        Figure title.
    fold_aucs : sequence of float, optional
        Per-fold AUCs of a cross-validation: scores are then pooled
        out-of-fold scores, and the legend gives both the AUC of the pooled
        curve drawn and the mean and spread of the folds' AUCs, which
        differ.

    Returns
    -------
    matplotlib.figure.Figure
    """
    fpr, tpr, _ = roc_curve(labels, scores)
    label = f"AUC {roc_auc_score(labels, scores):.3f}"
    if fold_aucs is not None:
        spread = f"{np.mean(fold_aucs):.3f} ± {np.std(fold_aucs):.3f}"
        label = f"pooled out-of-fold scores, {label}\nmean of fold AUCs {spread}"
    fig = Figure(figsize=(5, 5), layout="constrained")
    ax = fig.add_subplot()
    ax.plot(fpr, tpr, lw=2, label=label)
    ax.plot([0, 1], [0, 1], ls="--", color="grey", lw=1, label="chance")
    ax.set(xlim=(0, 1), ylim=(0, 1.01), xlabel="false positive rate", ylabel="true positive rate", title=title)
    ax.legend(loc="lower right")
    return fig


def plot_scan(
    ids: Sequence[str],
    tracks: Sequence[np.ndarray],
    window: int,
    shift: int,
    path: str | os.PathLike,
    *,
    score_label: str = "decision value",
    max_records: int = 6,
) -> None:
    """Score tracks of scanned sequences written to path as PNG (see :func:`scan_figure`)."""
    fig, axes = scan_figure(ids, tracks, window, shift, score_label=score_label, max_records=max_records)
    save_panels(fig, axes, "position of window centre (bp)", path)


def scan_figure(
    ids: Sequence[str],
    tracks: Sequence[np.ndarray],
    window: int,
    shift: int,
    *,
    score_label: str = "decision value",
    max_records: int = 6,
) -> tuple[Figure, np.ndarray]:
    """Score tracks of scanned sequences, one panel per record (the first max_records).

    Each window's score is drawn at its centre, ``w * shift + window / 2``;
    a record shorter than the window says it has none.

    Parameters
    ----------
    ids : sequence of str
        Record ids.
    tracks : sequence of ndarray
        Each record's window scores.
    window, shift : int
        The scan's geometry.
    score_label : str
        What a score is (:func:`score_axis_label` of the model).
    max_records : int
        Panels at most.

    Returns
    -------
    fig : matplotlib.figure.Figure
    axes : ndarray of Axes
    """
    shown = list(zip(ids, tracks))[:max_records]
    fig, axes = stacked_panels(len(shown), 9, 1.8, 0.8)
    for ax, (seq_id, track) in zip(axes, shown):
        ax.set_title(f"{seq_id} (window {window}, shift {shift})", fontsize=9, loc="left")
        ax.set_ylabel(score_label, fontsize=8)
        if not len(track):
            message = f"no windows: the record is shorter than the {window}-bp window"
            ax.text(0.5, 0.5, message, transform=ax.transAxes, ha="center", va="center", color="grey")
            ax.set(xticks=[], yticks=[])
            continue
        centres = np.arange(len(track)) * shift + window / 2
        ax.plot(centres, track, lw=1)
        ax.axhline(0, color="grey", lw=0.8, ls="--")
    return fig, axes


def plot_mutagenesis(
    ids: Sequence[str],
    seqs: Sequence[str],
    effects: Sequence[np.ndarray],
    path: str | os.PathLike,
    *,
    max_records: int = 4,
    max_bases: int = 100,
) -> None:
    """Substitution-effect heatmaps written to path as PNG (see :func:`mutagenesis_figure`)."""
    fig, axes = mutagenesis_figure(ids, seqs, effects, max_records=max_records, max_bases=max_bases)
    save_panels(fig, axes, "reference base (position in bp, 0-based, above each map)", path)


def mutagenesis_figure(
    ids: Sequence[str],
    seqs: Sequence[str],
    effects: Sequence[np.ndarray],
    *,
    max_records: int = 4,
    max_bases: int = 100,
) -> tuple[Figure, np.ndarray]:
    """Heatmaps of substitution effects, one per record (the first max_records).

    Row b, column i of a record's map is the change in decision value when
    base i becomes b, on one colour scale symmetric around 0 for every
    record (red raises the score, blue lowers it). A dot marks each
    column's reference base, which is written under its column; positions
    are marked above. A record longer than max_bases is drawn around the
    stretch where its effects are largest, as its title says.

    Parameters
    ----------
    ids : sequence of str
        Record ids.
    seqs : sequence of str
        The records' sequences.
    effects : sequence of ndarray
        Each record's (4, len(seq)) effects, as ``model.mutagenesis`` gives.
    max_records : int
        Panels at most.
    max_bases : int
        Columns of a panel at most.

    Returns
    -------
    fig : matplotlib.figure.Figure
    axes : ndarray of Axes
    """
    shown, spans, limit = _record_spans(ids, seqs, effects, max_records, max_bases, lambda e: np.abs(e).sum(axis=0))
    widest = max(stop - start for start, stop in spans)
    fig, axes = stacked_panels(len(shown), min(3 + widest * 0.13, 24), 1.5, 1.0)
    for ax, (seq_id, seq, effect), (start, stop) in zip(axes, shown, spans):
        image = ax.imshow(
            effect[:, start:stop],
            aspect="auto",
            cmap="RdBu_r",
            vmin=-(limit or 1.0),
            vmax=limit or 1.0,
            interpolation="nearest",
            extent=(start - 0.5, stop - 0.5, len(BASES) - 0.5, -0.5),
        )
        _mark_reference_bases(ax, seq, start, stop)
        where = _span_note(start, stop, len(seq))
        ax.set_title(f"{seq_id}{where}{', where effects are largest' if where else ''}", fontsize=9, loc="left")
    fig.colorbar(image, ax=list(axes), label="change in decision value", shrink=0.9)
    fig.suptitle(
        "change in decision value of each base substitution, one colour scale for every record; "
        "dots: the reference base (no change)",
        fontsize=9,
    )
    return fig, axes


def _mark_reference_bases(ax, seq: str, start: int, stop: int) -> None:
    """A dot on each column's reference base, the base under its column and
    the position of every tenth column above the map."""
    from .lmer_table import base_codes

    ref_rows = base_codes(seq[start:stop])
    cols = np.flatnonzero(ref_rows >= 0)
    ax.scatter(cols + start, ref_rows[cols], s=6, color="black")
    ax.set_xticks(range(start, stop), list(seq[start:stop]), fontsize=7, fontfamily="monospace")
    ax.tick_params(axis="x", length=0)
    positions = ax.secondary_xaxis("top")
    positions.set_xticks(range(-(-start // 10) * 10, stop, 10))
    positions.tick_params(labelsize=7)
    ax.set_yticks(range(len(BASES)), list(BASES))
    ax.set_ylabel("substituted base", fontsize=8)


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

    shown, spans, limit = _record_spans(ids, seqs, contributions, max_records, max_bases, lambda values: values)
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
        where = _span_note(start, stop, len(seq))
        ax.set_title(f"{seq_id}: contribution of each base to the decision value{where}", fontsize=9, loc="left")
    save_panels(fig, axes, "position (bp, 0-based)", path)


def _record_spans(ids, seqs, values, max_records: int, max_bases: int, strength: Callable):
    """The first max_records (id, seq, values) records, the span of each to
    draw (its max_bases bases of largest strength(values), or all of it) and
    the largest |value| within the spans: one scale for every panel."""
    shown = list(zip(ids, seqs, values))[:max_records]
    spans = [_strongest_span(strength(record_values), max_bases) for _, _, record_values in shown]
    limit = max(float(np.abs(v[..., start:stop]).max()) for (_, _, v), (start, stop) in zip(shown, spans))
    return shown, spans, limit


def _span_note(start: int, stop: int, length: int) -> str:
    """The title's note of the bases drawn, when they are not the whole record."""
    return f", bases {start}-{stop - 1} of {length}" if stop - start < length else ""


def _strongest_span(values: np.ndarray, width: int) -> tuple[int, int]:
    """[start, stop) of the width bases with the largest summed |contribution|."""
    if len(values) <= width:
        return 0, len(values)
    totals = np.convolve(np.abs(values), np.ones(width), mode="valid")
    start = int(np.argmax(totals))
    return start, start + width
