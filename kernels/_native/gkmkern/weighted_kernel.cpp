// Weighted kernel: creation, accessors, and the centred evaluations that score
// sequences with every L-mer scaled by its positional weight around a centre.
// Only the bases of a sequence count (and which of them are masked), so a
// sequence encoded for another word length scores as one encoded for this one.
#include "gkm_internal.h"

#include <cmath>

namespace {

// The positional rules, as plain comparisons in this order; a NaN fails every
// one of them, and an infinite gamma or peak would turn weights into NaN.
bool positional_params_valid(const gkm_weighted_params_t* params)
{
    if (!(params->weight_gamma >= 0) || std::isinf(params->weight_gamma)) return false;
    if (std::isnan(params->weight_sigma)) return false;
    if (params->weight_sigma <= 0 && params->pos_kernel != GKM_POS_LAPLACIAN) return false;
    if (!(params->weight_peak > 0) || std::isinf(params->weight_peak)) return false;
    return true;
}

constexpr int POS_BITS = 11;
constexpr uint32_t POS_MASK = (1u << POS_BITS) - 1;
constexpr int MAX_BLOCK = 64;
constexpr size_t BLOCK_BYTES = 8u << 20;

// The weighted profiles of a block of queries against every reference, for
// every centre: values[((q * n_ref + j) * (d + 1) + m) * n_centers + c], each
// matched pair adding the product of its two L-mers' weights at the centre.
class centred_values {
public:
    centred_values(const lmer_index<lmer_positions>& ix, const std::vector<double>& by_position, int n_centers,
                   int n_ref, int d, int block)
        : entries_(ix.entries.data()), by_position_(by_position.data()), n_centers_(n_centers), n_ref_(n_ref),
          d1_(d + 1), values_((size_t)block * n_ref * (d + 1) * n_centers)
    {
    }

    // The block's values: its L-mers searched, every matched pair weighed.
    void search(const lmer_index_nodes& ix, int d, const std::vector<query_lmer>& lmers, search_workspace& ws)
    {
        std::fill(values_.begin(), values_.end(), 0.0);
        search_lmer_entries(ix, entries_, d, lmers.data(), lmers.size(), ws, [&](uint32_t tm, const lmer_entry& e) {
            const uint32_t tag = hit_tag(tm);
            const double* wq = by_position_ + (size_t)(tag & POS_MASK) * n_centers_;
            const double* wr = by_position_ + (size_t)e.value * n_centers_;
            double* v = values_.data() + (((size_t)(tag >> POS_BITS) * n_ref_ + e.id) * d1_ + hit_mismatches(tm)) * n_centers_;
            for (int c = 0; c < n_centers_; c++) v[c] += wq[c] * wr[c];
        });
    }

