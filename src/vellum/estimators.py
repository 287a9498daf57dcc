"""Support vector machines on the gapped k-mer kernel: :class:`GkmSVC`, :class:`GkmSVR`.

Two solvers reach the same fitted model (support sequences, dual
coefficients, intercepts). ``solver="gram"`` hands the Gram matrix of the
training sequences to scikit-learn's SVC or SVR; ``solver="table"`` solves
the same dual without it, through a table of L-mer weights
(:mod:`vellum.table_solver`). A regular binary classifier or regressor then
scores through that table (:mod:`vellum.lmer_table`) whichever solver
trained it; positional and multiclass models score the support sequences
through the kernel.
"""
from __future__ import annotations

from typing import Callable, Iterable, Iterator, Sequence

import numpy as np
from joblib import effective_n_jobs
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, clone
from sklearn.calibration import CalibratedClassifierCV
from sklearn.svm import SVC, SVR
from sklearn.utils.class_weight import compute_class_weight
from sklearn.utils.metaestimators import available_if
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from ._progress import progress_bar
from .kernels import GkmKernel, ReferenceSet, check_window, chunk_bounds, window_count, window_pieces
from .lmer_table import LmerKernel, LmerTable, base_codes
from .parameters import KERNEL_PARAMETER_NAMES, KERNEL_PARAMETERS, SOLVERS, Parameter, documented, storing_init
from .sequences import BASES, RecordNames, as_text_list, check_choice
from .table_solver import DualProblem, DualSolution, solve

# solver="auto" trains through the table once the Gram's work, about n**2
# times the mean length, is this many times the 4**L entries that each
# iteration of the table solver passes over. Measured on one core: at L=10
# and 100 bp the table solver is the faster from about 150 sequences (1,000:
# 1.3 s against 2.7 s), at L=12 from a few thousand, where its 128 MB table
# is the larger cost.
_TABLE_WORK_RATIO = 64

# Sequences scored through the table at once: a few tens of megabytes of codes.
_TABLE_CHUNK = 1 << 16

# Bases of a scanned sequence read into codes at once.
_SCAN_PIECE = 1 << 20

# Kernel-matrix values handed to the SVM at once: precomputed-kernel SVMs
# expect a column per training sequence, so a block is widened to that.
_SVM_BLOCK_VALUES = 1 << 22

_CALIBRATION_FOLDS = 5


def _table_is_faster(X: list[str], L: int) -> bool:
    """Whether the table solver should beat the Gram's for these training sequences."""
    return len(X) * sum(len(x) for x in X) >= _TABLE_WORK_RATIO * 4**L


def _solver(doc: str) -> Parameter:
    """The solver parameter, as a model documents it."""
    return Parameter("solver", "auto", "str", doc, choices=SOLVERS)


_SVC_PARAMETERS = (
    Parameter("C", 1.0, "float", "Regularisation: the penalty of margin violations."),
    Parameter(
        "class_weight", None, "dict | str | None", "Per-class factors of C.", doc_type='dict or "balanced", optional'
    ),
    Parameter(
        "probability",
        False,
        "bool",
        "Also fit a sigmoid calibration of the decision values on five\n"
        "stratified folds, for :meth:`predict_proba`.",
    ),
    _solver(
        '"gram" solves the dual with scikit-learn\'s SVC on the Gram matrix of\n'
        'the training sequences (n x n values). "table" solves the same dual,\n'
        "to the same tolerance, without computing a single kernel value:\n"
        "each iteration passes the dual coefficients through one table of\n"
        "4**L L-mer weights; it needs a regular kernel and two classes.\n"
        '"auto" takes "table" for a regular binary problem once n**2 times\n'
        "the mean sequence length reaches 64 * 4**L (at L=10 and 100 bp,\n"
        'about 820 sequences), where it is the faster; else "gram".'
    ),
)

_SVR_PARAMETERS = (
    Parameter("C", 1.0, "float", "Regularisation: the penalty of errors beyond epsilon."),
    Parameter("epsilon", 0.1, "float", "Half-width of the band in which errors cost nothing."),
    _solver('As for :class:`GkmSVC` ("table" needs a regular kernel).'),
)


