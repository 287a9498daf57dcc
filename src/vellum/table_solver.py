"""Training a regular-kernel SVM without its Gram matrix.

The dual is libsvm's: minimise f(a) = 1/2 a'Qa + p'a subject to y'a = 0 and
0 <= a_t <= C_t, with Q[t, s] = y_t y_s K(x_t, x_s). A product Qv is one
L-mer table away: at t it is y_t times the score of x_t for the dual
coefficients y o v, and one table gives every score at the cost of a few
passes over 4**L doubles. No kernel value is ever computed.

The solver is a projected gradient method with Barzilai-Borwein steps and a
non-monotone line search, which needs one product per iteration: step
along -G with the spectral step length, project onto the feasible set, and
move towards that point. The stopping rule and the intercept are libsvm's,
so the solution is the one scikit-learn's SVC and SVR reach, within their
tolerance.
"""
from __future__ import annotations

import warnings
from collections import deque
from dataclasses import dataclass

import numpy as np
from joblib import effective_n_jobs
from sklearn.exceptions import ConvergenceWarning
from threadpoolctl import threadpool_limits

from . import _gkmkern
from ._progress import progress_bar
from .lmer_table import EncodedSet, LmerKernel, empty_table

# libsvm's default tolerance on the largest violation of the optimality
# conditions, which scikit-learn's SVC and SVR keep.
TOLERANCE = 1e-3

# An iteration may raise the objective above the best of the last this many;
# the freedom lets the spectral steps take the problem's curvature as it is.
NON_MONOTONE_MEMORY = 10

# Sufficient decrease against that reference value, in units of the
# directional derivative.
SUFFICIENT_DECREASE = 1e-4

# Spectral steps are kept within these bounds.
STEP_RANGE = (1e-10, 1e10)

# The gradient is carried forward by the products of each step; every this
# many iterations, and before stopping, it is computed afresh.
REFRESH_EVERY = 50

# The projection's search for its multiplier splits its bracket at the
# median of about this many of the knots inside. Its first bracket is
# this share of the knots either side of where the root is expected, read
# from a sorted sample of about this many.
PIVOT_SAMPLE = 64
GUESS_MARGIN = 0.03
GUESS_SAMPLE = 2048
GOLDEN_FRACTION = (5**0.5 - 1) / 2

# Iterations before giving up with a ConvergenceWarning; the problems seen
# take 50 to 150.
MAX_ITER = 10000


@dataclass
class DualProblem:
    """The dual in libsvm's form, one variable per (sequence, side)."""

    y: np.ndarray  # +1 or -1 per variable
    p: np.ndarray  # linear term
    C: np.ndarray  # upper bound per variable
    sequence: np.ndarray  # training sequence of each variable

    def __post_init__(self):
        # The projection runs every iteration on arrays of every variable:
        # its scratch is kept rather than allocated and freed each time,
        # which costs more than the arithmetic at this size.
        self._scratch = np.empty((3, len(self.y)))
        self._lowest = np.where(self.y < 0, self.C, 0.0)
        self._rise = float(self._lowest.sum())

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

    def coefficients(self, alpha: np.ndarray, n_sequences: int) -> np.ndarray:
        """Dual coefficient of each sequence: the sum of y a over its variables."""
        return np.bincount(self.sequence, weights=self.y * alpha, minlength=n_sequences)

    def project(self, z: np.ndarray) -> np.ndarray:
        """The feasible point nearest z: clip(z + mu y, 0, C) with y'a = 0."""
        # As mu grows, y a_t(mu) rises with slope y_t**2 = 1 from -C_t (y_t < 0)
        # or 0 (y_t > 0) over a width of C_t, from mu = -y_t z_t - (C_t if
        # y_t < 0): y'a = 0 where those ramps together rise by sum C over y < 0.
        start, stop, work = self._scratch
        np.multiply(self.y, z, out=start)
        np.negative(start, out=start)
        start -= self._lowest
        np.add(start, self.C, out=stop)
        mu = _where_ramps_reach(_Ramps(start, stop, self.C), self._rise, work)
        a = self.y * mu
        a += z
        return np.clip(a, 0, self.C, out=a)


