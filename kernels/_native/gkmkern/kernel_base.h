// The kernel base both kernel kinds begin with, the core's limits, and the
// profile reduction and normalisation every kernel value goes through.
#ifndef GKM_KERNEL_BASE_H
#define GKM_KERNEL_BASE_H

#include "gkmkern.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

constexpr int GKM_MAX_L = 12;
constexpr int GKM_MAX_SEQLEN = 2047;
constexpr int GKM_N_WEIGHTS = 13;
constexpr int GKM_MAX_WINDOWS = 1000001;
// Code of an L-mer that covers a masked base: it is searched and stored nowhere.
constexpr uint32_t GKM_NO_LMER = 0xFFFFFFFFu;

struct gkm_kernel_base_t {
    gkm_parameter_t param;
    double weights[GKM_N_WEIGHTS];
    gkm_sequence_t** seqs;
    int32_t n_seqs;
    int32_t cap_seqs;
    int32_t finalized;
};

// Fills a zeroed base; false (nothing left allocated) when memory is exhausted.
bool gkm_kernel_base_init(gkm_kernel_base_t* base, const gkm_parameter_t* param);
void gkm_kernel_base_destroy(gkm_kernel_base_t* base);
void calc_full_weights(gkm_kernel_base_t* base);
void calc_estimated_weights(gkm_kernel_base_t* base, int truncated);
double dCombinations(int n, int r);

// Profile reduction: sum over m = 0..d, in increasing m, of weights[m] * value(m).
template <class ProfileAt>
inline double reduce_profile(const double* weights, int d, ProfileAt value)
{
    double sum = 0.0;
    for (int m = 0; m <= d; m++) sum += value(m) * weights[m];
    return sum;
}

// Every kernel value is normalised this way: one division by the product of the norms.
inline double normalise(double value, double norm_a, double norm_b)
{
    return (norm_a > 0 && norm_b > 0) ? value / (norm_b * norm_a) : 0.0;
}

// Threads worth starting for `items` independent pieces of work.
int team_size(const gkm_kernel_base_t* base, size_t items);

#endif  // GKM_KERNEL_BASE_H
