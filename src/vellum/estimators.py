"""Support vector machines on the gapped k-mer kernel: :class:`GkmSVC`, :class:`GkmSVR`.

Each wraps scikit-learn's SVC or SVR with a precomputed kernel. The fitted
model keeps the support sequences and the fitted SVM (dual coefficients,
intercepts); predictions score the support sequences only.
"""
from __future__ import annotations

from typing import Callable, Iterable, Sequence

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, clone
from sklearn.calibration import CalibratedClassifierCV
from sklearn.svm import SVC, SVR
from sklearn.utils.metaestimators import available_if
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from ._progress import progress_bar
from .kernels import GkmKernel, ReferenceSet, check_window, window_count
from .sequences import BASES, as_text_list

# Kernel-matrix values handed to the SVM at once: precomputed-kernel SVMs
# expect a column per training sequence, so a block is widened to that.
_SVM_BLOCK_VALUES = 1 << 22

_CALIBRATION_FOLDS = 5


class _GkmSVMBase(BaseEstimator):
    """What GkmSVC and GkmSVR share: the kernel, fitting on a Gram matrix,
    and scoring through the support sequences."""

    def make_kernel(self) -> GkmKernel:
        """The :class:`GkmKernel` of this model's kernel parameters."""
        return GkmKernel(**{name: getattr(self, name) for name in GkmKernel._get_param_names()})

    def _make_svm(self) -> SVC | SVR:
        raise NotImplementedError

    def _check_targets(self, X: list[str], y) -> np.ndarray:
        y = np.asarray(y)
        if y.ndim != 1:
            raise ValueError(f"y must be one label per sequence (1-D); got shape {y.shape}")
        if len(y) != len(X):
            raise ValueError(f"X has {len(X)} sequences but y has {len(y)} labels")
        return y

    def fit(self, X: Iterable[str], y) -> "_GkmSVMBase":
        """Fit the SVM on the kernel matrix of the training sequences.

        Parameters
        ----------
        X : list of str
            Training sequences (at most 2,047 bases each).
        y : array-like of shape (len(X),)
            Labels (any hashable values, strings included) or targets.

        Returns
        -------
        self
        """
        kernel = self.make_kernel()
        X = kernel.check(X, "X")
        y = self._check_targets(X, y)
        return self.fit_from_gram(X, y, kernel(X))

    def fit_from_gram(self, X: Iterable[str], y, gram: np.ndarray) -> "_GkmSVMBase":
        """Fit from the Gram matrix of X, computed elsewhere (in blocks, or once
        for several fits).

        Parameters
        ----------
        X : list of str
            Training sequences.
        y : array-like of shape (len(X),)
            Labels or targets.
        gram : ndarray of shape (len(X), len(X))
            ``self.make_kernel()(X)``; the model keeps the support sequences
            and scores new ones with that kernel.

        Returns
        -------
        self
        """
        kernel = self.make_kernel()
        X = kernel.check(X, "X")
        y = self._check_targets(X, y)
        if np.shape(gram) != (len(X), len(X)):
            raise ValueError(f"gram has shape {np.shape(gram)}, expected ({len(X)}, {len(X)})")
        svm = self._make_svm().fit(gram, y)
        self.kernel_ = kernel
        self.svm_ = svm
        self.support_ = svm.support_
        self._support = kernel.references([X[i] for i in svm.support_])
        self.support_sequences_ = self._support.sequences
        self.dual_coef_ = svm.dual_coef_
        self.intercept_ = svm.intercept_
        self._fit_extras(gram, y)
        return self

    def _fit_extras(self, gram: np.ndarray, y: np.ndarray) -> None:
        """What a subclass fits besides the SVM."""

    def _references(self) -> ReferenceSet:
        """The support sequences encoded for the current n_jobs: as with other
        scikit-learn estimators, set_params(n_jobs=...) after fit applies to
        predictions; thread counts change no value."""
        if self._support.kernel.n_jobs != self.n_jobs:
            kernel = clone(self.kernel_).set_params(n_jobs=self.n_jobs)
            self._support = kernel.references(self.support_sequences_)
        return self._support

    def _apply(self, predictor: Callable, X: Iterable[str], name: str = "X", ids: Sequence[str] | None = None):
        """predictor (a fitted precomputed-kernel method) on X's kernel rows."""
        blocks = self._references().blocks(X, name=name, ids=ids, progress=self.progress)
        return np.concatenate([self._on_rows(predictor, block) for _, _, block in blocks])

    def _on_rows(self, predictor: Callable, rows: np.ndarray):
        """predictor on kernel rows against the support sequences.

        A precomputed-kernel SVM takes a column per training sequence but
        reads only the support columns, so the others stay zero; each row's
        result depends on that row alone.
        """
        n_train = self.svm_.shape_fit_[0]
        step = max(1, _SVM_BLOCK_VALUES // n_train)
        parts = []
        for start in range(0, len(rows), step):
            block = rows[start : start + step]
            wide = np.zeros((len(block), n_train))
            wide[:, self.support_] = block
            parts.append(predictor(wide))
        return np.concatenate(parts)

    def _scalar_predictor(self) -> Callable:
        raise NotImplementedError

    def decision_values(
        self, X: Iterable[str], *, name: str = "X", ids: Sequence[str] | None = None
    ) -> np.ndarray:
        """One score per sequence: the decision value of a binary classifier
        (positive for ``classes_[1]``), the prediction of a regressor.

        Parameters
        ----------
        X : list of str
            Sequences.
        name : str
            How errors call X.
        ids : sequence of str, optional
            Record ids of X, for error messages.

        Returns
        -------
        ndarray of shape (len(X),)
        """
        return self._apply(self._scalar_predictor(), X, name, ids)

    def scan(self, X: Iterable[str], window: int, shift: int) -> list[np.ndarray]:
        """Decision value of every window of every sequence.

        Window w of a sequence covers bases ``[w * shift, w * shift + window)``
        (windows that would run past the end are not scored). Each window
        scores exactly what :meth:`decision_values` gives for its own text.
        Sequences may have any length: longer ones than 2,047 bases are cut
        into overlapping pieces at window starts, which changes no value.

        Parameters
        ----------
        X : list of str
            Sequences of any length.
        window : int
            Window length, from L to 2,047 (a positional model: its training
            sequences' length).
        shift : int
            Step between window starts, at least 1.

        Returns
        -------
        list of ndarray
            One 1-D array per sequence, of ``(len(seq) - window) // shift + 1``
            values (empty when the sequence is shorter than the window).
        """
        check_is_fitted(self)
        predictor = self._scalar_predictor()
        check_window(window, shift, self.kernel_.L)
        X = self.kernel_.check(X, "X", max_length=None)
        tracks = [np.empty(window_count(len(seq), window, shift)) for seq in X]
        with progress_bar(self.progress, sum(map(len, tracks)), "scan", unit="window") as bar:
            for seq, track in zip(X, tracks):
                for first, block in self._references().window_blocks(seq, window, shift):
                    track[first : first + len(block)] = self._on_rows(predictor, block)
                    bar.update(len(block))
        return tracks

    def mutagenesis(self, seq: str) -> np.ndarray:
        """Change in decision value for every single-base substitution.

        Parameters
        ----------
        seq : str
            One sequence (at most 2,047 bases).

        Returns
        -------
        ndarray of shape (4, len(seq))
            Row b (A, C, G, T) column i: the decision value of seq with base
            i replaced by b, minus that of seq; 0.0 where b is the base
            already there.
        """
        check_is_fitted(self)
        if not isinstance(seq, str):
            raise TypeError(f"seq must be a str, not {type(seq).__name__}")
        [seq] = self.kernel_.check([seq], "seq")
        upper = seq.upper()
        cells = [(b, i) for i in range(len(seq)) for b in range(4) if BASES[b] != upper[i]]
        mutants = [seq[:i] + BASES[b] + seq[i + 1 :] for b, i in cells]
        scores = self.decision_values([seq] + mutants, name="mutant")
        effects = np.zeros((4, len(seq)))
        rows, cols = zip(*cells)
        effects[list(rows), list(cols)] = scores[1:] - scores[0]
        return effects

    def variant_effect(self, ref_seqs: Iterable[str], alt_seqs: Iterable[str]) -> np.ndarray:
        """Decision value of each alternative sequence minus its reference's.

        Parameters
        ----------
        ref_seqs, alt_seqs : list of str
            Paired sequences (alt_seqs[i] is a variant of ref_seqs[i]).

        Returns
        -------
        ndarray of shape (len(ref_seqs),)
        """
        check_is_fitted(self)
        ref_seqs = as_text_list(ref_seqs, "ref_seqs")
        alt_seqs = as_text_list(alt_seqs, "alt_seqs")
        if len(ref_seqs) != len(alt_seqs):
            raise ValueError(f"ref_seqs has {len(ref_seqs)} sequences but alt_seqs has {len(alt_seqs)}")
        return self.decision_values(alt_seqs, name="alt_seqs") - self.decision_values(ref_seqs, name="ref_seqs")

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.two_d_array = False
        tags.input_tags.string = True
        return tags


class GkmSVC(ClassifierMixin, _GkmSVMBase):
    """Support vector classifier on the gapped k-mer kernel of DNA sequences.

    Kernel parameters are those of :class:`vellum.GkmKernel`; SVM parameters
    those of :class:`sklearn.svm.SVC`. Labels may be any values, strings
    included; more than two classes are handled one-vs-one as SVC does.

    Parameters
    ----------
    L, k, d, weight_scheme, use_rc, n_jobs, invalid, positional, pos_kernel, weight_sigma, weight_gamma, progress
        See :class:`vellum.GkmKernel`. ``positional=True`` weights L-mers by
        their distance from each sequence's middle.
    C : float, default=1.0
        Regularisation: the penalty of margin violations.
    class_weight : dict or "balanced", optional
        Per-class factors of C.
    probability : bool, default=False
        Also fit a sigmoid calibration of the decision values on five
        stratified folds, for :meth:`predict_proba`.

    Attributes
    ----------
    classes_ : ndarray
        The labels, sorted.
    support_ : ndarray
        Indices of the support sequences in the training list.
    support_sequences_ : list of str
        The support sequences.
    dual_coef_, intercept_ : ndarray
        As in :class:`sklearn.svm.SVC`.
    kernel_ : GkmKernel
        The kernel the model was fitted with.
    svm_ : sklearn.svm.SVC
        The fitted SVM on the precomputed kernel.
    calibration_ : sklearn.calibration.CalibratedClassifierCV
        With probability=True: the calibrated SVM behind predict_proba.
    """

    def __init__(
        self,
        L: int = 10,
        k: int = 6,
        d: int = 3,
        weight_scheme: int = 0,
        use_rc: bool = True,
        n_jobs: int | None = 1,
        invalid: str = "error",
        positional: bool = False,
        pos_kernel: str = "triangular",
        weight_sigma: float = 50.0,
        weight_gamma: float = 1.0,
        progress: bool = False,
        C: float = 1.0,
        class_weight: dict | str | None = None,
        probability: bool = False,
    ):
        self.L = L
        self.k = k
        self.d = d
        self.weight_scheme = weight_scheme
        self.use_rc = use_rc
        self.n_jobs = n_jobs
        self.invalid = invalid
        self.positional = positional
        self.pos_kernel = pos_kernel
        self.weight_sigma = weight_sigma
        self.weight_gamma = weight_gamma
        self.progress = progress
        self.C = C
        self.class_weight = class_weight
        self.probability = probability

    def _make_svm(self) -> SVC:
        return SVC(kernel="precomputed", C=self.C, class_weight=self.class_weight)

    def _check_targets(self, X: list[str], y) -> np.ndarray:
        y = super()._check_targets(X, y)
        check_classification_targets(y)
        classes = np.unique(y)
        if len(classes) < 2:
            raise ValueError(f"y holds a single class ({classes[0].tolist()!r}); a classifier needs at least two")
        return y

    def _fit_extras(self, gram: np.ndarray, y: np.ndarray) -> None:
        self.classes_ = self.svm_.classes_
        if self.probability:
            # Platt scaling fitted on out-of-fold decision values, as SVC's
            # deprecated probability=True did; the folds slice the Gram.
            calibration = CalibratedClassifierCV(self._make_svm(), ensemble=False, cv=_CALIBRATION_FOLDS)
            self.calibration_ = calibration.fit(gram, y)

    def _scalar_predictor(self) -> Callable:
        check_is_fitted(self)
        if len(self.classes_) != 2:
            raise ValueError(
                f"one decision value per sequence needs a binary classifier; this one has {len(self.classes_)} classes"
            )
        return self.svm_.decision_function

    def decision_function(self, X: Iterable[str]) -> np.ndarray:
        """Signed distance to the separating surface.

        Returns
        -------
        ndarray of shape (len(X),) or (len(X), n_classes)
            Binary: positive values favour ``classes_[1]``. More classes:
            one-vs-rest scores as :meth:`sklearn.svm.SVC.decision_function`.
        """
        check_is_fitted(self)
        return self._apply(self.svm_.decision_function, X)

    def predict(self, X: Iterable[str]) -> np.ndarray:
        """Predicted label of each sequence."""
        check_is_fitted(self)
        return self._apply(self.svm_.predict, X)

    def _check_probability(self) -> bool:
        if not self.probability:
            raise AttributeError("predict_proba is available only when probability=True")
        return True

    @available_if(_check_probability)
    def predict_proba(self, X: Iterable[str]) -> np.ndarray:
        """Probability of each class (columns in ``classes_`` order), from Platt scaling."""
        check_is_fitted(self)
        return self._apply(self.calibration_.predict_proba, X)


class GkmSVR(RegressorMixin, _GkmSVMBase):
    """Epsilon support vector regression on the gapped k-mer kernel.

    Parameters
    ----------
    L, k, d, weight_scheme, use_rc, n_jobs, invalid, positional, pos_kernel, weight_sigma, weight_gamma, progress
        See :class:`vellum.GkmKernel`.
    C : float, default=1.0
        Regularisation: the penalty of errors beyond epsilon.
    epsilon : float, default=0.1
        Half-width of the band in which errors cost nothing.

    Attributes
    ----------
    support_, support_sequences_, dual_coef_, intercept_, kernel_, svm_
        As for :class:`GkmSVC` (``svm_`` is a :class:`sklearn.svm.SVR`).
    """

    def __init__(
        self,
        L: int = 10,
        k: int = 6,
        d: int = 3,
        weight_scheme: int = 0,
        use_rc: bool = True,
        n_jobs: int | None = 1,
        invalid: str = "error",
        positional: bool = False,
        pos_kernel: str = "triangular",
        weight_sigma: float = 50.0,
        weight_gamma: float = 1.0,
        progress: bool = False,
        C: float = 1.0,
        epsilon: float = 0.1,
    ):
        self.L = L
        self.k = k
        self.d = d
        self.weight_scheme = weight_scheme
        self.use_rc = use_rc
        self.n_jobs = n_jobs
        self.invalid = invalid
        self.positional = positional
        self.pos_kernel = pos_kernel
        self.weight_sigma = weight_sigma
        self.weight_gamma = weight_gamma
        self.progress = progress
        self.C = C
        self.epsilon = epsilon

    def _make_svm(self) -> SVR:
        return SVR(kernel="precomputed", C=self.C, epsilon=self.epsilon)

    def _check_targets(self, X: list[str], y) -> np.ndarray:
        y = super()._check_targets(X, y)
        try:
            y = y.astype(np.float64)
        except ValueError:
            raise ValueError("y must hold numbers for regression") from None
        if not np.isfinite(y).all():
            raise ValueError("y holds NaN or infinite values")
        return y

    def _scalar_predictor(self) -> Callable:
        check_is_fitted(self)
        return self.svm_.predict

    def predict(self, X: Iterable[str]) -> np.ndarray:
        """Predicted value of each sequence."""
        check_is_fitted(self)
        return self._apply(self.svm_.predict, X)
