"""Cross-validated ROC of a classifier from one Gram matrix for all folds."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable

import numpy as np
from sklearn.base import clone
from sklearn.metrics import roc_auc_score
from sklearn.model_selection import StratifiedKFold, cross_val_predict

from .estimators import GkmSVC


@dataclass(frozen=True)
class CrossValidatedROC:
    """Out-of-fold decision values of a binary classifier.

    Attributes
    ----------
    labels : ndarray of bool
        True where the sequence's label is the positive class.
    scores : ndarray
        Each sequence's decision value from the fold that held it out.
    fold_aucs : ndarray
        ROC AUC within each fold.
    positive_class : object
        The label counted as positive (the larger of the two, as in
        scikit-learn's ``classes_[1]``).
    """

    labels: np.ndarray
    scores: np.ndarray
    fold_aucs: np.ndarray
    positive_class: object

    @property
    def auc(self) -> float:
        """Mean ROC AUC over the folds."""
        return float(self.fold_aucs.mean())

    @property
    def auc_std(self) -> float:
        """Standard deviation of the folds' ROC AUCs."""
        return float(self.fold_aucs.std())


def cross_validate_roc(
    model: GkmSVC,
    X: Iterable[str],
    y,
    n_splits: int = 5,
    random_state: int | None = 0,
    gram: np.ndarray | None = None,
) -> CrossValidatedROC:
    """Stratified k-fold ROC of a binary GkmSVC, computing the kernel once.

    Each fold fits the model's SVM on the training rows and columns of one
    Gram matrix of X and scores the held-out rows: the same values as
    fitting a fresh ``GkmSVC`` per fold, without recomputing kernel values.
    A model that would train through the table solver on X fits each fold
    with it instead, and no Gram is made.

    Parameters
    ----------
    model : GkmSVC
        Unfitted or fitted; only its parameters are used.
    X : list of str
        Sequences.
    y : array-like
        Two classes.
    n_splits : int, default=5
        Folds.
    random_state : int or None, default=0
        Seed of the shuffled fold assignment.
    gram : ndarray, optional
        The Gram matrix of X under the model's kernel, when already computed.

    Returns
    -------
    CrossValidatedROC
    """
    kernel = model.make_kernel()
    X = kernel.check(X, "X")
    y = model._check_targets(X, y)
    classes = np.unique(y)
    if len(classes) != 2:
        raise ValueError(f"ROC needs two classes; y has {len(classes)}")
    folds = StratifiedKFold(n_splits=n_splits, shuffle=True, random_state=random_state)
    if model._chosen_solver(kernel, X, y) == "table":
        scores = cross_val_predict(clone(model), X, y, cv=folds, method="decision_function")
    else:
        gram = kernel(X) if gram is None else gram
        scores = cross_val_predict(model._make_svm(), gram, y, cv=folds, method="decision_function")
    labels = y == classes[1]
    aucs = [roc_auc_score(labels[test], scores[test]) for _, test in folds.split(X, y)]
    return CrossValidatedROC(labels, scores, np.asarray(aucs), classes[1])
