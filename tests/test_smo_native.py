"""The dense SMO solver of one SVM working set: vellum._gkmkern.smo_solve.

Optima are checked against scikit-learn's libsvm on the same duals and
against the KKT conditions, with the gradient recomputed from scratch.
"""
import array
import ctypes
import random

import numpy as np
import pytest
from sklearn.svm import SVC, SVR

import vellum
from seqgen import random_dna
from vellum import _gkmkern as g

EPS = 1e-7


# ---- problems -------------------------------------------------------------------


def random_gram(rng, n):
    """A PSD Gram of low rank, so that flat directions (a_ij <= 0) occur."""
    x = rng.normal(size=(n, int(rng.integers(2, 6))))
    return x @ x.T


def gkm_gram(rng, n):
    pyrng = random.Random(int(rng.integers(1 << 30)))
    return np.ascontiguousarray(vellum.GkmKernel(L=5, k=3, d=2)([random_dna(pyrng, 20) for _ in range(n)]))


def random_labels(rng, n):
    y = np.where(rng.random(n) < 0.5, 1.0, -1.0)
    y[:2] = [1.0, -1.0]
    return rng.permutation(y)


def q_matrix(K, y):
    return y[:, None] * y[None, :] * K


def objective(K, y, p, a):
    return 0.5 * a @ q_matrix(K, y) @ a + p @ a


def kkt_gap(K, y, C, p, a):
    """m(a) - M(a) from a gradient computed afresh; -inf when a set is empty."""
    v = -y * (q_matrix(K, y) @ a + p)
    up = ((y > 0) & (a < C)) | ((y < 0) & (a > 0))
    low = ((y > 0) & (a > 0)) | ((y < 0) & (a < C))
    return max(v[up], default=-np.inf) - min(v[low], default=np.inf)


def solve(K, y, C, p, a0, **kw):
    """smo_solve from a0 with its matching gradient; checks the result's feasibility."""
    a, grad = a0.copy(), q_matrix(K, y) @ a0 + p
    iterations = g.smo_solve(K, y, C, a, grad, **kw)
    assert np.all(a >= 0) and np.all(a <= C)
    assert y @ a == pytest.approx(y @ a0, abs=1e-9 * max(1.0, C.sum()))
    np.testing.assert_allclose(grad, q_matrix(K, y) @ a + p, rtol=1e-9, atol=1e-9 * max(1.0, np.abs(grad).max()))
    return a, iterations


def assert_same_optimum(ours, theirs):
    assert ours == pytest.approx(theirs, rel=1e-6, abs=1e-9)


def svc_alpha(K, y, C, class_weight=None):
    model = SVC(kernel="precomputed", C=C, tol=EPS, class_weight=class_weight).fit(K, y)
    alpha = np.zeros(len(y))
    alpha[model.support_] = np.abs(model.dual_coef_[0])
    return alpha


PROBLEMS = [(random_gram, n, seed) for n, seed in [(5, 1), (12, 2), (33, 3), (60, 4)]] + [
    (gkm_gram, n, seed) for n, seed in [(8, 5), (25, 6)]
]


# ---- optima ---------------------------------------------------------------------


@pytest.mark.parametrize("make_gram, n, seed", PROBLEMS)
@pytest.mark.parametrize("C", [0.1, 10.0])
def test_svc_dual_matches_libsvm(make_gram, n, seed, C):
    rng = np.random.default_rng(seed)
    K, y = make_gram(rng, n), random_labels(rng, n)
    Cs, p = np.full(n, C), -np.ones(n)
    a, _ = solve(K, y, Cs, p, np.zeros(n), eps=EPS)
    assert kkt_gap(K, y, Cs, p, a) < EPS
    assert_same_optimum(objective(K, y, p, a), objective(K, y, p, svc_alpha(K, y, C)))