@dataclass
class _Ramps:
    """clip(mu - start, 0, stop - start), one per variable."""

    start: np.ndarray
    stop: np.ndarray
    width: np.ndarray

    def sum(self, mu: float, work: np.ndarray | None = None) -> float:
        """Their sum at mu (work: scratch of their length)."""
        rise = np.subtract(mu, self.start, out=work)
        return float(np.clip(rise, 0, self.width, out=rise).sum())

    def knots_sample(self, size: int) -> np.ndarray:
        """About size of their starts and stops, sorted."""
        return np.sort(np.concatenate([_sample(self.start, size // 2), _sample(self.stop, size // 2)]))

    def __getitem__(self, keep: np.ndarray) -> "_Ramps":
        return _Ramps(self.start[keep], self.stop[keep], self.width[keep])


def _where_ramps_reach(ramps: _Ramps, target: float, work: np.ndarray) -> float:
    """The least mu at which the ramps' sum reaches target (between 0 and
    their total width); work: scratch of their length.

    The sum is piecewise linear and non-decreasing. Each step narrows a
    bracket around the root and sets aside the ramps that are flat or
    rising throughout it, so the work shrinks with the bracket and no knot
    is sorted but a small sample.
    """
    low = float(ramps.start.min())
    if target <= 0:
        return low
    total = float(ramps.width.sum())
    bracket = _Bracket(low, -target, float(ramps.stop.max()), total - target)
    _bracket_where_expected(bracket, ramps, target, target / total, work)
    return _narrow(bracket, ramps, target)


class _Bracket:
    """[low, high] around a root, with the function's value at each end
    (below zero at low, at or above it at high)."""

    def __init__(self, low: float, low_value: float, high: float, high_value: float):
        self.low, self.low_value, self.high, self.high_value = low, low_value, high, high_value

    def move(self, mu: float, value: float) -> None:
        """Take mu, where the function is value, as the end on its side."""
        if value >= 0:
            self.high, self.high_value = mu, value
        else:
            self.low, self.low_value = mu, value

    def holds(self, mu: float) -> bool:
        return self.low < mu < self.high

    def secant(self) -> float:
        """Where the line through both ends crosses zero."""
        return self.low - self.low_value * (self.high - self.low) / (self.high_value - self.low_value)


def _bracket_where_expected(bracket: _Bracket, ramps: _Ramps, target: float, fraction: float, work: np.ndarray) -> None:
    """Narrow the bracket between knots of a sorted sample, starting this
    fraction of the way through them and stepping out until the sum crosses
    the target: the root lies about as far through the knots as the target
    through the rise."""
    sample = ramps.knots_sample(GUESS_SAMPLE)
    at, step = int(fraction * (len(sample) - 1)), max(1, int(GUESS_MARGIN * len(sample)))
    first_short = None  # whether the first guess fell short of the target
    while 0 <= at < len(sample) and bracket.holds(sample[at]):
        mu = float(sample[at])
        value = ramps.sum(mu, work) - target
        bracket.move(mu, value)
        short = value < 0
        if first_short is None:
            first_short = short
        elif short != first_short:
            return
        at, step = at + (step if short else -step), 2 * step


def _narrow(bracket: _Bracket, ramps: _Ramps, target: float) -> float:
    """The root within the bracket: steps by secant, or by the median of
    the knots inside when a step did not halve them, each setting aside
    the ramps that the new bracket no longer cuts."""
    done = 0.0  # the width of ramps that end at or before low
    rising, rising_from = 0, 0.0  # ramps rising across [low, high]: how many, and their starts summed
    while True:
        low, high = bracket.low, bracket.high
        finished, across = ramps.stop <= low, (ramps.start <= low) & (ramps.stop >= high)
        done += float(ramps.width[finished].sum())
        rising += int(across.sum())
        rising_from += float(ramps.start[across].sum())
        keep = ~finished & ~across & (ramps.start < high)
        halved = 2 * int(keep.sum()) <= len(keep)
        ramps = ramps[keep]
        if not len(ramps.start):
            break
        mu = bracket.secant()
        if not (halved and bracket.holds(mu)):
            inside = np.concatenate([ramps.start[ramps.start > low], ramps.stop[ramps.stop < high]])
            mu = float(np.median(_sample(inside, PIVOT_SAMPLE)))
        bracket.move(mu, done + rising * mu - rising_from + ramps.sum(mu) - target)
    # No knot is left inside the bracket: the sum is linear across it.
    if rising == 0:
        return bracket.high
    return min(max((target - done + rising_from) / rising, bracket.low), bracket.high)


def _sample(values: np.ndarray, size: int) -> np.ndarray:
    """About size of the values (all when there are fewer), spread by the
    golden ratio rather than evenly, since the variables' order may follow
    the labels."""
    if len(values) <= size:
        return values
    return values[(np.arange(size) * GOLDEN_FRACTION % 1.0 * len(values)).astype(np.intp)]


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
    nthreads = effective_n_jobs(kernel.n_jobs)
    product = _TableProduct(EncodedSet(texts, LmerKernel.of(kernel), nthreads), problem, nthreads)
    alpha = np.zeros(len(problem.y))
    grad = problem.p.copy()
    value = 0.0  # the objective at alpha
    fresh = True  # whether grad was computed from alpha rather than carried forward
    recent = deque([value], maxlen=NON_MONOTONE_MEMORY)
    step = 1.0
    n_iter = 0
    # The dot products over the variables are small next to a table pass;
    # BLAS threads left spinning after them would take the cores from the
    # table's OpenMP team, so BLAS keeps to one thread here.
    with progress_bar(kernel.progress, None, "table solver", unit="iteration") as bar, threadpool_limits(1, "blas"):
        while True:
            violation = _largest_violation(problem, alpha, grad)
            if not fresh and (violation < tol or n_iter % REFRESH_EVERY == 0):
                # Stop, and go on every REFRESH_EVERY iterations, only on a
                # gradient computed afresh, so that rounding cannot build up.
                grad, value, fresh = _afresh(product, problem, alpha)
                continue
            if violation < tol:
                break
            bar.set_postfix_str(f"largest violation {violation:.2g}, stops below {tol:g}", refresh=False)
            if n_iter == MAX_ITER:
                warnings.warn(f"the table solver stopped after {MAX_ITER} iterations without reaching tol={tol}",
                              ConvergenceWarning, stacklevel=3)
                break
            n_iter += 1
            bar.update()
            direction = problem.project(alpha - step * grad) - alpha
            change = product(direction)
            length = _step_length(grad @ direction, direction @ change, value, max(recent))
            alpha += length * direction
            grad += length * change
            value, fresh = problem.objective(alpha, grad), False
            recent.append(value)
            step = _spectral_step(direction, change)
    coef = problem.coefficients(alpha, len(texts))
    return DualSolution(coef, -_rho(problem, alpha, grad), problem.objective(alpha, grad), n_iter)


def _afresh(product: "_TableProduct", problem: DualProblem, alpha: np.ndarray) -> tuple[np.ndarray, float, bool]:
    """The gradient at alpha computed from alpha, the objective, and True (fresh)."""
    grad = product(alpha) + problem.p
    return grad, problem.objective(alpha, grad), True


class _TableProduct:
    """Q v through the table of the training sequences' L-mers."""

    def __init__(self, encoded: EncodedSet, problem: DualProblem, nthreads: int):
        self.encoded = encoded
        self.problem = problem
        self.scale = encoded.inverse_norms()
        self.nthreads = nthreads
        self.table = empty_table(encoded.kernel.L)
        # Each product reads the coefficients of an L-mer's sequences from
        # these lists rather than scattering every sequence's L-mers into
        # the table: reads of a small array instead of writes all over a
        # large one, and free of races between threads.
        self.offsets, self.owners = encoded.owner_lists(nthreads)

    def __call__(self, v: np.ndarray) -> np.ndarray:
        coef = self.problem.coefficients(v, len(self.encoded))
        _gkmkern.lmer_table_of_owners(
            self.table, self.offsets, self.owners, coef * self.scale, self.encoded.kernel.use_rc, nthreads=self.nthreads
        )
        _gkmkern.lmer_table_transform(self.table, self.encoded.kernel.weights, nthreads=self.nthreads)
        scores = self.encoded.sums(self.table, self.nthreads) * self.scale
        return self.problem.y * scores[self.problem.sequence]


def _step_length(slope: float, curvature: float, value: float, reference: float) -> float:
    """How far to go along a feasible direction (at most 1, which stays
    feasible): the full step unless the objective would rise above the
    reference by more than the non-monotone rule allows, else the minimum
    along the direction, or halving."""
    length = 1.0
    while value + length * slope + 0.5 * length**2 * curvature > reference + SUFFICIENT_DECREASE * length * slope:
        if curvature > 0:
            length = max(0.1 * length, min(0.5 * length, -slope / curvature))
        else:
            length *= 0.5
    return length


def _spectral_step(direction: np.ndarray, change: np.ndarray) -> float:
    """Barzilai-Borwein step d'd / d'Qd, within STEP_RANGE."""
    curvature = direction @ change
    if not curvature > 0:
        return STEP_RANGE[1]
    return float(np.clip((direction @ direction) / curvature, *STEP_RANGE))


def _violations(problem: DualProblem, alpha: np.ndarray, grad: np.ndarray):
    """-y G, and the masks of the variables that may go up and down (libsvm's I_up, I_low)."""
    positive = problem.y > 0
    below_top = alpha < problem.C
    above_zero = alpha > 0
    up = np.where(positive, below_top, above_zero)
    low = np.where(positive, above_zero, below_top)
    return -problem.y * grad, up, low


def _largest_violation(problem: DualProblem, alpha: np.ndarray, grad: np.ndarray) -> float:
    """libsvm's measure of optimality: max over I_up of -yG minus min over I_low (-inf when either is empty)."""
    violation, up, low = _violations(problem, alpha, grad)
    if not up.any() or not low.any():
        return -np.inf
    return float(violation[up].max() - violation[low].min())


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
