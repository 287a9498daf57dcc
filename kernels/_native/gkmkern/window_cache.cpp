// The window tree cache: the reference side of cross-window evaluation (runs
// of windows with their references' L-mers indexed, and every reference
// window's norm), prepared once per (references, geometry) and searched by
// any number of queries.
#include "gkm_internal.h"

#include <cstring>

struct gkm_window_tree_cache_t {
    window_geometry g;
    int n_ref;
    std::vector<window_run> runs;
    std::vector<double> ref_norms;
    // What the runs were built from. A query must come from a kernel that
    // searches and weighs them the same way and have the references' length;
    // matches() compares the references themselves.
    int L, d, use_rc;
    double weights[GKM_N_WEIGHTS];
    std::vector<uint8_t> ref_bases;  // n_ref x seqlen
};

namespace {

window_job cache_job(const gkm_kernel_base_t* base, const gkm_window_tree_cache_t* cache,
                     const gkm_sequence_t* const* queries, int n_q, const gkm_sequence_t* const* refs)
{
    return window_job{base, nullptr, &cache->g, {queries, n_q}, {refs, cache->n_ref}};
}

bool searches_like(const gkm_kernel_base_t* base, const gkm_window_tree_cache_t* cache)
{
    return base->param.L == cache->L && base->param.d == cache->d && base->param.use_rc == cache->use_rc &&
           memcmp(base->weights, cache->weights, sizeof cache->weights) == 0;
}

// Base i of a reference, 4 where masked so that it differs from any base.
uint8_t base_or_mask(const gkm_sequence_t* s, int i) { return (s->masked && s->masked[i]) ? 4 : s->seq[i]; }

void copy_bases(const gkm_sequence_t* s, uint8_t* out)
{
    for (int i = 0; i < s->seqlen; i++) out[i] = base_or_mask(s, i);
}

// Compared base by base in place: a check that allocates cannot fail for want of memory.
bool same_references(const gkm_window_tree_cache_t* cache, const gkm_sequence_t* const* refs, int n_ref)
{
    const int len = cache->g.seqlen;
    if (!refs || n_ref != cache->n_ref || !all_have_length(refs, n_ref, len)) return false;
    for (int j = 0; j < n_ref; j++) {
        const uint8_t* kept = cache->ref_bases.data() + (size_t)j * len;
        for (int i = 0; i < len; i++)
            if (base_or_mask(refs[j], i) != kept[i]) return false;
    }
    return true;
}

}  // namespace

extern "C" gkm_window_tree_cache_t* gkm_window_tree_cache_build(const gkm_kernel_t* kernel,
                                                                const gkm_sequence_t* const* refs, int n_ref,
                                                                int window, int shift, int pad_left,
                                                                int pad_right)
{
    using cache_t = gkm_window_tree_cache_t;
    if (!kernel || !refs || n_ref <= 0 || !refs[0]) return fail_null<cache_t>(GKM_EINVAL);
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L;
    const int seqlen = refs[0]->seqlen;
    if (!window_geometry_ok(window, shift, pad_left, pad_right, L) || !all_have_length(refs, n_ref, seqlen) ||
        !all_fit_base(base, refs, n_ref))
        return fail_null<cache_t>(GKM_EINVAL);
    size_t n_norms, n_bases;
    const int n_valid = gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L);
    if (n_valid <= 0) return fail_null<cache_t>(GKM_EINVAL);
    if (!doubles_fit(n_valid, n_ref, 1, &n_norms) || !checked_size(n_ref, seqlen, &n_bases))
        return fail_null<cache_t>(GKM_ENOMEM);
    return create_safely([&] {
        std::unique_ptr<gkm_window_tree_cache_t> cache(new gkm_window_tree_cache_t());
        make_window_geometry(cache->g, seqlen, window, shift, pad_left, pad_right, L);
        cache->n_ref = n_ref;
        cache->L = L;
        cache->d = base->param.d;
        cache->use_rc = base->param.use_rc;
        memcpy(cache->weights, base->weights, sizeof cache->weights);
        cache->ref_bases.resize(n_bases);
        for (int j = 0; j < n_ref; j++) copy_bases(refs[j], cache->ref_bases.data() + (size_t)j * seqlen);
        const window_job job = cache_job(base, cache.get(), nullptr, 0, refs);
        cache->ref_norms.resize(n_norms);
        window_norms(job, job.refs, cache->ref_norms.data());
        cache->runs = plan_window_runs(job);
        std::vector<window_run>& runs = cache->runs;
        parallel_with_scratch(team_size(base, runs.size()), make_no_scratch, [&](no_scratch&, region_failure& failure) {
#pragma omp for schedule(dynamic, 1)
            for (size_t r = 0; r < runs.size(); r++) failure.guard([&] { index_window_run(job, runs[r]); });
        });
        return cache.release();
    });
}

extern "C" int gkm_window_tree_cache_query(const gkm_kernel_t* kernel, const gkm_window_tree_cache_t* cache,
                                           const gkm_sequence_t* const* queries, int n_q, double* out)
{
    if (!kernel || !cache || !queries || !out || n_q <= 0) return fail(GKM_EINVAL);
    const gkm_kernel_base_t* base = &kernel->base;
    // Queries of the references' length are cut into exactly the build's windows.
    if (!searches_like(base, cache) || !all_have_length(queries, n_q, cache->g.seqlen) ||
        !all_fit_base(base, queries, n_q))
        return fail(GKM_EINVAL);
    size_t n_out, n_norms;
    if (!doubles_fit(cache->g.count(), n_q, cache->n_ref, &n_out) || !doubles_fit(cache->g.count(), n_q, 1, &n_norms))
        return fail(GKM_ENOMEM);
    // Runs that finished before one failed leave no partial matrices behind.
    return fail_zeroing(out, n_out, [&] {
        std::vector<double> q_norms(n_norms);
        const window_job job = cache_job(base, cache, queries, n_q, nullptr);
        window_norms(job, job.queries, q_norms.data());
        const std::vector<window_run>& runs = cache->runs;
        parallel_with_scratch(team_size(base, runs.size()), make_no_scratch, [&](no_scratch&, region_failure& failure) {
#pragma omp for schedule(dynamic, 1)
            for (size_t r = 0; r < runs.size(); r++)
                failure.guard([&] { eval_window_run(job, runs[r], q_norms.data(), cache->ref_norms.data(), out); });
        });
        return 0;
    });
}

extern "C" int gkm_window_tree_cache_matches(const gkm_window_tree_cache_t* cache,
                                             const gkm_sequence_t* const* refs, int n_ref, int window, int shift,
                                             int pad_left, int pad_right)
{
    if (!cache) return 0;
    const window_geometry& g = cache->g;
    const bool same_geometry =
        window == g.window && shift == g.shift && pad_left == g.pad_left && pad_right == g.pad_right;
    return same_geometry && same_references(cache, refs, n_ref) ? 1 : 0;
}

extern "C" void gkm_window_tree_cache_destroy(gkm_window_tree_cache_t* cache) { delete cache; }
