// Positional weights: an L-mer's weight around a centre, for sequences and
// for windows.
#ifndef GKM_POS_WEIGHTS_H
#define GKM_POS_WEIGHTS_H

#include "windows.h"

#include <type_traits>

// wt[j]: weight of the L-mer starting at j, for j < n, around center. A
// reverse-complement L-mer covers the bases of a forward one and takes its weight.
void pos_weights(const gkm_weighted_kernel_t* kernel, int n, double center, double* wt);

// Positional weight of the L-mer starting at `start`: p(midpoint - center) * peak.
// The weight arrays, the self-norms and the searches all form it here, so a
// sequence scored against itself normalises to 1.
template <class Kind>
inline double lmer_pos_weight(double start, int L, double center, Kind kind, double gamma, double sigma,
                              double peak)
{
    const double midpoint = start + (L - 1) * 0.5;
    const double dist = midpoint - center;
    return gkm_pos_weight(dist, kind, gamma, sigma) * peak;
}

// Calls f(kind) with the five known kinds as compile-time constants (other
// values, the flat profile, stay runtime), so that inner loops carry no dispatch.
template <class F>
inline void with_pos_kernel(gkm_pos_kernel_t kind, F&& f)
{
    switch (kind) {
    case GKM_POS_TRIANGULAR: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_TRIANGULAR>()); break;
    case GKM_POS_EPANECHNIKOV: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_EPANECHNIKOV>()); break;
    case GKM_POS_GAUSSIAN: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_GAUSSIAN>()); break;
    case GKM_POS_LAPLACIAN: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_LAPLACIAN>()); break;
    case GKM_POS_CAUCHY: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_CAUCHY>()); break;
    default: f(kind); break;
    }
}

// Weights of the eff_len[w] - L + 1 L-mers of window w, from its first,
// around the window's own middle.
void window_pos_weights(const gkm_weighted_kernel_t* kernel, const window_geometry& g, int w, double* wt);

#endif  // GKM_POS_WEIGHTS_H
