// The records of the two kernel kinds.
#ifndef GKM_KERNELS_H
#define GKM_KERNELS_H

#include "lmer_index.h"

// The regular kernel: a base plus the counting index of its references.
struct gkm_kernel_t {
    gkm_kernel_base_t base;
    lmer_index<lmer_counts>* index;  // every stored reference; null until finalised
};

// The weighted kernel: a base plus the positional profile every L-mer is weighed by.
struct gkm_weighted_kernel_t {
    gkm_kernel_base_t base;
    gkm_pos_kernel_t pos_kernel;
    double weight_gamma;
    double weight_sigma;
    double weight_peak;
};

#endif  // GKM_KERNELS_H