    double value(const double* weights, int q, int j, int c) const
    {
        const double* v = values_.data() + ((size_t)q * n_ref_ + j) * d1_ * n_centers_ + c;
        return reduce_profile(weights, d1_ - 1, [&](int m) { return v[(size_t)m * n_centers_]; });
    }

private:
    const lmer_entry* entries_;
    const double* by_position_;
    int n_centers_, n_ref_, d1_;
    std::vector<double> values_;
};

// Norms of n sequences at every centre, norms[c * n + i]; weights[c * nk + p].
void centred_norms(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n, int nk,
                   const std::vector<double>& weights, int n_centers, double* norms)
{
    const bool rc = base->param.use_rc != 0;
    int failed = 0;
#pragma omp parallel num_threads(team_size(base, (size_t)n)) reduction(| : failed)
    {
        lmer_span span;
        std::vector<double> per_centre;
#pragma omp for schedule(dynamic, 4)
        for (int i = 0; i < n; i++) {
            try {
                per_centre.resize((size_t)n_centers);
                span.load(seqs[i], base->param.L, 0, nk, rc);
                lmers_self_norms(base, span.fwd.data(), rc ? span.rc.data() : nullptr, nk, weights.data(), n_centers,
                                 per_centre.data());
                for (int c = 0; c < n_centers; c++) norms[(size_t)c * n + i] = per_centre[c];
            } catch (const std::bad_alloc&) {
                failed = 1;
            }
        }
    }
    if (failed) throw std::bad_alloc();
}

// Every query against every reference, for every centre, into
// out[(c * n_q + i) * n_ref + j], the arguments checked. refs may be the
// query list itself (self evaluation); its norms are then computed once.
// -1, or std::bad_alloc, when memory runs out, possibly after some blocks
// were written.
int fill_centred(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q,
                 const gkm_sequence_t* const* refs, int n_ref, const double* centers, int n_centers, int nk,
                 double* out)
{
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L, d = base->param.d;
    const bool self = refs == queries && n_ref == n_q;
    const size_t n_weights = (size_t)n_centers * nk;
    const size_t n_q_norms = (size_t)n_centers * n_q, n_r_norms = (size_t)n_centers * n_ref;

    // Weights by centre for the norms, and by position for the search.
    std::vector<double> by_centre(n_weights), by_position(n_weights);
    for (int c = 0; c < n_centers; c++) pos_weights(kernel, nk, centers[c], by_centre.data() + (size_t)c * nk);
    for (int c = 0; c < n_centers; c++)
        for (int p = 0; p < nk; p++) by_position[(size_t)p * n_centers + c] = by_centre[(size_t)c * nk + p];
    std::vector<double> q_norms(n_q_norms), r_norms(self ? 0 : n_r_norms);
    centred_norms(base, queries, n_q, nk, by_centre, n_centers, q_norms.data());
    if (!self) centred_norms(base, refs, n_ref, nk, by_centre, n_centers, r_norms.data());
    const double* rn = self ? q_norms.data() : r_norms.data();

    lmer_index<lmer_positions> ix;
    {
        std::vector<lmer_record> records;
        for (int j = 0; j < n_ref; j++) append_lmer_records(records, refs[j], j, L, base->param.use_rc, true, 0, nk);
        build_lmer_index(ix, records, L);
    }
    const size_t per_query = (size_t)n_ref * (d + 1) * n_centers * sizeof(double);
    const int block = (int)std::max<size_t>(1, std::min<size_t>(MAX_BLOCK, BLOCK_BYTES / std::max<size_t>(per_query, 1)));
    const int n_blocks = (n_q + block - 1) / block;
    int failed = 0;
#pragma omp parallel num_threads(team_size(base, (size_t)n_blocks)) reduction(| : failed)
    {
        std::unique_ptr<centred_values> values;
        try {
            values.reset(new centred_values(ix, by_position, n_centers, n_ref, d, block));
        } catch (const std::bad_alloc&) {
            failed = 1;
        }
        search_workspace ws;
        std::vector<query_lmer> lmers;
        lmer_span span;
#pragma omp for schedule(dynamic, 1)
        for (int b = 0; b < n_blocks; b++) {
            if (!values) continue;
            const int first = b * block, n = std::min(block, n_q - first);
            try {
                lmers.clear();
                for (int q = 0; q < n; q++) {
                    span.load(queries[first + q], L, 0, nk, false);
                    for (int p = 0; p < nk; p++)
                        if (span.fwd[p] != GKM_NO_LMER) lmers.push_back({span.fwd[p], (uint32_t)q << POS_BITS | (uint32_t)p});
                }
                values->search(ix, d, lmers, ws);
            } catch (const std::bad_alloc&) {
                failed = 1;
                continue;
            }
            // A self matrix takes each unordered pair from the row of its
            // smaller index, so that it is symmetric to the bit.
            for (int c = 0; c < n_centers; c++)
                for (int q = 0; q < n; q++) {
                    const int i = first + q;
                    const double qn = q_norms[(size_t)c * n_q + i];
                    double* block_out = out + (size_t)c * n_q * n_ref;
                    for (int j = self ? i : 0; j < n_ref; j++) {
                        const double v = normalise(values->value(base->weights, q, j, c), qn, rn[(size_t)c * n_ref + j]);
                        block_out[(size_t)i * n_ref + j] = v;
                        if (self) block_out[(size_t)j * n_ref + i] = v;
                    }
                }
        }
    }
    return failed ? -1 : 0;
}

// The same after checking the arguments: -1 with out untouched when they are
// refused, -1 with out all zeros when memory runs out.
int eval_centred(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q,
                 const gkm_sequence_t* const* refs, int n_ref, const double* centers, int n_centers, double* out)
{
    const int L = kernel->base.param.L;
    if (!queries[0]) return -1;
    const int seqlen = queries[0]->seqlen;
    if (seqlen < L || !all_have_length(queries, n_q, seqlen) || !all_have_length(refs, n_ref, seqlen)) return -1;
    const int nk = seqlen - L + 1;
    size_t n_out, n_weights, n_q_norms, n_r_norms;
    if (!doubles_fit(n_centers, n_q, n_ref, &n_out) || !doubles_fit(n_centers, nk, 1, &n_weights) ||
        !doubles_fit(n_centers, n_q, 1, &n_q_norms) || !doubles_fit(n_centers, n_ref, 1, &n_r_norms))
        return -1;
    return fail_zeroing(
        out, n_out, [&] { return fill_centred(kernel, queries, n_q, refs, n_ref, centers, n_centers, nk, out); });
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

GKM_API int gkm_weighted_kernel_eval_self(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* const* seqs,
                                          int n, const double* centers, int n_centers, double* out)
{
    if (!kernel || !seqs || !out || !centers || n <= 0 || n_centers <= 0) return -1;
    return eval_centred(kernel, seqs, n, seqs, n, centers, n_centers, out);
}

GKM_API int gkm_weighted_kernel_eval_cross(const gkm_weighted_kernel_t* kernel,
                                           const gkm_sequence_t* const* queries, int n_q,
                                           const gkm_sequence_t* const* refs, int n_ref, const double* centers,
                                           int n_centers, double* out)
{
    if (!kernel || !queries || !refs || !out || !centers || n_q < 1 || n_ref < 1 || n_centers < 1) return -1;
    return eval_centred(kernel, queries, n_q, refs, n_ref, centers, n_centers, out);
}

}  // extern "C"
