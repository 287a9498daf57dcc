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

// The weighted profiles of a block of queries against every reference, for
// every centre: values[((q * n_ref + j) * (d + 1) + m) * n_centers + c], each
// matched pair adding the product of its two L-mers' weights at the centre.
class centred_values {
public:
    centred_values(const lmer_index<lmer_positions>& ix, const std::vector<double>& by_position, int n_centers,
                   int n_ref, int d, int block)
        : entries_(ix.entries.data()), by_position_(by_position.data()), n_centers_(n_centers), n_ref_(n_ref),
          n_classes_(d + 1), values_((size_t)block * n_ref * (d + 1) * n_centers)
    {
    }

    // The block's values: its L-mers searched, every matched pair weighed.
    void search(const lmer_index_nodes& ix, int d, const std::vector<query_lmer>& lmers, search_workspace& ws)
    {
        std::fill(values_.begin(), values_.end(), 0.0);
        search_lmer_entries(ix, entries_, d, lmers.data(), lmers.size(), ws, [&](uint32_t tagged, const lmer_entry& e) {
            const uint32_t tag = hit_tag(tagged);
            const double* wq = by_position_ + (size_t)tag_start(tag) * n_centers_;
            const double* wr = by_position_ + (size_t)e.value * n_centers_;
            double* v = values_.data() +
                        (((size_t)tag_query(tag) * n_ref_ + e.id) * n_classes_ + hit_mismatches(tagged)) * n_centers_;
            for (int c = 0; c < n_centers_; c++) v[c] += wq[c] * wr[c];
        });
    }

    double value(const double* weights, int q, int j, int c) const
    {
        const double* v = values_.data() + ((size_t)q * n_ref_ + j) * n_classes_ * n_centers_ + c;
        return reduce_profile(weights, n_classes_ - 1, [&](int m) { return v[(size_t)m * n_centers_]; });
    }

private:
    const lmer_entry* entries_;
    const double* by_position_;
    int n_centers_, n_ref_;
    int n_classes_;  // mismatch classes 0..d
    std::vector<double> values_;
};

// Per-thread storage of centred norms.
struct norm_scratch {
    lmer_span span;
    std::vector<double> per_centre;
};

// Norms of n sequences at every centre, norms[c * n + i]; weights[c * nk + p].
// Throws std::bad_alloc.
void centred_norms(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n, int nk,
                   const std::vector<double>& weights, int n_centers, double* norms)
{
    const bool rc = base->param.use_rc != 0;
    const auto make = [] { return norm_scratch(); };
    parallel_with_scratch(team_size(base, (size_t)n), make, [&](norm_scratch& s, region_failure& failure) {
#pragma omp for schedule(dynamic, 4)
        for (int i = 0; i < n; i++) {
            failure.guard([&] {
                s.per_centre.resize((size_t)n_centers);
                s.span.load(seqs[i], base->param.L, 0, nk, rc);
                lmers_self_norms(base, s.span.fwd.data(), rc ? s.span.rc.data() : nullptr, nk, weights.data(),
                                 n_centers, s.per_centre.data());
                for (int c = 0; c < n_centers; c++) norms[(size_t)c * n + i] = s.per_centre[c];
            });
        }
    });
}

// Per-thread storage of centred searches.
struct centred_scratch {
    centred_values values;
    search_workspace ws;
    std::vector<query_lmer> lmers;
    lmer_span span;
};

