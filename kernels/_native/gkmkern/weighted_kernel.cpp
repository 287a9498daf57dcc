// Weighted kernel: creation, accessors, and the centred evaluations that score
// sequences with every L-mer scaled by its positional weight around a centre.
#include "gkm_internal.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

// The three positional rules, as plain comparisons in this order.
bool positional_params_valid(const gkm_weighted_params_t* params)
{
    if (params->weight_gamma < 0) return false;
    if (params->weight_sigma <= 0 && params->pos_kernel != GKM_POS_LAPLACIAN) return false;
    if (params->weight_peak <= 0) return false;
    return true;
}

// Positional profile of one kernel: kind and shape parameters.
struct pos_profile_t {
    gkm_pos_kernel_t kind;
    double gamma;
    double sigma;
    double peak;
};

pos_profile_t kernel_profile(const gkm_weighted_kernel_t* kernel)
{
    return {kernel->pos_kernel, kernel->weight_gamma, kernel->weight_sigma, kernel->weight_peak};
}

// Leaf step of the multi-centre search: every stored occurrence matched by a
// query L-mer adds w_c(query) * w_c(occurrence) to its profile cell, once per
// centre; both weights come from the L-mers' start positions.
template <class Kind>
struct centred_leaf_visitor {
    const uint8_t* query_seq;
    int L;
    int last_seqid;
    size_t n;            // row length: references
    size_t centre_block; // (d + 1) * n
    int n_centers;
    const double* centers;
    Kind kind;
    pos_profile_t profile;
    double* mmprof_multi;

    void operator()(const kmer_leaf_t& leaf, const base_mismatch_count_t& e, int m) const
    {
        // bid has moved L - 1 bases past the query L-mer's start by the leaf level.
        ptrdiff_t q_offset = (e.bid - query_seq) - (L - 1);
        if (q_offset < 0) q_offset = 0;
        // Centre by centre: every cell still receives its terms in the stored
        // order of the entries, and the query weight is formed once per centre.
        double* row = mmprof_multi + (size_t)m * n;
        for (int c = 0; c < n_centers; c++, row += centre_block) {
            const double q_w = lmer_pos_weight((double)q_offset, L, centers[c], kind, profile.gamma, profile.sigma,
                                               profile.peak);
            for (int k = 0; k < leaf.count; k++) {
                const kmer_leaf_offset_t& entry = leaf.odata[k];
                if (entry.seqid >= last_seqid) continue;
                const double t_w = lmer_pos_weight(entry.offset, L, centers[c], kind, profile.gamma, profile.sigma,
                                                   profile.peak);
                row[entry.seqid] += q_w * t_w;
            }
        }
    }
};

// Adds, for every centre, the weighted mismatch profile of one query against
// the offset tree into mmprof_multi[c][m][seqid] (n_centers x (d + 1) x n).
void kmer_tree_dfs_weighted_multi(const kmer_tree_t* tree, int last_seqid, const base_mismatch_count_t* matching,
                                  int n_matching, match_workspace& ws, double* mmprof_multi, int n_centers,
                                  const double* centers, const uint8_t* query_seq, const pos_profile_t& profile,
                                  int n)
{
    with_pos_kernel(profile.kind, [&](auto kind) {
        centred_leaf_visitor<decltype(kind)> visit{query_seq,
                                                   tree->L,
                                                   last_seqid,
                                                   (size_t)n,
                                                   (size_t)(tree->d + 1) * (size_t)n,
                                                   n_centers,
                                                   centers,
                                                   kind,
                                                   profile,
                                                   mmprof_multi};
        kmer_tree_walk(tree, last_seqid, 0, 0, matching, n_matching, ws, visit);
    });
}

// Weighted self-norms of n equal-length sequences at every centre, element
// c * n + i. Every sequence shares the weight arrays of a centre because the
// weights depend only on the L-mer positions.
void compute_centred_norms(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n, int nkmers,
                           const double* centers, int n_centers, const pos_profile_t& profile,
                           std::vector<double>& wt, std::vector<double>& wt_rc, double* norms)
{
    for (int c = 0; c < n_centers; c++) {
        compute_pos_weights_for_seq(nkmers, base->param.L, centers[c], profile.kind, profile.gamma, profile.sigma,
                                    profile.peak, wt.data(), wt_rc.data());
        // Whole-sequence views take their L-mer count from the kernel's L, so
        // a sequence encoded for another word length stays within its bases.
        const window_slice whole{0, nkmers + base->param.L - 1, wt.data(), wt_rc.data()};
        window_view_norms(base, seqs, n, whole, norms + (size_t)c * n);
    }
}

