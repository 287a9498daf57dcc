"""Training a regular-kernel SVM without its Gram matrix.

The dual is libsvm's: minimise 1/2 a'Qa + p'a subject to y'a = 0 and
0 <= a_t <= C_t, with Q[t, s] = y_t y_s K(x_t, x_s). Its gradient Qa + p is
one table away: Qa at t is y_t times the model's score of x_t (without
intercept) for the dual coefficients y o a, and one L-mer table gives every
score. So each outer step computes the whole gradient through the table,
picks the variables that violate the optimality conditions most, and solves
the problem on those with everything else fixed (a dense SMO on their
kernel block, the only kernel values ever computed). The stopping rule and
the intercept are libsvm's, so the solution is the one scikit-learn's SVC
and SVR reach.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from joblib import effective_n_jobs

from . import _gkmkern
from .lmer_table import EncodedSet, LmerKernel, accumulate_lmers, empty_table

# libsvm's default tolerance on the largest violation of the optimality
# conditions, which scikit-learn's SVC and SVR keep.
TOLERANCE = 1e-3

# Variables per working set: the kernel block of that many sequences costs
# far less than one pass of the gradient over the whole training set, while
# large sets need few passes.
WORKING_SET = 1000


@dataclass
class DualProblem:
    """The dual in libsvm's form, one variable per (sequence, side)."""

    y: np.ndarray  # +1 or -1 per variable
    p: np.ndarray  # linear term
    C: np.ndarray  # upper bound per variable
    sequence: np.ndarray  # training sequence of each variable

    @classmethod
    def classification(cls, positive: np.ndarray, C: np.ndarray) -> "DualProblem":
        """C-SVC: positive is True where the label is the second class; C per sequence."""
        n = len(positive)
        return cls(np.where(positive, 1.0, -1.0), -np.ones(n), np.asarray(C, dtype=np.float64), np.arange(n))

    @classmethod
    def regression(cls, z: np.ndarray, C: float, epsilon: float) -> "DualProblem":
        """epsilon-SVR: a variable above and one below the band per sequence."""
        n = len(z)
        y = np.concatenate([np.ones(n), -np.ones(n)])
        p = np.concatenate([epsilon - z, epsilon + z])
        return cls(y, p, np.full(2 * n, float(C)), np.concatenate([np.arange(n), np.arange(n)]))

    def objective(self, alpha: np.ndarray, grad: np.ndarray) -> float:
        """1/2 a'Qa + p'a, from a and the gradient Qa + p."""
        return float(0.5 * alpha @ (grad + self.p))


@dataclass
class DualSolution:
    coef: np.ndarray  # dual coefficient of each training sequence
    intercept: float
    objective: float
    n_iter: int


def solve(kernel, texts: list[str], problem: DualProblem, *, tol: float = TOLERANCE) -> DualSolution:
    """Solve problem for the training sequences texts under kernel (a regular GkmKernel).

    Parameters
    ----------
    kernel : GkmKernel
        A regular kernel (its n_jobs sets the threads).
    texts : list of str
        Training sequences, checked.
    problem : DualProblem
    tol : float
        Stop once the largest violation of the optimality conditions is below this.
    """
    gradient = _TableGradient(EncodedSet(texts, LmerKernel.of(kernel)), effective_n_jobs(kernel.n_jobs))
    alpha = np.zeros(len(problem.y))
    grad = problem.p.copy()
    n_iter = 0
    while True:
        working = _working_set(problem, alpha, grad, tol)
        if working is None:
            break
        n_iter += 1
        before = alpha[working].copy()
        _solve_block(kernel, texts, problem, working, alpha, grad, tol)
        changed = alpha[working] - before
        coef_change = np.bincount(problem.sequence[working], weights=problem.y[working] * changed, minlength=len(texts))
        grad = problem.y * gradient.add(coef_change)[problem.sequence] + problem.p
    coef = np.bincount(problem.sequence, weights=problem.y * alpha, minlength=len(texts))
    return DualSolution(coef, -_rho(problem, alpha, grad), problem.objective(alpha, grad), n_iter)


