"""A fitted regular model as one table of L-mer weights: its scores against the
kernel path, and the table solver against libsvm on the Gram matrix."""
import pickle
import random
import subprocess
import sys

import numpy as np
import pytest
from sklearn.model_selection import GridSearchCV

from seqgen import mutate, random_dna
from vellum import GkmKernel, GkmSVC, GkmSVR, _gkmkern
from vellum import estimators as estimators_module

CASES = [
    dict(L=5, k=3, d=2),
    dict(L=6, k=2, d=4, use_rc=False, weight_scheme=1),
    dict(L=4, k=1, d=3, weight_scheme=2),
    dict(L=7, k=3, d=4, invalid="skip"),
]
MOTIF = "GACGTCA"


def planted(rng, n, length, skip_n=False):
    """n random sequences, half carrying a mutated copy of MOTIF; labels 1 for those."""
    X, y = [], []
    for i in range(n):
        seq = random_dna(rng, length)
        if i % 2:
            at = rng.randrange(length - len(MOTIF))
            seq = seq[:at] + mutate(rng, MOTIF, rng.randint(0, 1)) + seq[at + len(MOTIF) :]
        if skip_n and rng.random() < 0.3:
            at = rng.randrange(length)
            seq = seq[:at] + "N" + seq[at + 1 :]
        X.append(seq)
        y.append(i % 2)
    return X, np.array(y)


def kernel_decisions(model, texts):
    """Decision values from the kernel rows against the support sequences."""
    rows = GkmKernel(**model.kernel_.get_params()).references(model.support_sequences_)(texts)
    return rows @ model.dual_coef_[0] + model.intercept_[0]


def brute_codes(text, L):
    """Codes of the forward L-mers of text, None for those covering a non-ACGT base."""
    codes = []
    for start in range(len(text) - L + 1):
        word = text[start : start + L].upper()
        codes.append(None if set(word) - set("ACGT") else sum("ACGT".index(b) << 2 * (L - 1 - i) for i, b in enumerate(word)))
    return codes


@pytest.fixture(scope="module", params=range(len(CASES)), ids=lambda i: "-".join(f"{k}{v}" for k, v in CASES[i].items()))
def fitted(request):
    params = CASES[request.param]
    rng = random.Random(request.param)
    X, y = planted(rng, 40, 30, skip_n=params.get("invalid") == "skip")
    queries, _ = planted(rng, 12, 26, skip_n=params.get("invalid") == "skip")
    return GkmSVC(**params, solver="gram").fit(X, y), queries


def test_decisions_weights_and_contributions_agree_with_the_kernel(fitted):
    model, queries = fitted
    expected = kernel_decisions(model, queries)
    np.testing.assert_allclose(model.decision_function(queries), expected, rtol=0, atol=1e-9)
    np.testing.assert_allclose(model.decision_values(queries), expected, rtol=0, atol=1e-9)
    weights = model.lmer_weights()
    assert weights.shape == (4**model.L,) and weights.dtype == np.float64 and not weights.flags.writeable
    native = model.kernel_.native()
    skip = model.kernel_.invalid == "skip"
    for query, value, shares in zip(queries, expected, model.contributions(queries)):
        norm = _gkmkern.Sequence(native, query, skip_invalid=skip).sqnorm()
        total = sum(weights[c] for c in brute_codes(query, model.L) if c is not None)
        assert total / norm == pytest.approx(value - model.intercept_[0], abs=1e-9)
        assert shares.shape == (len(query),)
        assert shares.sum() == pytest.approx(value - model.intercept_[0], abs=1e-9)
    labels = model.predict(queries)
    np.testing.assert_array_equal(labels, model.classes_[(expected > 0).astype(int)])


