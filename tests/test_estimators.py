"""GkmSVC and GkmSVR as scikit-learn estimators: conventions, round trips, and the
SVM's values against scikit-learn's own SVC/SVR on the precomputed kernel."""
import pickle
import re

import joblib
import numpy as np
import pytest
from sklearn.calibration import CalibratedClassifierCV
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer
from sklearn.svm import SVC, SVR
from sklearn.utils import estimator_checks

from vellum import GkmKernel, GkmSVC, GkmSVR
from vellum.demo import demo_data

PARAMS = dict(L=6, k=4, d=2)
ESTIMATORS = [GkmSVC, GkmSVR]

# The checks of scikit-learn's suite that need no numeric training data.
DATA_FREE_CHECKS = [
    "check_estimator_cloneable",
    "check_estimator_repr",
    "check_estimator_tags_renamed",
    "check_valid_tag_types",
    "check_mixin_order",
    "check_no_attributes_set_in_init",
    "check_parameters_default_constructible",
    "check_get_params_invariance",
    "check_set_params",
    "check_do_not_raise_errors_in_init_or_set_params",
]


@pytest.fixture(scope="module")
def data():
    """40 real CTCF sequences (20 bound, 20 unbound) to train on and 20 to score."""
    X, y = demo_data(per_class=30)
    train = list(range(20)) + list(range(30, 50))
    test = list(range(20, 30)) + list(range(50, 60))
    return [X[i] for i in train], y[train], [X[i] for i in test], y[test]


@pytest.mark.parametrize("check", DATA_FREE_CHECKS)
@pytest.mark.parametrize("estimator", ESTIMATORS, ids=lambda e: e.__name__)
def test_scikit_learn_checks_that_apply(estimator, check):
    getattr(estimator_checks, check)(estimator.__name__, estimator())


FITTED_METHODS = [
    ("predict", (["ACGTACGT"],)),
    ("decision_function", (["ACGTACGT"],)),
    ("decision_values", (["ACGTACGT"],)),
    ("scan", (["ACGTACGT"], 6, 1)),
    ("mutagenesis", ("ACGTACGT",)),
    ("variant_effect", (["ACGTACGT"], ["ACGTACGA"])),
]


# A regressor has no decision_function; every other method belongs to both.
NOT_FITTED_CALLS = [
    pytest.param(estimator, method, args, id="%s.%s" % (estimator.__name__, method))
    for estimator in ESTIMATORS
    for method, args in FITTED_METHODS
    if (estimator, method) != (GkmSVR, "decision_function")
]


@pytest.mark.parametrize("estimator, method, args", NOT_FITTED_CALLS)
def test_not_fitted_error_before_fit(estimator, method, args):
    with pytest.raises(NotFittedError):
        getattr(estimator(), method)(*args)


def gapped(seqs):
    return [seq[:10] + "NN" + seq[12:] for seq in seqs]


# name: (estimator, its extra parameters, labels from the 0/1 classes, scikit-learn's SVM, texts, methods)
AGAINST_SKLEARN = {
    "string labels": (GkmSVC, {}, lambda y: np.where(y == 1, "bound", "unbound"), SVC(kernel="precomputed"),
                      list, ["decision_function", "predict"]),
    "three classes": (GkmSVC, {}, lambda y: np.arange(len(y)) % 3, SVC(kernel="precomputed"), list,
                      ["decision_function", "predict"]),
    "regression": (GkmSVR, {"C": 3.0, "epsilon": 0.05}, lambda y: np.linspace(-1.0, 2.0, len(y)) + y,
                   SVR(kernel="precomputed", C=3.0, epsilon=0.05), list, ["predict", "decision_values"]),
    "positional": (GkmSVC, {"positional": True, "weight_sigma": 30.0}, lambda y: y, SVC(kernel="precomputed"),
                   list, ["decision_function"]),
    "skip": (GkmSVC, {"invalid": "skip"}, lambda y: y, SVC(kernel="precomputed"), gapped, ["decision_function"]),
}


@pytest.mark.parametrize("case", AGAINST_SKLEARN)
def test_values_are_scikit_learns_svm_on_the_precomputed_kernel(data, case):
    estimator, extra, labels, svm, texts, methods = AGAINST_SKLEARN[case]
    X, y, X_test, _ = data
    X, X_test, target = texts(X), texts(X_test), labels(y)
    model = estimator(**PARAMS, **extra).fit(X, target)
    kernel = model.make_kernel()
    svm.fit(kernel(X), target)
    # Regular binary and regression models score through their L-mer table,
    # within 1e-9 of the kernel rows; the others score the kernel rows.
    through_table = not model.kernel_.positional and case != "three classes"
    for method in methods:
        expected = getattr(svm, "predict" if method == "decision_values" else method)(kernel(X_test, X))
        got = getattr(model, method)(X_test)
        if through_table and got.dtype == np.float64:
            np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9, err_msg=method)
        else:
            assert np.array_equal(got, expected), method
    assert model.support_sequences_ == [X[i] for i in svm.support_]
    assert np.array_equal(model.dual_coef_, svm.dual_coef_) and np.array_equal(model.intercept_, svm.intercept_)
    if estimator is GkmSVC:
        assert np.array_equal(model.classes_, np.unique(target))


