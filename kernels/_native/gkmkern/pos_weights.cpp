// Positional weight arrays of one sequence (or window) for one centre.
#include "gkm_internal.h"

void compute_pos_weights_for_seq(int nkmers, int L, double center, gkm_pos_kernel_t pos_kernel, double gamma,
                                 double sigma, double peak, double* wt, double* wt_rc)
{
    if (nkmers <= 0) return;
    with_pos_kernel(pos_kernel, [&](auto kind) {
        for (int j = 0; j < nkmers; j++) wt[j] = lmer_pos_weight(j, L, center, kind, gamma, sigma, peak);
    });
    // A reverse-complement L-mer covers the bases of the forward L-mer mirrored
    // to it, so it takes that L-mer's position and weight.
    for (int i = 0; i < nkmers; i++) wt_rc[i] = wt[nkmers - 1 - i];
}