def test_scan_mutagenesis_and_variants_agree_with_the_kernel(fitted):
    model, queries = fitted
    rng = random.Random(7)
    long = random_dna(rng, 90) + ("N" if model.kernel_.invalid == "skip" else "A") + random_dna(rng, 40)
    window, shift = 20, 3
    tracks = model.scan([long, "", "ACG", long[:19]], window, shift)
    assert [len(t) for t in tracks[1:]] == [0, 0, 0]
    windows = [long[w * shift : w * shift + window] for w in range(len(tracks[0]))]
    np.testing.assert_allclose(tracks[0], kernel_decisions(model, windows), rtol=0, atol=1e-9)

    seq = queries[0]
    effects = model.mutagenesis(seq)
    cells = [(b, i) for i in range(len(seq)) for b in range(4) if "ACGT"[b] != seq[i].upper()]
    mutants = [seq[:i] + "ACGT"[b] + seq[i + 1 :] for b, i in cells]
    scores = kernel_decisions(model, [seq] + mutants)
    expected = np.zeros((4, len(seq)))
    for (b, i), score in zip(cells, scores[1:]):
        expected[b, i] = score - scores[0]
    np.testing.assert_allclose(effects, expected, rtol=0, atol=1e-9)

    alts = [mutate(rng, q, 1) for q in queries]
    np.testing.assert_allclose(
        model.variant_effect(queries, alts),
        kernel_decisions(model, alts) - kernel_decisions(model, queries),
        rtol=0,
        atol=1e-9,
    )


def test_scan_through_the_table_is_the_same_in_pieces(fitted, monkeypatch):
    model, _ = fitted
    long = random_dna(random.Random(3), 400)
    whole = model.scan([long], 25, 1)[0]
    monkeypatch.setattr(estimators_module, "_SCAN_PIECE", 60)
    np.testing.assert_array_equal(model.scan([long], 25, 1)[0], whole)


def dual_objective(model, X, y):
    """The dual objective of a fitted model's coefficients, from the exact Gram."""
    gram = GkmKernel(**model.kernel_.get_params())(X)
    coef = np.zeros(len(X))
    coef[model.support_] = model.dual_coef_[0]
    quadratic = 0.5 * coef @ gram @ coef
    if isinstance(model, GkmSVR):
        return quadratic + model.epsilon * np.abs(coef).sum() - y @ coef
    return quadratic - np.abs(coef).sum()


def largest_violation(model, X, y):
    """libsvm's stopping measure of a fitted classifier's solution, from the exact Gram."""
    gram = GkmKernel(**model.kernel_.get_params())(X)
    coef = np.zeros(len(X))
    coef[model.support_] = model.dual_coef_[0]
    sign = np.where(y == model.classes_[1], 1.0, -1.0)
    alpha = coef * sign
    bound = model.C * estimators_module.compute_class_weight(model.class_weight, classes=model.classes_, y=y)[
        (sign > 0).astype(int)
    ]
    grad = sign * (gram @ coef) - 1
    violation = -sign * grad
    up = np.where(sign > 0, alpha < bound - 1e-12, alpha > 1e-12)
    low = np.where(sign > 0, alpha > 1e-12, alpha < bound - 1e-12)
    return violation[up].max() - violation[low].min()


@pytest.mark.parametrize(
    "make",
    [
        lambda: GkmSVC(L=5, k=3, d=2),
        lambda: GkmSVC(L=4, k=2, d=2, C=2.0),
        lambda: GkmSVC(L=6, k=3, d=3, C=0.3, class_weight="balanced", use_rc=False),
        lambda: GkmSVC(L=5, k=2, d=3, C=4.0, class_weight={0: 2.0}, invalid="skip"),
        lambda: GkmSVR(L=5, k=3, d=2, C=2.0, epsilon=0.05),
    ],
    ids=["svc", "even-L-palindromes", "balanced-norc", "weighted-skip", "svr"],
)
def test_table_solver_reaches_libsvm_optimum(make):
    rng = random.Random(11)
    X, labels = planted(rng, 80, 40, skip_n=make().invalid == "skip")
    y = labels if isinstance(make(), GkmSVC) else labels + np.array([rng.random() * 0.2 for _ in X])
    if isinstance(make(), GkmSVC) and make().class_weight == "balanced":
        X, y = X[:60], y[:60]
        y[:10] = 0
    gram_model = make().set_params(solver="gram").fit(X, y)
    table_model = make().set_params(solver="table").fit(X, y)
    assert (gram_model.solver_, table_model.solver_) == ("gram", "table")
    assert not hasattr(table_model, "svm_")
    expected = dual_objective(gram_model, X, y)
    assert dual_objective(table_model, X, y) == pytest.approx(expected, rel=1e-4)
    assert table_model.dual_objective_ == pytest.approx(dual_objective(table_model, X, y), rel=1e-9)
    if isinstance(table_model, GkmSVC):
        assert largest_violation(table_model, X, y) < 1e-3 + 1e-9
    queries, _ = planted(rng, 20, 40)
    np.testing.assert_allclose(table_model.decision_values(queries), gram_model.decision_values(queries), atol=2e-2)
    np.testing.assert_allclose(table_model.decision_values(queries), kernel_decisions(table_model, queries), atol=1e-9)


