"""The demo behind ``vellum demo``: a CTCF classifier on bundled real sequences.

Trains :class:`vellum.GkmSVC` (L=10, k=6, d=3, reverse complements) on 300
bound and 300 unbound 100-bp CTCF ChIP-seq sequences (see
``vellum/data/README.md`` for their source) and reports the 5-fold
cross-validated ROC AUC, computing the kernel matrix once for all folds.
"""
from __future__ import annotations

from importlib import resources
from pathlib import Path

import numpy as np

from .estimators import GkmSVC
from .fasta import read_fasta
from .model_selection import CrossValidatedROC, cross_validate_roc

DEMO_PARAMS = dict(L=10, k=6, d=3, use_rc=True)
FOLDS = 5


def demo_fasta_paths() -> tuple[Path, Path]:
    """Paths of the bundled FASTA files: (bound, unbound)."""
    data = resources.files("vellum") / "data"
    return Path(str(data / "ctcf_bound.fasta")), Path(str(data / "ctcf_unbound.fasta"))


def demo_data(per_class: int | None = None) -> tuple[list[str], np.ndarray]:
    """The bundled sequences and labels (1 bound, 0 unbound).

    Parameters
    ----------
    per_class : int, optional
        Take only the first per_class records of each class.
    """
    bound_path, unbound_path = demo_fasta_paths()
    _, bound = read_fasta(bound_path)
    _, unbound = read_fasta(unbound_path)
    bound, unbound = bound[:per_class], unbound[:per_class]
    return bound + unbound, np.array([1] * len(bound) + [0] * len(unbound))


def run_demo(n_jobs: int | None = 1, progress: bool | str = False, per_class: int | None = None) -> CrossValidatedROC:
    """Cross-validate the demo classifier.

    Parameters
    ----------
    n_jobs : int, default=1
        Threads of the kernel evaluation.
    progress : {False, True, "auto"}, default=False
        Show a progress bar on stderr (see :class:`vellum.GkmKernel`).
    per_class : int, optional
        Use only the first per_class records of each class.

    Returns
    -------
    CrossValidatedROC
        Out-of-fold scores and per-fold ROC AUCs.
    """
    X, y = demo_data(per_class)
    model = GkmSVC(**DEMO_PARAMS, n_jobs=n_jobs, progress=progress)
    return cross_validate_roc(model, X, y, n_splits=FOLDS, random_state=0)
