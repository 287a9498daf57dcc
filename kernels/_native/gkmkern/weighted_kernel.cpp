// Weighted kernel: creation, accessors, and the centred evaluations that score
// sequences with every L-mer scaled by its positional weight around a centre.
#include "gkm_internal.h"

#include <memory>
#include <new>

namespace {

// The three positional rules, as plain comparisons in this order.
bool positional_params_valid(const gkm_weighted_params_t* params)
{
    if (params->weight_gamma < 0) return false;
    if (params->weight_sigma <= 0 && params->pos_kernel != GKM_POS_LAPLACIAN) return false;
    if (params->weight_peak <= 0) return false;
    return true;
}

}  // namespace

extern "C" {

GKM_API gkm_weighted_kernel_t* gkm_weighted_kernel_create(const gkm_weighted_params_t* params)
{
    if (!params || gkm_parameter_check(&params->base)) return nullptr;
    if (!positional_params_valid(params)) return nullptr;
    try {
        std::unique_ptr<gkm_weighted_kernel_t> kernel(new gkm_weighted_kernel_t());
        if (!gkm_kernel_base_init(&kernel->base, &params->base)) return nullptr;
        kernel->pos_kernel = params->pos_kernel;
        kernel->weight_gamma = params->weight_gamma;
        kernel->weight_sigma = params->weight_sigma;
        kernel->weight_peak = params->weight_peak;
        return kernel.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

GKM_API void gkm_weighted_kernel_destroy(gkm_weighted_kernel_t* kernel)
{
    if (!kernel) return;
    gkm_kernel_base_destroy(&kernel->base);
    delete kernel;
}

GKM_API void* gkm_weighted_kernel_base(gkm_weighted_kernel_t* kernel) { return kernel ? &kernel->base : nullptr; }

GKM_API const void* gkm_weighted_kernel_base_const(const gkm_weighted_kernel_t* kernel)
{
    return kernel ? &kernel->base : nullptr;
}

GKM_API gkm_pos_kernel_t gkm_weighted_kernel_pos_kernel(const gkm_weighted_kernel_t* kernel)
{
    return kernel->pos_kernel;
}

GKM_API double gkm_weighted_kernel_gamma(const gkm_weighted_kernel_t* kernel) { return kernel->weight_gamma; }

GKM_API double gkm_weighted_kernel_sigma(const gkm_weighted_kernel_t* kernel) { return kernel->weight_sigma; }

GKM_API double gkm_weighted_kernel_peak(const gkm_weighted_kernel_t* kernel) { return kernel->weight_peak; }

}  // extern "C"