def test_solver_choice_and_refusals(monkeypatch):
    X, y = planted(random.Random(2), 30, 20)
    work = len(X) * sum(map(len, X))
    # auto takes the table once n * (total length) reaches the ratio times 4**L
    for ratio, expected in ((work / 4**5 + 1e-9, "gram"), (work / 4**5, "table")):
        monkeypatch.setattr(estimators_module, "_TABLE_WORK_RATIO", ratio)
        assert GkmSVC(L=5, k=3, d=2).fit(X, y).solver_ == expected
    assert GkmSVC(L=5, k=3, d=2, positional=True).fit(X, y).solver_ == "gram"
    with pytest.raises(ValueError, match="solver must be one of 'auto', 'gram', 'table'; got 'libsvm'"):
        GkmSVC(solver="libsvm").fit(X, y)
    with pytest.raises(ValueError, match="solver='table' needs a regular kernel: the positional kernel"):
        GkmSVC(L=5, k=3, d=2, positional=True, solver="table").fit(X, y)
    three = np.arange(len(X)) % 3
    with pytest.raises(ValueError, match="solver='table' trains binary classifiers; y holds 3 classes"):
        GkmSVC(L=5, k=3, d=2, solver="table").fit(X, three)
    multiclass = GkmSVC(L=5, k=3, d=2).fit(X, three)
    for call in (
        lambda: multiclass.lmer_weights(),
        lambda: multiclass.contributions(X[:1]),
        lambda: multiclass.scan(X[:1], 10, 1),
        lambda: multiclass.mutagenesis(X[0]),
    ):
        with pytest.raises(ValueError, match="needs a binary classifier; this one has 3 classes"):
            call()
    positional = GkmSVC(L=5, k=3, d=2, positional=True).fit(X, y)
    with pytest.raises(ValueError, match="lmer_weights needs a regular model: the positional kernel"):
        positional.lmer_weights()


@pytest.mark.parametrize("solver, positional", [("gram", False), ("table", False), ("gram", True)])
def test_regression_without_support_vectors_is_the_constant_model(solver, positional):
    X, _ = planted(random.Random(5), 20, 20)
    y = np.full(len(X), 3.0) + np.linspace(-0.01, 0.01, len(X))
    model = GkmSVR(L=5, k=3, d=2, epsilon=0.5, solver=solver, positional=positional).fit(X, y)
    assert model.support_sequences_ == [] and model.dual_coef_.shape == (1, 0)
    np.testing.assert_array_equal(model.predict(X[:3]), np.full(3, model.intercept_[0]))
    assert model.intercept_[0] == pytest.approx(3.0, abs=0.02)
    search = GridSearchCV(GkmSVR(L=5, k=3, d=2, solver=solver, positional=positional), {"epsilon": [0.01, 0.5]}, cv=2)
    assert search.fit(X, y).best_params_ in ({"epsilon": 0.01}, {"epsilon": 0.5})


def test_table_models_pickle_without_their_table_and_calibrate():
    X, y = planted(random.Random(9), 60, 30)
    model = GkmSVC(L=5, k=3, d=2, solver="table", probability=True).fit(X, y)
    before = model.decision_function(X[:5])
    assert "_table" in model.__dict__
    blob = pickle.dumps(model)
    assert len(blob) < 4**5 * 8
    loaded = pickle.loads(blob)
    np.testing.assert_array_equal(loaded.decision_function(X[:5]), before)
    proba = loaded.predict_proba(X[:5])
    assert proba.shape == (5, 2)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    assert np.all((proba[:, 1] > 0.5) == (before > 0)) or np.corrcoef(proba[:, 1], before)[0, 1] > 0.9


