// Dense SMO on one working set of a kernel SVM dual: libsvm's Solver, with
// second-order working set selection, on a q x q kernel block given in full.
// The caller's gradient already holds the contributions of the variables
// outside the set, so the subproblem's linear term never appears here.
#include "gkmkern.h"

#include <cmath>
#include <limits>

namespace {

// Stands in for a non-positive curvature a_ij, as libsvm does, so that a
// step along a flat or (numerically) concave direction stays finite.
constexpr double TAU = 1e-12;

struct smo_problem {
    int q;
    const double* K;
    const double* y;
    const double* C;
    double* alpha;
    double* grad;

    double kernel(int t, int s) const { return K[(size_t)t * (size_t)q + (size_t)s]; }
    // Bounds as libsvm's alpha_status sees them: at or beyond the bound.
    bool at_upper(int t) const { return alpha[t] >= C[t]; }
    bool at_lower(int t) const { return alpha[t] <= 0.0; }
    // I_up: y_t a_t can still grow; I_low: it can still shrink.
    bool in_up(int t) const { return y[t] > 0 ? !at_upper(t) : !at_lower(t); }
    bool in_low(int t) const { return y[t] > 0 ? !at_lower(t) : !at_upper(t); }
};

double curvature(const smo_problem& p, int i, int j)
{
    double a = p.kernel(i, i) + p.kernel(j, j) - 2.0 * p.kernel(i, j);
    return a > 0.0 ? a : TAU;
}

// libsvm's select_working_set: i is the most violating index of I_up, j the
// index of I_low whose pair with i decreases the objective most to second
// order. False when the gap m - M is below eps or no pair is left.
bool select_working_set(const smo_problem& p, double eps, int* out_i, int* out_j)
{
    double m = -std::numeric_limits<double>::infinity();
    int i = -1;
    for (int t = 0; t < p.q; t++) {
        double v = -p.y[t] * p.grad[t];
        if (p.in_up(t) && v >= m) {
            m = v;
            i = t;
        }
    }
    double neg_M = -std::numeric_limits<double>::infinity();
    double best = std::numeric_limits<double>::infinity();
    int j = -1;
    for (int t = 0; t < p.q; t++) {
        if (!p.in_low(t)) continue;
        double yg = p.y[t] * p.grad[t];
        if (yg >= neg_M) neg_M = yg;
        double b = m + yg;
        if (i < 0 || b <= 0.0) continue;
        double decrease = -(b * b) / curvature(p, i, t);
        if (decrease <= best) {
            best = decrease;
            j = t;
        }
    }
    if (m + neg_M < eps || j < 0) return false;
    *out_i = i;
    *out_j = j;
    return true;
}

// The pair's unconstrained step, clipped to the box on the line that keeps
// y_i a_i + y_j a_j fixed (libsvm's Solver::Solve, both sign cases).
void update_pair(const smo_problem& p, int i, int j)
{
    double* a = p.alpha;
    const double* G = p.grad;
    const double Ci = p.C[i], Cj = p.C[j];
    const double quad = curvature(p, i, j);
    if (p.y[i] != p.y[j]) {
        double delta = (-G[i] - G[j]) / quad;
        double diff = a[i] - a[j];
        a[i] += delta;
        a[j] += delta;
        if (diff > 0) {
            if (a[j] < 0) {
                a[j] = 0;
                a[i] = diff;
            }
        } else if (a[i] < 0) {
            a[i] = 0;
            a[j] = -diff;
        }
        if (diff > Ci - Cj) {
            if (a[i] > Ci) {
                a[i] = Ci;
                a[j] = Ci - diff;
            }
        } else if (a[j] > Cj) {
            a[j] = Cj;
            a[i] = Cj + diff;
        }
    } else {
        double delta = (G[i] - G[j]) / quad;
        double sum = a[i] + a[j];
        a[i] -= delta;
        a[j] += delta;
        if (sum > Ci) {
            if (a[i] > Ci) {
                a[i] = Ci;
                a[j] = sum - Ci;
            }
        } else if (a[j] < 0) {
            a[j] = 0;
            a[i] = sum;
        }
        if (sum > Cj) {
            if (a[j] > Cj) {
                a[j] = Cj;
                a[i] = sum - Cj;
            }
        } else if (a[i] < 0) {
            a[i] = 0;
            a[j] = sum;
        }
    }
}

// G_t += Q[t, i] da_i + Q[t, j] da_j with Q[t, s] = y_t y_s K[t, s].
void update_gradient(const smo_problem& p, int i, int j, double da_i, double da_j)
{
    const double* Ki = p.K + (size_t)i * (size_t)p.q;
    const double* Kj = p.K + (size_t)j * (size_t)p.q;
    const double ci = p.y[i] * da_i, cj = p.y[j] * da_j;
    for (int t = 0; t < p.q; t++) p.grad[t] += p.y[t] * (Ki[t] * ci + Kj[t] * cj);
}

bool finite_all(const double* v, size_t n)
{
    for (size_t t = 0; t < n; t++)
        if (!std::isfinite(v[t])) return false;
    return true;
}

bool labels_valid(const double* y, int q)
{
    for (int t = 0; t < q; t++)
        if (y[t] != 1.0 && y[t] != -1.0) return false;
    return true;
}

bool bounds_valid(const double* C, int q)
{
    for (int t = 0; t < q; t++)
        if (!(C[t] > 0.0) || !std::isfinite(C[t])) return false;
    return true;
}

bool start_in_box(const double* alpha, const double* C, int q)
{
    for (int t = 0; t < q; t++)
        if (!(alpha[t] >= 0.0 && alpha[t] <= C[t])) return false;
    return true;
}

}  // namespace

extern "C" GKM_API const char* gkm_smo_check(int q, const double* K, const double* y, const double* C,
                                             const double* alpha, const double* grad, double eps, long max_iter)
{
    if (q < 0) return "q < 0";
    if (q > 0 && (!K || !y || !C || !alpha || !grad)) return "K, y, C, alpha and grad must not be null";
    if (!(eps >= 0.0)) return "eps must be non-negative";
    if (max_iter < 0) return "max_iter must be non-negative";
    if (!labels_valid(y, q)) return "y must hold only +1 and -1";
    // Infinite bounds would turn the clipping's C_i - C_j into NaN.
    if (!bounds_valid(C, q)) return "C must be finite and positive";
    if (!start_in_box(alpha, C, q)) return "alpha must lie within [0, C]";
    if (!finite_all(grad, (size_t)q)) return "grad must be finite";
    if (!finite_all(K, (size_t)q * (size_t)q)) return "K must be finite";
    return nullptr;
}

extern "C" GKM_API long gkm_smo_solve(int q, const double* K, const double* y, const double* C, double* alpha,
                                      double* grad, double eps, long max_iter)
{
    if (gkm_smo_check(q, K, y, C, alpha, grad, eps, max_iter)) return -1;
    const smo_problem p{q, K, y, C, alpha, grad};
    long iter = 0;
    int i, j;
    while (iter < max_iter && select_working_set(p, eps, &i, &j)) {
        const double old_i = alpha[i], old_j = alpha[j];
        update_pair(p, i, j);
        update_gradient(p, i, j, alpha[i] - old_i, alpha[j] - old_j);
        iter++;
    }
    return iter;
}