// Every query against every reference, for every centre, into
// out[c][i][j] = out[(c * n_q + i) * n_ref + j]. refs may be the query list
// itself (self evaluation); its norms are then computed once. All working
// memory is obtained before out is first written, so a failure leaves out
// untouched.
int eval_centred(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q,
                 const gkm_sequence_t* const* refs, int n_ref, const double* centers, int n_centers, double* out)
{
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L;
    const int d = base->param.d;
    if (!queries[0]) return -1;
    const int seqlen = queries[0]->seqlen;
    if (seqlen < L || !all_have_length(queries, n_q, seqlen) || !all_have_length(refs, n_ref, seqlen)) return -1;
    const int nkmers = seqlen - L + 1;
    const bool self = refs == queries && n_ref == n_q;

    // out_size is only checked: every index into the caller's buffer must be representable.
    size_t out_size, prof_size, q_norm_size, r_norm_size;
    if (!checked_size3(n_centers, n_q, n_ref, &out_size) || !checked_size3(n_centers, d + 1, n_ref, &prof_size) ||
        !checked_size(n_centers, n_q, &q_norm_size) || !checked_size(n_centers, n_ref, &r_norm_size))
        return -1;

    kmer_tree_ptr tree = kmer_tree_new(base);
    if (!tree) return -1;
    for (int j = 0; j < n_ref; j++) {
        gkm_sequence_t view;
        make_window_view(base, refs[j], 0, seqlen, &view);
        if (!kmer_tree_add_sequence_offsets(tree.get(), j, &view, base->param.use_rc)) return -1;
    }

    const pos_profile_t profile = kernel_profile(kernel);
    std::vector<double> wt(nkmers), wt_rc(nkmers);
    std::vector<double> query_norms(q_norm_size);
    std::vector<double> ref_norms(self ? 0 : r_norm_size);
    std::vector<double> mmprof_multi(prof_size);
    match_workspace ws(L, nkmers);

    compute_centred_norms(base, queries, n_q, nkmers, centers, n_centers, profile, wt, wt_rc, query_norms.data());
    if (!self)
        compute_centred_norms(base, refs, n_ref, nkmers, centers, n_centers, profile, wt, wt_rc, ref_norms.data());
    const double* r_norms = self ? query_norms.data() : ref_norms.data();

    const size_t centre_block = (size_t)(d + 1) * n_ref;
    for (int i = 0; i < n_q; i++) {
        const uint8_t* query_seq = queries[i]->seq;
        const int n_matching = ws.fill(query_seq, nkmers, nullptr);
        std::fill(mmprof_multi.begin(), mmprof_multi.end(), 0.0);
        kmer_tree_dfs_weighted_multi(tree.get(), n_ref, ws.initial(), n_matching, ws, mmprof_multi.data(),
                                     n_centers, centers, query_seq, profile, n_ref);
        for (int c = 0; c < n_centers; c++) {
            const double* prof = mmprof_multi.data() + (size_t)c * centre_block;
            const double i_norm = query_norms[(size_t)c * n_q + i];
            double* out_row = out + ((size_t)c * n_q + i) * n_ref;
            for (int j = 0; j < n_ref; j++) {
                const double sum = reduce_profile(base->weights, d, [&](int m) { return prof[(size_t)m * n_ref + j]; });
                out_row[j] = normalise(sum, i_norm, r_norms[(size_t)c * n_ref + j]);
            }
        }
    }
    return 0;
}

// Runs an evaluation; exhausted memory, or a size beyond what a vector can
// hold, becomes the -1 failure.
template <class Eval>
int fail_safely(Eval eval)
{
    try {
        return eval();
    } catch (const std::bad_alloc&) {
        return -1;
    } catch (const std::length_error&) {
        return -1;
    }
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
    return fail_safely([&] { return eval_centred(kernel, seqs, n, seqs, n, centers, n_centers, out); });
}

GKM_API int gkm_weighted_kernel_eval_cross(const gkm_weighted_kernel_t* kernel,
                                           const gkm_sequence_t* const* queries, int n_q,
                                           const gkm_sequence_t* const* refs, int n_ref, const double* centers,
                                           int n_centers, double* out)
{
    if (!kernel || !queries || !refs || !out || !centers || n_q < 1 || n_ref < 1 || n_centers < 1) return -1;
    return fail_safely([&] { return eval_centred(kernel, queries, n_q, refs, n_ref, centers, n_centers, out); });
}

}  // extern "C"