// Every query against every reference, for every centre, into
// out[(c * n_q + i) * n_ref + j], the arguments checked. refs may be the
// query list itself (self evaluation); its norms are then computed once.
// Throws std::bad_alloc when memory runs out, possibly after some blocks
// were written.
void fill_centred(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q,
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
    const int block = (int)items_within(BLOCK_VALUES_BYTES, per_query, MAX_BLOCK_QUERIES);
    const int n_blocks = (n_q + block - 1) / block;
    const auto make = [&] {
        return std::unique_ptr<centred_scratch>(
            new centred_scratch{centred_values(ix, by_position, n_centers, n_ref, d, block), {}, {}, {}});
    };
    parallel_with_scratch(team_size(base, (size_t)n_blocks), make, [&](auto& s, region_failure& failure) {
#pragma omp for schedule(dynamic, 1)
        for (int b = 0; b < n_blocks; b++) {
            failure.guard([&] {
                const int first = b * block, n = std::min(block, n_q - first);
                s->lmers.clear();
                for (int q = 0; q < n; q++) {
                    s->span.load(queries[first + q], L, 0, nk, false);
                    for (int p = 0; p < nk; p++)
                        if (s->span.fwd[p] != GKM_NO_LMER) s->lmers.push_back({s->span.fwd[p], position_tag(q, p)});
                }
                s->values.search(ix, d, s->lmers, s->ws);
                for (int c = 0; c < n_centers; c++)
                    for (int q = 0; q < n; q++) {
                        const int i = first + q;
                        const double qn = q_norms[(size_t)c * n_q + i];
                        double* matrix = out + (size_t)c * n_q * n_ref;
                        for (int j = first_column(i, self); j < n_ref; j++) {
                            const double v =
                                normalise(s->values.value(base->weights, q, j, c), qn, rn[(size_t)c * n_ref + j]);
                            write_pair(matrix, (size_t)n_ref, (size_t)i, (size_t)j, v, self);
                        }
                    }
            });
        }
    });
}

// The same after checking the arguments: -1 with out untouched when they are
// refused, -1 with out all zeros when memory runs out.
int eval_centred(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q,
                 const gkm_sequence_t* const* refs, int n_ref, const double* centers, int n_centers, double* out)
{
    const int L = kernel->base.param.L;
    if (!queries[0]) return fail(GKM_EINVAL);
    const int seqlen = queries[0]->seqlen;
    if (seqlen < L || !all_have_length(queries, n_q, seqlen) || !all_have_length(refs, n_ref, seqlen))
        return fail(GKM_EINVAL);
    const int nk = seqlen - L + 1;
    size_t n_out, n_weights, n_q_norms, n_r_norms;
    if (!doubles_fit(n_centers, n_q, n_ref, &n_out) || !doubles_fit(n_centers, nk, 1, &n_weights) ||
        !doubles_fit(n_centers, n_q, 1, &n_q_norms) || !doubles_fit(n_centers, n_ref, 1, &n_r_norms))
        return fail(GKM_ENOMEM);
    return fail_zeroing(out, n_out, [&] {
        fill_centred(kernel, queries, n_q, refs, n_ref, centers, n_centers, nk, out);
        return 0;
    });
}

}  // namespace

extern "C" {

GKM_API gkm_weighted_kernel_t* gkm_weighted_kernel_create(const gkm_weighted_params_t* params)
{
    if (!params || gkm_parameter_check(&params->base) || !positional_params_valid(params))
        return fail_null<gkm_weighted_kernel_t>(GKM_EINVAL);
    return create_safely([&] {
        std::unique_ptr<gkm_weighted_kernel_t> kernel(new gkm_weighted_kernel_t());
        if (!gkm_kernel_base_init(&kernel->base, &params->base)) return fail_null<gkm_weighted_kernel_t>(GKM_ENOMEM);
        kernel->pos_kernel = params->pos_kernel;
        kernel->weight_gamma = params->weight_gamma;
        kernel->weight_sigma = params->weight_sigma;
        kernel->weight_peak = params->weight_peak;
        return kernel.release();
    });
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
    if (!kernel || !seqs || !out || !centers || n <= 0 || n_centers <= 0) return fail(GKM_EINVAL);
    return eval_centred(kernel, seqs, n, seqs, n, centers, n_centers, out);
}

GKM_API int gkm_weighted_kernel_eval_cross(const gkm_weighted_kernel_t* kernel,
                                           const gkm_sequence_t* const* queries, int n_q,
                                           const gkm_sequence_t* const* refs, int n_ref, const double* centers,
                                           int n_centers, double* out)
{
    if (!kernel || !queries || !refs || !out || !centers || n_q < 1 || n_ref < 1 || n_centers < 1)
        return fail(GKM_EINVAL);
    return eval_centred(kernel, queries, n_q, refs, n_ref, centers, n_centers, out);
}

}  // extern "C"