class _TableGradient:
    """Scores of the training sequences for the current dual coefficients,
    through the table of their L-mers."""

    def __init__(self, encoded: EncodedSet, nthreads: int):
        self.encoded = encoded
        self.kernel = encoded.kernel
        self.scale = encoded.inverse_norms()
        self.nthreads = nthreads
        self.lmers = empty_table(self.kernel.L)
        self.table = np.empty_like(self.lmers)

    def add(self, coef_change: np.ndarray) -> np.ndarray:
        """Add coef_change to the dual coefficients; the new scores."""
        touched = np.flatnonzero(coef_change)
        codes, position = self.encoded.lmers_of(touched)
        amounts = (coef_change[touched] * self.scale[touched])[position]
        accumulate_lmers(self.lmers, codes, amounts, self.kernel.L, self.kernel.use_rc)
        np.copyto(self.table, self.lmers)
        _gkmkern.lmer_table_transform(self.table, self.kernel.weights, nthreads=self.nthreads)
        return self.encoded.sums(self.table) * self.scale


def _violations(problem: DualProblem, alpha: np.ndarray, grad: np.ndarray):
    """-y G, and the masks of the variables that may go up and down (libsvm's I_up, I_low)."""
    positive = problem.y > 0
    below_top = alpha < problem.C
    above_zero = alpha > 0
    up = np.where(positive, below_top, above_zero)
    low = np.where(positive, above_zero, below_top)
    return -problem.y * grad, up, low


def _working_set(problem: DualProblem, alpha: np.ndarray, grad: np.ndarray, tol: float) -> np.ndarray | None:
    """The variables that violate the optimality conditions most, or None when
    the largest violation is below tol."""
    violation, up, low = _violations(problem, alpha, grad)
    up_idx, low_idx = np.flatnonzero(up), np.flatnonzero(low)
    if not len(up_idx) or not len(low_idx):
        return None
    highest, lowest = violation[up_idx].max(), violation[low_idx].min()
    if highest - lowest < tol:
        return None
    half = WORKING_SET // 2
    ups = up_idx[violation[up_idx] > lowest]
    lows = low_idx[violation[low_idx] < highest]
    ups = ups[np.argsort(-violation[ups], kind="stable")[:half]]
    lows = lows[np.argsort(violation[lows], kind="stable")[:half]]
    return np.unique(np.concatenate([ups, lows]))


def _solve_block(kernel, texts, problem: DualProblem, working: np.ndarray, alpha, grad, tol: float) -> None:
    """Optimise the working variables with all others fixed, in place."""
    sequences, index = np.unique(problem.sequence[working], return_inverse=True)
    block = kernel([texts[i] for i in sequences])[np.ix_(index, index)]
    # Indexing with an array copies: the solver works on the set's own arrays.
    sub_alpha, sub_grad = alpha[working], grad[working]
    _gkmkern.smo_solve(block, problem.y[working], problem.C[working], sub_alpha, sub_grad, eps=tol)
    alpha[working] = sub_alpha


def _rho(problem: DualProblem, alpha: np.ndarray, grad: np.ndarray) -> float:
    """libsvm's offset: the mean of y G over the free variables, or the middle
    of its bounds when none is free."""
    yg = problem.y * grad
    at_top = alpha >= problem.C
    at_zero = alpha <= 0
    free = ~at_top & ~at_zero
    if free.any():
        return float(yg[free].sum() / free.sum())
    positive = problem.y > 0
    upper_side = (at_top & ~positive) | (at_zero & positive)
    lower_side = (at_top & positive) | (at_zero & ~positive)
    upper = yg[upper_side].min() if upper_side.any() else np.inf
    lower = yg[lower_side].max() if lower_side.any() else -np.inf
    return float((upper + lower) / 2)