class _GkmSVMBase(BaseEstimator):
    """What GkmSVC and GkmSVR share: the kernel, fitting on a Gram matrix,
    and scoring through the support sequences."""

    def make_kernel(self) -> GkmKernel:
        """The :class:`GkmKernel` of this model's kernel parameters."""
        return GkmKernel(**{name: getattr(self, name) for name in KERNEL_PARAMETER_NAMES})

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
        if self._chosen_solver(kernel, X, y) == "gram":
            return self.fit_from_gram(X, y, kernel(X))
        return self._fit_table(kernel, X, y)

    def _chosen_solver(self, kernel: GkmKernel, X: list[str], y: np.ndarray) -> str:
        """The solver that fits: "table" where it applies and, under "auto",
        once the training set is large enough for it to be faster."""
        check_choice("solver", self.solver, SOLVERS)
        if kernel.positional:
            if self.solver == "table":
                raise ValueError(
                    "solver='table' needs a regular kernel: the positional kernel weights each L-mer by where it "
                    "sits, so its model is not one table of L-mer weights; use solver='gram'"
                )
            return "gram"
        if not self._table_applies(y):
            if self.solver == "table":
                raise ValueError(self._table_refusal(y))
            return "gram"
        if self.solver == "auto":
            return "table" if _table_is_faster(X, kernel.L) else "gram"
        return self.solver

    def _table_applies(self, y: np.ndarray) -> bool:
        return True

    def _table_refusal(self, y: np.ndarray) -> str:
        raise NotImplementedError

    def _dual_problem(self, y: np.ndarray) -> DualProblem:
        raise NotImplementedError

    def _fit_table(self, kernel: GkmKernel, X: list[str], y: np.ndarray) -> "_GkmSVMBase":
        solution = solve(kernel, X, self._dual_problem(y))
        self._set_dual(kernel, X, solution)
        self.solver_ = "table"
        self._fit_table_extras(X, y)
        return self

    def _set_dual(self, kernel: GkmKernel, X: list[str], solution: DualSolution) -> None:
        support = np.flatnonzero(solution.coef)
        self.kernel_ = kernel
        self.support_ = support.astype(np.int32)
        self.support_sequences_ = [X[i] for i in support]
        self.dual_coef_ = solution.coef[support][None, :]
        self.intercept_ = np.array([solution.intercept])
        self.n_iter_ = solution.n_iter
        self.dual_objective_ = solution.objective

    def _fit_table_extras(self, X: list[str], y: np.ndarray) -> None:
        """What a subclass fits besides the dual."""

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
        self.solver_ = "gram"
        self.support_ = svm.support_
        self.support_sequences_ = [X[i] for i in svm.support_]
        self.dual_coef_ = svm.dual_coef_
        self.intercept_ = svm.intercept_
        self.n_iter_ = svm.n_iter_
        self._fit_extras(gram, y)
        return self

    def _fit_extras(self, gram: np.ndarray, y: np.ndarray) -> None:
        """What a subclass fits besides the SVM."""

    def _references(self) -> ReferenceSet:
        """The support sequences encoded for the current n_jobs: as with other
        scikit-learn estimators, set_params(n_jobs=...) after fit applies to
        predictions; thread counts change no value."""
        support = self.__dict__.get("_support")
        if support is None or support.kernel.n_jobs != self.n_jobs:
            kernel = clone(self.kernel_).set_params(n_jobs=self.n_jobs)
            self._support = support = kernel.references(self.support_sequences_)
        return support

    def _scores_through_table(self) -> bool:
        """Whether this fitted model scores through its L-mer table: a regular
        model with one decision value per sequence."""
        return not self.kernel_.positional and self._one_score_per_sequence()

    def _one_score_per_sequence(self) -> bool:
        return True

    def _lmer_table(self) -> LmerTable:
        """The model's L-mer table, built on first use (and after loading)."""
        table = self.__dict__.get("_table")
        if table is None:
            kernel = LmerKernel.of(self.kernel_)
            nthreads = effective_n_jobs(self.n_jobs)
            table = LmerTable.from_support(kernel, self.support_sequences_, self.dual_coef_[0], nthreads)
            self._table = table
        return table

    def __getstate__(self):
        # Both are rebuilt from the support sequences on first use; the
        # table is larger than what it is made from.
        state = dict(self.__dict__)
        state.pop("_table", None)
        return state

    def _check_table_model(self, what: str) -> LmerTable:
        """The table, or a ValueError saying why this model has none."""
        self._check_scalar()
        if self.kernel_.positional:
            raise ValueError(
                f"{what} needs a regular model: the positional kernel weights each L-mer by where it sits, "
                "so its model is not one table of L-mer weights"
            )
        return self._lmer_table()

    def lmer_weights(self) -> np.ndarray:
        """The model as one weight per L-mer.

        The decision value of a sequence x is ``intercept_`` plus the sum of
        the weights of x's forward L-mers, divided by x's self-norm.

        Returns
        -------
        ndarray of shape (4**L,)
            Read-only; index i is the L-mer whose bases, two bits each
            (A=0, C=1, G=2, T=3), first base most significant, spell i.

        Raises
        ------
        ValueError
            For a positional or multiclass model.
        """
        view = self._check_table_model("lmer_weights").table.view()
        view.flags.writeable = False
        return view

    def contributions(
        self, X: Iterable[str], *, ids: Sequence[str] | RecordNames | None = None
    ) -> list[np.ndarray]:
        """Each base's share of each sequence's decision value.

        Every L-mer adds its weight (:meth:`lmer_weights`) divided by the
        sequence's self-norm, shared equally among its L bases, so a
        sequence's contributions sum to its decision value minus
        ``intercept_``.

        Parameters
        ----------
        X : list of str
            Sequences (at most 2,047 bases each).
        ids : sequence of str or RecordNames, optional
            Record ids of X (and their files), for error messages.

        Returns
        -------
        list of ndarray
            One float64 array of ``len(X[i])`` values per sequence.
        """
        table = self._check_table_model("contributions")
        X = self.kernel_.check(X, "X", ids=ids)
        return [table.contributions(seq) for seq in X]

    def _apply(
        self, predictor: Callable, X: Iterable[str], name: str = "X", ids: Sequence[str] | RecordNames | None = None
    ):
        """predictor (a fitted precomputed-kernel method) on X's kernel rows."""
        if not self.support_sequences_:
            # The constant model: no kernel value is read.
            X = self.kernel_.check(X, name, ids=ids)
            return self._on_rows(predictor, np.zeros((len(X), 0)))
        blocks = self._references().blocks(X, name=name, ids=ids, progress=self.progress)
        return np.concatenate([self._on_rows(predictor, block) for _, _, block in blocks])

    def _table_decisions(
        self, X: Iterable[str], name: str = "X", ids: Sequence[str] | RecordNames | None = None
    ) -> np.ndarray:
        """Decision values of X through the L-mer table."""
        X = self.kernel_.check(X, name, ids=ids)
        table = self._lmer_table()
        out = np.empty(len(X))
        with progress_bar(self.progress, len(X), "decision values") as bar:
            for start, stop in chunk_bounds(len(X), _TABLE_CHUNK):
                out[start:stop] = table.scores(X[start:stop]) + self.intercept_[0]
                bar.update(stop - start)
        return out

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

    def _check_scalar(self) -> None:
        """Raise ValueError unless the model gives one decision value per sequence."""
        check_is_fitted(self)

    def _scalar_predictor(self) -> Callable:
        """The fitted SVM's method giving one value per kernel row."""
        raise NotImplementedError

    def decision_values(
        self, X: Iterable[str], *, name: str = "X", ids: Sequence[str] | RecordNames | None = None
    ) -> np.ndarray:
        """One score per sequence: the decision value of a binary classifier
        (positive for ``classes_[1]``), the prediction of a regressor.

        Parameters
        ----------
        X : list of str
            Sequences.
        name : str
            How errors call X.
        ids : sequence of str or RecordNames, optional
            Record ids of X (and their files), for error messages.

        Returns
        -------
        ndarray of shape (len(X),)
        """
        self._check_scalar()
        if self._scores_through_table():
            return self._table_decisions(X, name, ids)
        return self._apply(self._scalar_predictor(), X, name, ids)

    def scan(
        self, X: Iterable[str], window: int, shift: int, *, ids: Sequence[str] | RecordNames | None = None
    ) -> list[np.ndarray]:
        """Decision value of every window of every sequence.

        Window w of a sequence covers bases ``[w * shift, w * shift + window)``
        (0-based, end excluded; windows that would run past the end are not
        scored), so windows overlap when shift < window: as intervals the
        result is a bedGraph-like track whose intervals may overlap. Each
        window scores exactly what :meth:`decision_values` gives for its own
        text. Sequences may have any length: longer ones than 2,047 bases
        are cut into overlapping pieces at window starts, which changes no
        value; one shorter than the window has no windows.

        Parameters
        ----------
        X : list of str
            Sequences of any length.
        window : int
            Window length, from L to 2,047 (a positional model: its training
            sequences' length).
        shift : int
            Step between window starts, at least 1.
        ids : sequence of str or RecordNames, optional
            Record ids of X (and their files), for error messages.

        Returns
        -------
        list of ndarray
            One 1-D array per sequence, of ``(len(seq) - window) // shift + 1``
            values (empty when the sequence is shorter than the window).
        """
        self._check_scalar()
        check_window(window, shift, self.kernel_.L)
        X = self.kernel_.check(X, "X", ids=ids, max_length=None, min_length=0)
        tracks = [np.empty(window_count(len(seq), window, shift)) for seq in X]
        if self._scores_through_table():
            blocks = self._table_window_blocks
        else:
            blocks = self._kernel_window_blocks(self._scalar_predictor())
        with progress_bar(self.progress, sum(map(len, tracks)), "scan", unit="window") as bar:
            for seq, track in zip(X, tracks):
                for first, values in blocks(seq, window, shift):
                    track[first : first + len(values)] = values
                    bar.update(len(values))
        return tracks

    def _table_window_blocks(self, seq: str, window: int, shift: int) -> Iterator[tuple[int, np.ndarray]]:
        """Decision values of the windows of seq through the table, a piece
        of the sequence at a time (each window's value is its own)."""
        table = self._lmer_table()
        n_windows = window_count(len(seq), window, shift)
        for first, _, start, end in window_pieces(n_windows, window, shift, max(_SCAN_PIECE, window)):
            yield first, table.window_scores(seq[start:end], window, shift) + self.intercept_[0]

    def _kernel_window_blocks(self, predictor: Callable) -> Callable:
        """Decision values of windows through the kernel rows against the support sequences."""

        def blocks(seq: str, window: int, shift: int) -> Iterator[tuple[int, np.ndarray]]:
            if not self.support_sequences_:
                yield 0, self._on_rows(predictor, np.zeros((window_count(len(seq), window, shift), 0)))
                return
            for first, block in self._references().window_blocks(seq, window, shift):
                yield first, self._on_rows(predictor, block)

        return blocks

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
        self._check_scalar()
        [seq] = self.kernel_.check([seq], "seq")
        is_reference = base_codes(seq)[None, :] == np.arange(len(BASES))[:, None]
        if self._scores_through_table():
            score, mutants = self._lmer_table().mutant_scores(seq)
            return np.where(is_reference, 0.0, mutants - score)
        rows, cols = np.nonzero(~is_reference)
        mutants = [seq[:i] + BASES[b] + seq[i + 1 :] for b, i in zip(rows, cols)]
        scores = self.decision_values([seq] + mutants, name="mutant")
        effects = np.zeros((4, len(seq)))
        effects[rows, cols] = scores[1:] - scores[0]
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