@pytest.mark.parametrize("make_gram, n, seed", PROBLEMS)
def test_svr_dual_matches_libsvm(make_gram, n, seed):
    """Each sample twice, y +1 and -1: the repeated rows of epsilon-SVR."""
    rng = np.random.default_rng(seed)
    K, z = make_gram(rng, n), rng.normal(size=n)
    C, epsilon = 2.0, 0.1
    K2, y2 = np.block([[K, K], [K, K]]), np.r_[np.ones(n), -np.ones(n)]
    C2, p2 = np.full(2 * n, C), np.r_[epsilon - z, epsilon + z]
    a, _ = solve(K2, y2, C2, p2, np.zeros(2 * n), eps=EPS)
    assert kkt_gap(K2, y2, C2, p2, a) < EPS
    beta = np.zeros(n)
    model = SVR(kernel="precomputed", C=C, epsilon=epsilon, tol=EPS).fit(K, z)
    beta[model.support_] = model.dual_coef_[0]
    theirs = 0.5 * beta @ K @ beta - z @ beta + epsilon * np.abs(beta).sum()
    assert_same_optimum(objective(K2, y2, p2, a), theirs)


@pytest.mark.parametrize("weights", [{1: 3.0, -1: 0.5}, {1: 0.2, -1: 4.0}])
def test_per_variable_bounds_match_class_weight(weights):
    rng = np.random.default_rng(7)
    n = 30
    K, y = random_gram(rng, n), random_labels(rng, n)
    Cs, p = np.array([weights[int(t)] for t in y]), -np.ones(n)
    a, _ = solve(K, y, Cs, p, np.zeros(n), eps=EPS)
    assert kkt_gap(K, y, Cs, p, a) < EPS
    assert_same_optimum(objective(K, y, p, a), objective(K, y, p, svc_alpha(K, y, 1.0, weights)))


def feasible_start(rng, y, C):
    """A non-zero a inside the box with y^T a = 0: one class's share scaled down to the other's."""
    a = rng.uniform(0, 1, len(y)) * C
    pos, neg = a[y > 0].sum(), a[y < 0].sum()
    a[y > 0 if pos > neg else y < 0] *= min(pos, neg) / max(pos, neg)
    return a


def test_warm_start_reaches_the_same_optimum():
    rng = np.random.default_rng(8)
    n = 40
    K, y = random_gram(rng, n), random_labels(rng, n)
    C, p = np.full(n, 1.5), -np.ones(n)
    a0 = feasible_start(rng, y, C)
    assert y @ a0 == pytest.approx(0, abs=1e-12) and np.count_nonzero(a0) == n
    a, _ = solve(K, y, C, p, a0, eps=EPS)
    assert kkt_gap(K, y, C, p, a) < EPS
    assert_same_optimum(objective(K, y, p, a), objective(K, y, p, svc_alpha(K, y, 1.5)))


def test_interrupted_solve_resumes_exactly():
    """All the solver's state is in alpha and grad: stopping after 7 updates and
    going on from there retraces an uninterrupted run bit for bit."""
    rng = np.random.default_rng(9)
    n = 25
    K, y = random_gram(rng, n), random_labels(rng, n)
    C, p = np.full(n, 1.0), -np.ones(n)
    whole, whole_iterations = solve(K, y, C, p, np.zeros(n), eps=1e-4)
    a, grad = np.zeros(n), p.copy()
    assert g.smo_solve(K, y, C, a, grad, eps=1e-4, max_iter=7) == 7
    assert kkt_gap(K, y, C, p, a) >= 1e-4
    rest = g.smo_solve(K.ravel(), y, C, a, grad, eps=1e-4)
    assert 7 + rest == whole_iterations
    assert a.tobytes() == whole.tobytes()