def test_one_score_per_sequence_needs_two_classes(data):
    X, y, X_test, _ = data
    model = GkmSVC(**PARAMS).fit(X, np.arange(len(X)) % 3)
    with pytest.raises(ValueError, match="^one decision value per sequence needs a binary classifier; this one has 3"):
        model.scan(X_test[:1], 20, 5)


def test_probability_is_sigmoid_calibration_on_five_folds(data):
    X, y, X_test, _ = data
    assert not hasattr(GkmSVC(), "predict_proba")
    kernel = GkmKernel(**PARAMS)
    calibrated = CalibratedClassifierCV(SVC(kernel="precomputed"), ensemble=False, cv=5).fit(kernel(X), y)
    model = GkmSVC(**PARAMS, probability=True).fit(X, y)
    proba = model.predict_proba(X_test)
    assert proba.shape == (20, 2)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    assert np.array_equal(proba, calibrated.predict_proba(kernel(X_test, X)))


def joblib_round_trip(model, tmp_path):
    joblib.dump(model, tmp_path / "model.joblib")
    return joblib.load(tmp_path / "model.joblib")


@pytest.mark.parametrize("round_trip", [lambda m, _: pickle.loads(pickle.dumps(m)), joblib_round_trip])
def test_round_trip_gives_bitwise_the_same_values(data, tmp_path, round_trip):
    X, y, X_test, _ = data
    model = GkmSVC(**PARAMS, probability=True).fit(X, y)
    restored = round_trip(model, tmp_path).set_params(n_jobs=2)  # threads change no value
    assert restored.decision_function(X_test).tobytes() == model.decision_function(X_test).tobytes()
    assert restored.predict_proba(X_test).tobytes() == model.predict_proba(X_test).tobytes()
    assert restored.scan(X_test[:1], 30, 7)[0].tobytes() == model.scan(X_test[:1], 30, 7)[0].tobytes()
    assert restored.support_sequences_ == model.support_sequences_


def test_cross_val_score_pipeline_and_grid_search(data):
    X, y, _, _ = data
    scores = cross_val_score(GkmSVC(**PARAMS), X, y, cv=2, scoring="roc_auc")
    assert scores.shape == (2,) and (scores > 0.5).all()
    pipeline = make_pipeline(FunctionTransformer(lambda seqs: [s.upper() for s in seqs]), GkmSVC(**PARAMS))
    assert pipeline.fit(X, y).score(X, y) > 0.9
    grid = {"L": [5, 6], "k": [3], "d": [1, 2], "C": [0.5, 2.0]}
    search = GridSearchCV(GkmSVC(), grid, cv=2, scoring="roc_auc").fit(X, y)
    assert len(search.cv_results_["params"]) == 8
    assert not np.isnan(search.cv_results_["mean_test_score"]).any()
    assert search.best_estimator_.kernel_.L == search.best_params_["L"]


@pytest.mark.parametrize(
    "estimator, X, y, message",
    [
        (GkmSVC, ["ACGTACGT"] * 4, ["a"] * 4, "y holds a single class ('a'); a classifier needs at least two"),
        (GkmSVC, ["ACGTACGT"] * 4, [0, 1, 0], "X has 4 sequences but y has 3 labels"),
        (GkmSVC, ["ACGTACGT"] * 4, [[0, 1]] * 4, "y must be one label per sequence (1-D); got shape (4, 2)"),
        (GkmSVC, ["ACGTACGT"] * 4, [0.5, 1.5, 0.5, 2.5], "Unknown label type"),
        (GkmSVR, ["ACGTACGT"] * 4, ["a", "b", "a", "b"], "y must hold numbers for regression"),
        (GkmSVR, ["ACGTACGT"] * 4, [0.0, np.nan, 1.0, 2.0], "y holds NaN or infinite values"),
        (GkmSVC, ["ACGTACGT", "ACGTNCGT"], [0, 1], "X[1] holds 'N' at position 4"),
        (GkmSVC, [], [], "X is empty: no sequences"),
    ],
)
def test_bad_training_data_is_named(estimator, X, y, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        estimator(**PARAMS).fit(X, y)