@documented(KERNEL_PARAMETERS + _SVC_PARAMETERS)
class GkmSVC(ClassifierMixin, _GkmSVMBase):
    """Support vector classifier on the gapped k-mer kernel of DNA sequences.

    Kernel parameters are those of :class:`vellum.GkmKernel`; SVM parameters
    those of :class:`sklearn.svm.SVC`. Labels may be any values, strings
    included; more than two classes are handled one-vs-one as SVC does.

    Parameters
    ----------
    {parameters}

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
        With solver "gram": the fitted SVM on the precomputed kernel.
    solver_ : str
        The solver that fitted the model, "gram" or "table".
    n_iter_ : int
        Iterations of the solver (for "table", projected gradient steps,
        each one pass through the L-mer table).
    dual_objective_ : float
        With solver "table": the dual objective reached, in libsvm's form
        (1/2 a'Qa + p'a, so -sum(a) + 1/2 a'Qa for a classifier).
    calibration_ : sklearn.calibration.CalibratedClassifierCV
        With probability=True: the calibrated SVM behind predict_proba.
    """

    __init__ = storing_init(KERNEL_PARAMETERS + _SVC_PARAMETERS)

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

    def _table_applies(self, y: np.ndarray) -> bool:
        return len(np.unique(y)) == 2

    def _table_refusal(self, y: np.ndarray) -> str:
        return (
            f"solver='table' trains binary classifiers; y holds {len(np.unique(y))} classes, "
            "use solver='gram' for them"
        )

    def _dual_problem(self, y: np.ndarray) -> DualProblem:
        classes = np.unique(y)
        factors = compute_class_weight(self.class_weight, classes=classes, y=y)
        positive = y == classes[1]
        return DualProblem.classification(positive, self.C * factors[positive.astype(int)])

    def _fit_table_extras(self, X: list[str], y: np.ndarray) -> None:
        self.classes_ = np.unique(y)
        if self.probability:
            # Platt scaling on out-of-fold decision values of table-trained
            # models of the folds, as the Gram path does on Gram slices.
            uncalibrated = clone(self).set_params(probability=False, solver="table", progress=False)
            calibration = CalibratedClassifierCV(uncalibrated, ensemble=False, cv=_CALIBRATION_FOLDS)
            self.calibration_ = calibration.fit(X, y)

    def _one_score_per_sequence(self) -> bool:
        return len(self.classes_) == 2

    def _check_scalar(self) -> None:
        check_is_fitted(self)
        if len(self.classes_) != 2:
            raise ValueError(
                f"one decision value per sequence needs a binary classifier; this one has {len(self.classes_)} classes"
            )

    def _scalar_predictor(self) -> Callable:
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
        if self._scores_through_table():
            return self._table_decisions(X)
        return self._apply(self.svm_.decision_function, X)

    def predict(self, X: Iterable[str]) -> np.ndarray:
        """Predicted label of each sequence."""
        check_is_fitted(self)
        if self._scores_through_table():
            return self.classes_[(self._table_decisions(X) > 0).astype(int)]
        return self._apply(self.svm_.predict, X)

    def _check_probability(self) -> bool:
        if not self.probability:
            raise AttributeError("predict_proba is available only when probability=True")
        return True

    @available_if(_check_probability)
    def predict_proba(self, X: Iterable[str]) -> np.ndarray:
        """Probability of each class (columns in ``classes_`` order), from Platt scaling."""
        check_is_fitted(self)
        if self.solver_ == "table":
            return self.calibration_.predict_proba(X)
        return self._apply(self.calibration_.predict_proba, X)


@documented(KERNEL_PARAMETERS + _SVR_PARAMETERS)
class GkmSVR(RegressorMixin, _GkmSVMBase):
    """Epsilon support vector regression on the gapped k-mer kernel.

    Parameters
    ----------
    {parameters}

    Attributes
    ----------
    support_, support_sequences_, dual_coef_, intercept_, kernel_, svm_, solver_, n_iter_
        As for :class:`GkmSVC` (``svm_`` is a :class:`sklearn.svm.SVR`).
    """

    __init__ = storing_init(KERNEL_PARAMETERS + _SVR_PARAMETERS)

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

    def _dual_problem(self, y: np.ndarray) -> DualProblem:
        return DualProblem.regression(y, self.C, self.epsilon)

    def _scalar_predictor(self) -> Callable:
        return self.svm_.predict

    def predict(self, X: Iterable[str]) -> np.ndarray:
        """Predicted value of each sequence."""
        check_is_fitted(self)
        return self.decision_values(X)