def test_working_set_of_a_larger_problem():
    """The outer loop's case: G holds the fixed variables' share; only B moves."""
    rng = np.random.default_rng(10)
    n = 50
    K, y = random_gram(rng, n), random_labels(rng, n)
    C, p = np.full(n, 1.0), -np.ones(n)
    a = feasible_start(rng, y, C)
    grad = q_matrix(K, y) @ a + p
    B = np.sort(rng.choice(n, 15, replace=False))
    aB, gB = a[B].copy(), grad[B].copy()
    g.smo_solve(np.ascontiguousarray(K[np.ix_(B, B)]), y[B], C[B], aB, gB, eps=EPS)
    a[B] = aB
    np.testing.assert_allclose(gB, (q_matrix(K, y) @ a + p)[B], atol=1e-9)
    p_sub = gB - q_matrix(K[np.ix_(B, B)], y[B]) @ aB
    assert kkt_gap(K[np.ix_(B, B)], y[B], C[B], p_sub, aB) < EPS
    assert y @ a == pytest.approx(0, abs=1e-9)


@pytest.mark.parametrize(
    "K, C, expected",
    [
        # a_ij = 2: the step (1 + 1) / 2 lands inside the box on the optimum
        ([[1.0, 0.0], [0.0, 1.0]], 10.0, [1.0, 1.0]),
        # a_ij = 0, the objective falls without bound along the pair: TAU
        # makes the step so long that the clipping puts both at C at once
        ([[1.0, 1.0], [1.0, 1.0]], 5.0, [5.0, 5.0]),
    ],
)
def test_two_opposite_labels_solved_in_one_update(K, C, expected):
    a, grad = np.zeros(2), -np.ones(2)
    assert g.smo_solve(np.array(K), np.array([1.0, -1.0]), np.full(2, C), a, grad) == 1
    np.testing.assert_array_equal(a, expected)


@pytest.mark.parametrize("max_iter, expected", [(0, 0), (None, None)])
def test_iteration_limit(max_iter, expected):
    rng = np.random.default_rng(11)
    K, y = random_gram(rng, 10), random_labels(rng, 10)
    a, grad = np.zeros(10), -np.ones(10)
    iterations = g.smo_solve(K, y, np.ones(10), a, grad, max_iter=max_iter)
    assert iterations == expected if expected is not None else iterations > 0
    assert (not a.any()) == (max_iter == 0)


def test_empty_working_set():
    empty = np.zeros(0)
    assert g.smo_solve(np.zeros((0, 0)), empty, empty, empty.copy(), empty.copy()) == 0


# ---- bad input ------------------------------------------------------------------


def good_args(q=5):
    rng = np.random.default_rng(12)
    return dict(K=random_gram(rng, q), y=random_labels(rng, q), C=np.ones(q), alpha=np.zeros(q), grad=-np.ones(q))


def read_only(v):
    v = v.copy()
    v.flags.writeable = False
    return v


def shares_k(args):
    args["alpha"] = args["K"][0]
    return args


BAD = [
    (dict(K=[[1.0]]), TypeError, "K must be a float64 buffer such as a NumPy array, not list"),
    (dict(alpha=(0.0,) * 5), TypeError, "alpha must be a writable float64 buffer such as a NumPy array, not tuple"),
    (dict(grad=np.zeros(5, np.float32)), TypeError, "grad must hold float64 values, not format 'f'"),
    (dict(alpha=read_only(np.zeros(5))), ValueError, "alpha is read-only"),
    (dict(grad=read_only(-np.ones(5))), ValueError, "grad is read-only"),
    (dict(y=np.ones((5, 1))), ValueError, "y must be one-dimensional"),
    (dict(C=np.ones(4)), ValueError, r"C has shape \(4,\), expected \(5,\)"),
    (dict(alpha=np.zeros(6)), ValueError, r"alpha has shape \(6,\), expected \(5,\)"),
    (dict(K=np.eye(5)[:, :4].copy()), ValueError, r"K has shape \(5, 4\), expected \(5, 5\)"),
    (dict(K=np.zeros(24)), ValueError, r"K has shape \(24,\), expected \(25,\)"),
    (dict(K=np.eye(10)[::2, ::2]), ValueError, "K must be C-contiguous"),
    (dict(C=np.ones(10)[::2]), ValueError, "C must be C-contiguous"),
    (dict(y=np.array([1.0, -1.0, 0.0, 1.0, 1.0])), ValueError, r"y must hold only \+1 and -1"),
    (dict(C=np.array([1.0, 1.0, 0.0, 1.0, 1.0])), ValueError, "C must be finite and positive"),
    (dict(C=np.array([1.0, np.inf, 1.0, 1.0, 1.0])), ValueError, "C must be finite and positive"),
    (dict(alpha=np.array([0.0, 0.0, 1.5, 0.0, 0.0])), ValueError, r"alpha must lie within \[0, C\]"),
    (dict(alpha=np.array([0.0, -1e-300, 0.0, 0.0, 0.0])), ValueError, r"alpha must lie within \[0, C\]"),
    (dict(alpha=np.array([0.0, np.nan, 0.0, 0.0, 0.0])), ValueError, r"alpha must lie within \[0, C\]"),
    (dict(grad=np.array([-1.0, np.nan, -1.0, -1.0, -1.0])), ValueError, "grad must be finite"),
    (dict(K=np.full((5, 5), np.inf)), ValueError, "K must be finite"),
    (dict(eps=-1e-3), ValueError, "eps must be non-negative"),
    (dict(eps=np.nan), ValueError, "eps must be non-negative"),
    (dict(max_iter=-1), ValueError, "max_iter must be non-negative"),
    (dict(max_iter=1.5), TypeError, "max_iter must be an int or None, not float"),
    (dict(max_iter=2**70), OverflowError, None),
]


