"""What the figures say: axis and colour-bar labels, legends, captions and
the bases drawn, read from the matplotlib objects."""
import random

import numpy as np
import pytest
from sklearn.metrics import roc_auc_score

from vellum import GkmSVC, GkmSVR, plots

BASES = "ACGT"


def random_dna(n, seed=0):
    rng = random.Random(seed)
    return "".join(rng.choice(BASES) for _ in range(n))


@pytest.fixture(scope="module")
def texts():
    return [random_dna(40, seed) for seed in range(12)]


def test_roc_legend_gives_pooled_and_mean_fold_auc():
    rng = np.random.default_rng(3)
    labels = np.arange(90) % 2 == 0
    # Folds whose scores sit on different scales: pooling them loses AUC.
    folds = np.arange(90) % 3
    scores = labels * 1.0 + rng.normal(0, 0.8, 90) + folds * 2.0
    fold_aucs = [roc_auc_score(labels[folds == f], scores[folds == f]) for f in range(3)]
    pooled = roc_auc_score(labels, scores)
    assert f"{pooled:.3f}" != f"{np.mean(fold_aucs):.3f}"
    fig = plots.roc_figure(labels, scores, fold_aucs=fold_aucs)
    texts = [text.get_text() for text in fig.axes[0].get_legend().get_texts()]
    assert texts == [
        f"pooled out-of-fold scores, AUC {pooled:.3f}\n"
        f"mean of fold AUCs {np.mean(fold_aucs):.3f} ± {np.std(fold_aucs):.3f}",
        "chance",
    ]
    assert plots.roc_figure(labels, scores).axes[0].get_legend().get_texts()[0].get_text() == f"AUC {pooled:.3f}"


@pytest.mark.parametrize(
    "make, y, label",
    [
        (GkmSVC, ["bound", "unbound"] * 6, "decision value\n(> 0 favours unbound)"),
        (GkmSVC, [0, 1] * 6, "decision value\n(> 0 favours class 1)"),
        (GkmSVR, np.linspace(0, 1, 12), "predicted value"),
    ],
)
def test_score_axis_names_what_a_positive_value_favours(texts, make, y, label):
    assert plots.score_axis_label(make(L=6, k=4, d=2).fit(texts, y)) == label


def test_scan_panels_label_the_score_and_say_when_a_record_has_no_windows():
    tracks = [np.array([0.5, -0.25, 1.0]), np.array([])]
    fig, axes = plots.scan_figure(["long", "tiny"], tracks, 50, 20, score_label="decision value\n(> 0 favours b)")
    assert [ax.get_ylabel() for ax in axes] == ["decision value\n(> 0 favours b)"] * 2
    [line] = [line for line in axes[0].get_lines() if line.get_linestyle() == "-"]
    assert line.get_xdata().tolist() == [25, 45, 65]
    assert [text.get_text() for text in axes[0].texts] == []
    assert [text.get_text() for text in axes[1].texts] == ["no windows: the record is shorter than the 50-bp window"]
    assert axes[1].get_lines() == []


def strongest_start(effect, width):
    """Brute force: start of the width columns with the largest total |effect|."""
    totals = [np.abs(effect[:, s : s + width]).sum() for s in range(effect.shape[1] - width + 1)]
    return int(np.argmax(totals))


def test_mutagenesis_maps_share_a_labelled_scale_and_show_reference_bases():
    rng = np.random.default_rng(0)
    seqs = [random_dna(2047, 1), random_dna(30, 2)]
    effects = [rng.normal(0, 0.1, (4, 2047)), rng.normal(0, 0.5, (4, 30))]
    effects[0][:, 1500:1540] += 1.0
    for seq, effect in zip(seqs, effects):
        effect[[BASES.index(b) for b in seq], np.arange(len(seq))] = 0.0
    fig, axes = plots.mutagenesis_figure(["chr", "short"], seqs, effects, max_bases=100)

    start = strongest_start(effects[0], 100)
    shown = [(start, start + 100), (0, 30)]
    limit = max(np.abs(effect[:, a:b]).max() for effect, (a, b) in zip(effects, shown))
    images = [ax.images[0] for ax in axes]
    assert [image.get_clim() for image in images] == [(-limit, limit)] * 2
    [colorbar] = {id(image.colorbar): image.colorbar for image in images if image.colorbar}.values()
    assert colorbar.ax.get_ylabel() == "change in decision value"
    assert "one colour scale for every record" in fig.get_suptitle()
    assert "dots: the reference base" in fig.get_suptitle()

    assert axes[0].get_title(loc="left") == f"chr, bases {start}-{start + 99} of 2047, where effects are largest"
    assert axes[1].get_title(loc="left") == "short"
    for ax, seq, (a, b) in zip(axes, seqs, shown):
        assert [label.get_text() for label in ax.get_xticklabels()] == list(seq[a:b])
        [dots] = ax.collections
        assert dots.get_offsets().tolist() == [[i, BASES.index(seq[i])] for i in range(a, b)]
