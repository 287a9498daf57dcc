// Positional weights of the L-mers of a sequence, or of a window, around one centre.
#include "gkm_internal.h"

namespace {

// Norms and values sum products of two weights over millions of pairs;
// a peak outside this range would overflow them to NaN or underflow them to
// zeros.
constexpr double MIN_SCALING_PEAK = 1e-100, MAX_SCALING_PEAK = 1e100;

// The factor the weights carry. Normalised values do not depend on the peak,
// so one too far from 1 to be carried safely weighs as 1 instead.
double weighing_peak(double peak) { return peak >= MIN_SCALING_PEAK && peak <= MAX_SCALING_PEAK ? peak : 1.0; }

}  // namespace

void pos_weights(const gkm_weighted_kernel_t* kernel, int n, double center, double* wt)
{
    const int L = kernel->base.param.L;
    const double peak = weighing_peak(kernel->weight_peak);
    with_pos_kernel(kernel->pos_kernel, [&](auto kind) {
        for (int j = 0; j < n; j++)
            wt[j] = lmer_pos_weight(j, L, center, kind, kernel->weight_gamma, kernel->weight_sigma, peak);
    });
}

void window_pos_weights(const gkm_weighted_kernel_t* kernel, const window_geometry& g, int w, double* wt)
{
    // The centre is the middle of the nominal window, counted from the first
    // base of the window's clipped part, where its L-mer 0 starts.
    const double center = (double)((int64_t)g.start[w] - g.eff_start[w]) + ((int64_t)g.window - 1) * 0.5;
    pos_weights(kernel, g.eff_len[w] - g.L + 1, center, wt);
}