@pytest.mark.parametrize("change, error, message", BAD)
def test_bad_argument_is_named_and_nothing_written(change, error, message):
    args = good_args()
    args.update(change)
    alpha, grad = args["alpha"], args["grad"]
    before = [np.array(alpha, copy=True), np.array(grad, copy=True)]
    with pytest.raises(error, match=None if message is None else "^%s$" % message):
        g.smo_solve(**args)
    np.testing.assert_array_equal(np.asarray(alpha), before[0])
    np.testing.assert_array_equal(np.asarray(grad), before[1])


@pytest.mark.parametrize(
    "alias, message",
    [
        (lambda a: a.update(grad=a["alpha"]), "grad shares memory with alpha"),
        (shares_k, "alpha shares memory with K"),
        (lambda a: a.update(grad=a["C"]), "grad shares memory with C"),
    ],
)
def test_outputs_sharing_memory_are_rejected(alias, message):
    args = good_args()
    alias(args)
    before = {name: v.copy() for name, v in args.items()}
    with pytest.raises(ValueError, match="^%s$" % message):
        g.smo_solve(**args)
    for name, v in args.items():
        np.testing.assert_array_equal(v, before[name])


@pytest.mark.parametrize(
    "change, error",
    [({}, None), (dict(K=array.array("d", [0.0] * 24)), ValueError), (dict(eps=-1.0), ValueError)],
)
def test_every_buffer_is_released(change, error):
    """array.array refuses to grow while a buffer of it is held."""
    args = {name: array.array("d", np.ravel(v)) for name, v in good_args().items()}
    args.update(change)
    if error is None:
        g.smo_solve(**args)
    else:
        with pytest.raises(error):
            g.smo_solve(**args)
    for v in args.values():
        if isinstance(v, array.array):
            v.append(0.0)


def test_core_rejects_null_arrays_and_accepts_an_empty_set():
    lib = ctypes.CDLL(g.__file__)
    lib.gkm_smo_check.restype = ctypes.c_char_p
    lib.gkm_smo_solve.restype = ctypes.c_long
    for fn in (lib.gkm_smo_check, lib.gkm_smo_solve):
        fn.argtypes = [ctypes.c_int] + [ctypes.c_void_p] * 5 + [ctypes.c_double, ctypes.c_long]
    nulls = [None] * 5
    assert lib.gkm_smo_check(3, *nulls, 1e-3, 10) == b"K, y, C, alpha and grad must not be null"
    assert lib.gkm_smo_check(-1, *nulls, 1e-3, 10) == b"q < 0"
    assert lib.gkm_smo_solve(3, *nulls, 1e-3, 10) == -1
    assert lib.gkm_smo_solve(0, *nulls, 1e-3, 10) == 0