ALLOCATE_UNDER_A_LIMIT = """
import re, resource
from vellum.lmer_table import empty_table
in_use = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
resource.setrlimit(resource.RLIMIT_AS, (in_use + 32 * 2**20, resource.RLIM_INFINITY))
try:
    empty_table(12)
except MemoryError as err:
    print(err)
"""


def test_a_table_that_cannot_be_allocated_names_its_size():
    done = subprocess.run([sys.executable, "-c", ALLOCATE_UNDER_A_LIMIT], capture_output=True, text=True, check=True)
    assert done.stdout.startswith("the L-mer table of L=12 needs 128 MiB (4**12 doubles)")


@pytest.mark.parametrize("seed", range(4))
def test_projection_onto_the_dual_feasible_set_is_the_nearest_point(seed):
    from scipy.optimize import minimize
    from vellum.table_solver import DualProblem

    rng = np.random.default_rng(seed)
    n = 12
    if seed % 2:
        problem = DualProblem.classification(rng.random(n) < 0.4, rng.uniform(0.5, 2.0, n))
    else:
        problem = DualProblem.regression(rng.normal(size=n // 2), C=1.5, epsilon=0.1)
    z = rng.normal(scale=2.0, size=n)
    nearest = minimize(
        lambda a: np.sum((a - z) ** 2),
        np.zeros(n),
        jac=lambda a: 2 * (a - z),
        bounds=list(zip(np.zeros(n), problem.C)),
        constraints=[{"type": "eq", "fun": lambda a: problem.y @ a, "jac": lambda a: problem.y}],
        method="SLSQP",
        options={"ftol": 1e-14, "maxiter": 500},
    ).x
    projected = problem.project(z)
    assert abs(problem.y @ projected) < 1e-9
    assert (projected >= 0).all() and (projected <= problem.C).all()
    np.testing.assert_allclose(projected, nearest, atol=1e-6)


def _nearest_by_every_knot(problem, z):
    """The projection found the slow way: y'a at every knot, then the line between the two around zero."""
    knots = np.unique(np.concatenate([-z * problem.y, (problem.C - z) * problem.y]))
    balance = (np.clip(z + knots[:, None] * problem.y, 0, problem.C) * problem.y).sum(axis=1)
    first = int(np.argmax(balance >= 0))
    if first == 0:
        mu = knots[0]
    else:
        (left, right), (low, high) = knots[first - 1 : first + 1], balance[first - 1 : first + 1]
        mu = left - low * (right - left) / (high - low)
    return np.clip(z + mu * problem.y, 0, problem.C)


@pytest.mark.parametrize("n", [40, 3000])
@pytest.mark.parametrize("shape", ["spread", "ties", "one class", "other class", "some C zero", "regression"])
def test_projection_of_many_variables_agrees_with_a_search_of_every_knot(n, shape):
    from vellum.table_solver import DualProblem

    rng = np.random.default_rng(n)
    if shape == "regression":
        problem = DualProblem.regression(rng.normal(size=n // 2), C=1.0, epsilon=0.2)
    else:
        positive = {"one class": np.ones(n, bool), "other class": np.zeros(n, bool)}.get(shape, rng.random(n) < 0.3)
        least_C = 0.0 if shape == "some C zero" else 0.5
        problem = DualProblem.classification(positive, rng.choice([least_C, 1.0, 4.0], n))
    z = rng.normal(scale=3.0, size=n)
    if shape == "ties":  # many variables share each knot
        z = np.round(z * 2) / 2
    np.testing.assert_allclose(problem.project(z), _nearest_by_every_knot(problem, z), rtol=0, atol=1e-9)


def test_table_training_does_not_depend_on_the_thread_count():
    X, y = planted(random.Random(21), 60, 40)
    one, two = (GkmSVC(L=5, k=3, d=2, solver="table", n_jobs=n).fit(X, y) for n in (1, 2))
    assert one.n_iter_ == two.n_iter_
    assert np.array_equal(one.dual_coef_, two.dual_coef_) and np.array_equal(one.intercept_, two.intercept_)
