"""GkmSVC and GkmSVR as scikit-learn estimators: conventions, round trips, and the
SVM's values against scikit-learn's own SVC/SVR on the precomputed kernel."""
import pickle
import re

import joblib
import numpy as np
import pytest
from sklearn.base import clone
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


@pytest.fixture(scope="module")
def fitted(data):
    X, y, _, _ = data
    return GkmSVC(**PARAMS).fit(X, np.where(y == 1, "bound", "unbound"))


@pytest.mark.parametrize("check", DATA_FREE_CHECKS)
@pytest.mark.parametrize("estimator", ESTIMATORS, ids=lambda e: e.__name__)
def test_scikit_learn_checks_that_apply(estimator, check):
    getattr(estimator_checks, check)(estimator.__name__, estimator())


@pytest.mark.parametrize("estimator", ESTIMATORS, ids=lambda e: e.__name__)
def test_tags_declare_string_input(estimator):
    tags = estimator().__sklearn_tags__()
    assert tags.input_tags.string and not tags.input_tags.two_d_array


@pytest.mark.parametrize(
    "method, args",
    [
        ("predict", (["ACGTACGT"],)),
        ("decision_function", (["ACGTACGT"],)),
        ("decision_values", (["ACGTACGT"],)),
        ("scan", (["ACGTACGT"], 6, 1)),
        ("mutagenesis", ("ACGTACGT",)),
        ("variant_effect", (["ACGTACGT"], ["ACGTACGA"])),
    ],
)
def test_not_fitted_error_before_fit(method, args):
    for estimator in ESTIMATORS:
        if hasattr(estimator, method):
            with pytest.raises(NotFittedError):
                getattr(estimator(), method)(*args)


def test_string_labels_and_decision_values_are_scikit_learns(data, fitted):
    X, y, X_test, _ = data
    labels = np.where(y == 1, "bound", "unbound")
    kernel = GkmKernel(**PARAMS)
    svc = SVC(kernel="precomputed").fit(kernel(X), labels)
    assert list(fitted.classes_) == ["bound", "unbound"]
    full_rows = kernel(X_test, X)
    assert np.array_equal(fitted.decision_function(X_test), svc.decision_function(full_rows))
    assert np.array_equal(fitted.predict(X_test), svc.predict(full_rows))
    assert fitted.predict(X_test).dtype.kind == "U"
    assert fitted.support_sequences_ == [X[i] for i in svc.support_]
    assert np.array_equal(fitted.dual_coef_, svc.dual_coef_)
    assert np.array_equal(fitted.intercept_, svc.intercept_)


def test_score_is_accuracy(data, fitted):
    _, _, X_test, y_test = data
    expected = np.mean(fitted.predict(X_test) == np.where(y_test == 1, "bound", "unbound"))
    assert fitted.score(X_test, np.where(y_test == 1, "bound", "unbound")) == expected


def test_three_classes_one_vs_one_as_svc(data):
    X, _, X_test, _ = data
    y = np.arange(len(X)) % 3
    kernel = GkmKernel(**PARAMS)
    svc = SVC(kernel="precomputed").fit(kernel(X), y)
    model = GkmSVC(**PARAMS).fit(X, y)
    assert np.array_equal(model.decision_function(X_test), svc.decision_function(kernel(X_test, X)))
    assert np.array_equal(model.predict(X_test), svc.predict(kernel(X_test, X)))
    with pytest.raises(ValueError, match="^one decision value per sequence needs a binary classifier; this one has 3"):
        model.scan(X_test[:1], 20, 5)


def test_regression_is_scikit_learns_svr(data):
    X, y, X_test, _ = data
    target = np.linspace(-1.0, 2.0, len(X)) + y
    kernel = GkmKernel(**PARAMS)
    svr = SVR(kernel="precomputed", C=3.0, epsilon=0.05).fit(kernel(X), target)
    model = GkmSVR(**PARAMS, C=3.0, epsilon=0.05).fit(X, target)
    predicted = model.predict(X_test)
    assert np.array_equal(predicted, svr.predict(kernel(X_test, X)))
    assert np.array_equal(model.decision_values(X_test), predicted)
    assert model.score(X_test, predicted) == 1.0


def test_positional_model_uses_the_centred_kernel(data):
    X, y, X_test, _ = data
    kernel = GkmKernel(**PARAMS, positional=True, weight_sigma=30.0)
    svc = SVC(kernel="precomputed").fit(kernel(X), y)
    model = GkmSVC(**PARAMS, positional=True, weight_sigma=30.0).fit(X, y)
    assert np.array_equal(model.decision_function(X_test), svc.decision_function(kernel(X_test, X)))


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


def test_class_weight_reaches_the_svm(data):
    X, y, _, _ = data
    keep = list(range(20)) + list(range(20, 26))
    model = GkmSVC(**PARAMS, class_weight="balanced").fit([X[i] for i in keep], y[keep])
    np.testing.assert_allclose(model.svm_.class_weight_, [26 / (2 * 6), 26 / (2 * 20)])


@pytest.mark.parametrize("dump, load", [(pickle.dumps, pickle.loads), ("joblib", "joblib")])
def test_round_trip_gives_bitwise_the_same_values(data, tmp_path, dump, load):
    X, y, X_test, _ = data
    model = GkmSVC(**PARAMS, probability=True).fit(X, y)
    if dump == "joblib":
        joblib.dump(model, tmp_path / "model.joblib")
        restored = joblib.load(tmp_path / "model.joblib")
    else:
        restored = load(dump(model))
    assert np.array_equal(restored.decision_function(X_test), model.decision_function(X_test))
    assert np.array_equal(restored.predict_proba(X_test), model.predict_proba(X_test))
    assert [np.array_equal(a, b) for a, b in zip(restored.scan(X_test[:2], 30, 7), model.scan(X_test[:2], 30, 7))] == [
        True,
        True,
    ]
    assert restored.support_sequences_ == model.support_sequences_


def test_refit_is_idempotent_and_clone_is_unfitted(data, fitted):
    X, y, X_test, _ = data
    labels = np.where(y == 1, "bound", "unbound")
    first = fitted.decision_function(X_test)
    assert GkmSVC(**PARAMS).fit(X, labels).fit(X, labels).decision_function(X_test).tobytes() == first.tobytes()
    copy = clone(fitted)
    assert copy.get_params() == fitted.get_params()
    with pytest.raises(NotFittedError):
        copy.predict(X_test)


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


def test_fit_from_gram_checks_the_matrix_shape(data):
    X, y, _, _ = data
    with pytest.raises(ValueError, match=re.escape("gram has shape (3, 3), expected (40, 40)")):
        GkmSVC(**PARAMS).fit_from_gram(X, y, np.eye(3))


def test_skip_mode_trains_and_scores_sequences_with_gaps(data):
    X, y, X_test, _ = data
    gapped = [seq[:40] + "N" * 5 + seq[45:] for seq in X]
    model = GkmSVC(**PARAMS, invalid="skip").fit(gapped, y)
    queries = [seq[:10] + "NN" + seq[12:] for seq in X_test]
    assert np.array_equal(
        model.decision_function(queries), SVC(kernel="precomputed").fit(
            GkmKernel(**PARAMS, invalid="skip")(gapped), y
        ).decision_function(GkmKernel(**PARAMS, invalid="skip")(queries, gapped))
    )
    with pytest.raises(ValueError, match=r"^X\[0\] holds 'N' at position 10"):
        GkmSVC(**PARAMS).fit(X, y).decision_function(queries)
