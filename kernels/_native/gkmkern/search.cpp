// The mismatch-profile search: one query's L-mers against every reference of
// a k-mer tree in a single depth-first walk.
#include "gkm_internal.h"

match_workspace::match_workspace(int L, int nkmers)
    : buf_((size_t)L * (size_t)(nkmers > 0 ? nkmers : 1)), stride_((size_t)(nkmers > 0 ? nkmers : 1))
{
}

int match_workspace::fill(const uint8_t* seq, int nkmers, const double* wt)
{
    base_mismatch_count_t* list = initial();
    for (int j = 0; j < nkmers; j++) list[j] = {seq + j, wt ? wt[j] : 1.0, 0};
    return nkmers;
}

void kmer_tree_dfs(const kmer_tree_t* tree, int last_seqid, const base_mismatch_count_t* matching,
                   int n_matching, match_workspace& ws, double** mmprof)
{
    auto add_entries = [&](const kmer_leaf_t& leaf, const base_mismatch_count_t& e, int m) {
        double* row = mmprof[m];
        for (int i = 0; i < leaf.count; i++) {
            const kmer_leaf_data_t& entry = leaf.data[i];
            if (entry.seqid < last_seqid) row[entry.seqid] += entry.wt * e.wt;
        }
    };
    kmer_tree_walk(tree, last_seqid, 0, 0, matching, n_matching, ws, add_entries);
}

mismatch_profile::mismatch_profile(int d, int n)
    : d_(d), n_((size_t)(n > 0 ? n : 0)), cells_((size_t)(d + 1) * n_), rows_((size_t)(d + 1))
{
    for (int m = 0; m <= d; m++) rows_[m] = cells_.data() + (size_t)m * n_;
}

void mismatch_profile::clear() { std::fill(cells_.begin(), cells_.end(), 0.0); }

double mismatch_profile::reduce(const double* weights, int j) const
{
    return reduce_profile(weights, d_, [&](int m) { return cells_[(size_t)m * n_ + j]; });
}

void eval_against_tree(const gkm_kernel_base_t* base, const kmer_tree_t* tree, const gkm_sequence_t* a,
                       int n_refs, double* res, mismatch_profile& prof, match_workspace& ws)
{
    const int n = ws.fill(a->seq, a->nkmers, a->wt);
    prof.clear();
    kmer_tree_dfs(tree, n_refs, ws.initial(), n, ws, prof.rows());
    for (int j = 0; j < n_refs; j++) res[j] = prof.reduce(base->weights, j);
}
