// The regular kernel: a base plus one tree of every reference L-mer, and the
// (multi-threaded) evaluation of queries against all references.
#include "gkm_internal.h"

#include <cstdlib>
#include <cstring>
#include <omp.h>

namespace {

// Per-thread working storage, reused across the queries a thread takes.
struct query_scratch {
    mismatch_profile prof;
    match_workspace ws;
    query_scratch(const gkm_kernel_base_t* base, int max_nkmers)
        : prof(base->param.d, base->n_seqs), ws(base->param.L, max_nkmers)
    {
    }
};

void normalise_row(const gkm_kernel_t* kernel, double qnorm, double* res)
{
    const gkm_kernel_base_t* base = &kernel->base;
    for (int j = 0; j < base->n_seqs; j++) res[j] = normalise(res[j], qnorm, base->seqs[j]->sqnorm);
}

void zero_fill(double* res, size_t n)
{
    if (n) memset(res, 0, sizeof(double) * n);
}

// false (row zeroed) for a query encoded for another word length: its L-mer
// count would send the walk past the end of its bases.
bool eval_query(const gkm_kernel_t* kernel, const gkm_sequence_t* a, double* res, query_scratch& scratch)
{
    const gkm_kernel_base_t* base = &kernel->base;
    if (!sequence_fits_base(base, a)) {
        zero_fill(res, (size_t)base->n_seqs);
        return false;
    }
    eval_against_tree(base, kernel->prob_tree, a, base->n_seqs, res, scratch.prof, scratch.ws);
    normalise_row(kernel, a->sqnorm, res);
    return true;
}

// More threads than queries or processors cannot help; the results do not
// depend on the team size, so capping it is safe.
int team_size(const gkm_kernel_t* kernel, int n_q)
{
    int n = kernel->base.param.nthreads;
    if (n < 1) n = 1;
    n = std::min(n, std::max(1, omp_get_num_procs()));
    return std::min(n, std::max(1, n_q));
}

}  // namespace

extern "C" gkm_kernel_t* gkm_kernel_create(const gkm_parameter_t* param)
{
    if (!param || gkm_parameter_check(param)) return nullptr;
    auto* kernel = static_cast<gkm_kernel_t*>(calloc(1, sizeof(gkm_kernel_t)));
    if (!kernel) return nullptr;
    if (!gkm_kernel_base_init(&kernel->base, param)) {
        gkm_kernel_base_destroy(&kernel->base);
        free(kernel);
        return nullptr;
    }
    kernel->prob_tree = nullptr;
    return kernel;
}

extern "C" void gkm_kernel_destroy(gkm_kernel_t* kernel)
{
    if (!kernel) return;
    kmer_tree_destroy(kernel->prob_tree);
    gkm_kernel_base_destroy(&kernel->base);
    free(kernel);
}

extern "C" void* gkm_kernel_base(gkm_kernel_t* kernel) { return &kernel->base; }

extern "C" const void* gkm_kernel_base_const(const gkm_kernel_t* kernel) { return &kernel->base; }

extern "C" int gkm_kernel_finalize(gkm_kernel_t* kernel)
{
    gkm_kernel_base_t* base = &kernel->base;
    if (base->finalized) return 0;
    try {
        kmer_tree_ptr tree = kmer_tree_new(base);
        if (!tree) return -1;
        for (int i = 0; i < base->n_seqs; i++)
            if (!kmer_tree_add_sequence(tree.get(), i, base->seqs[i], base->param.use_rc)) return -1;
        kernel->prob_tree = tree.release();
    } catch (const std::bad_alloc&) {
        return -1;
    }
    base->finalized = 1;
    return 0;
}

extern "C" int gkm_kernel_eval_all(const gkm_kernel_t* kernel, const gkm_sequence_t* a, double* res)
{
    const int n = kernel->base.n_seqs;
    if (!kernel->prob_tree) {
        zero_fill(res, (size_t)n);
        return 0;
    }
    try {
        query_scratch scratch(&kernel->base, a->nkmers);
        if (!eval_query(kernel, a, res, scratch)) return -1;
    } catch (const std::bad_alloc&) {
        zero_fill(res, (size_t)n);
        return -1;
    }
    return 0;
}

extern "C" int gkm_kernel_eval_batch(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q,
                                     double* res)
{
    const int n_ref = kernel->base.n_seqs;
    if (n_q <= 0) return 0;
    if (!kernel->prob_tree) {
        zero_fill(res, (size_t)n_q * (size_t)n_ref);
        return 0;
    }
    int max_nkmers = 1;
    for (int i = 0; i < n_q; i++) max_nkmers = std::max(max_nkmers, queries[i]->nkmers);

    int failed = 0;
#pragma omp parallel num_threads(team_size(kernel, n_q)) reduction(| : failed)
    {
        std::unique_ptr<query_scratch> scratch;
        try {
            scratch.reset(new query_scratch(&kernel->base, max_nkmers));
        } catch (const std::bad_alloc&) {
            failed = 1;
        }
#pragma omp for schedule(dynamic, 1)
        for (int i = 0; i < n_q; i++) {
            double* row = res + (size_t)i * (size_t)n_ref;
            if (!scratch || !eval_query(kernel, queries[i], row, *scratch)) {
                zero_fill(row, (size_t)n_ref);
                failed = 1;
            }
        }
    }
    return failed ? -1 : 0;
}

extern "C" int gkm_kernel_eval_gram(const gkm_kernel_t* kernel, double* out)
{
    if (!kernel || !out || !kernel->prob_tree) return -1;
    const gkm_kernel_base_t* base = &kernel->base;
    return gkm_kernel_eval_batch(kernel, base->seqs, base->n_seqs, out);
}
