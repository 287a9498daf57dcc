// The window tree cache: the reference side of cross-window evaluation,
// indexed once per (references, geometry) and searched by any number of queries.
#include "gkm_internal.h"

#include <cstring>

struct gkm_window_tree_cache_t {
    int n_valid;
    int n_ref;
    int window;
    int shift;
    int pad_left;
    int pad_right;
    std::vector<kmer_tree_ptr> trees;
    std::vector<double> ref_sqnorms;
    int L;
    int d;
    // What the trees were built from. A query must come from a kernel that
    // walks and weighs them the same way and have the references' length;
    // matches() compares the references themselves.
    int use_rc;
    double weights[GKM_N_WEIGHTS];
    int seqlen;
    std::vector<uint8_t> ref_bases;  // n_ref x seqlen forward bases
};

namespace {

struct cache_build_state_t {
    const gkm_kernel_base_t* base;
    const gkm_sequence_t* const* refs;
    int n_ref;
    gkm_window_tree_cache_t* cache;
};

struct cache_query_state_t {
    const gkm_kernel_base_t* base;
    const gkm_sequence_t* const* queries;
    int n_q;
    double* out;
    double* q_sqnorms;
    window_search_scratch* scratch;
    const gkm_window_tree_cache_t* cache;
};

void cb_cache_build(int w_idx, int, int eff_start, int eff_len, void* user_data)
{
    auto* st = static_cast<cache_build_state_t*>(user_data);
    const window_slice slice{eff_start, eff_len};
    gkm_window_tree_cache_t* cache = st->cache;
    cache->trees.push_back(build_window_tree(st->base, st->refs, st->n_ref, slice));
    window_view_norms(st->base, st->refs, st->n_ref, slice, cache->ref_sqnorms.data() + (size_t)w_idx * st->n_ref);
}

void cb_cache_query(int w_idx, int, int eff_start, int eff_len, void* user_data)
{
    auto* st = static_cast<cache_query_state_t*>(user_data);
    const gkm_window_tree_cache_t* cache = st->cache;
    const window_slice slice{eff_start, eff_len};
    const size_t n_ref = (size_t)cache->n_ref;
    window_view_norms(st->base, st->queries, st->n_q, slice, st->q_sqnorms);
    search_window_tree(st->base, cache->trees[w_idx].get(), slice, st->queries, st->n_q, st->q_sqnorms,
                       cache->ref_sqnorms.data() + (size_t)w_idx * n_ref, cache->n_ref, *st->scratch,
                       st->out + (size_t)w_idx * (size_t)st->n_q * n_ref);
}

bool searches_like(const gkm_kernel_base_t* base, const gkm_window_tree_cache_t* cache)
{
    return base->param.L == cache->L && base->param.d == cache->d && base->param.use_rc == cache->use_rc &&
           memcmp(base->weights, cache->weights, sizeof cache->weights) == 0;
}

bool same_references(const gkm_window_tree_cache_t* cache, const gkm_sequence_t* const* refs, int n_ref)
{
    if (!refs || n_ref != cache->n_ref || !all_have_length(refs, n_ref, cache->seqlen)) return false;
    const size_t len = (size_t)cache->seqlen;
    for (int j = 0; j < n_ref; j++)
        if (memcmp(refs[j]->seq, cache->ref_bases.data() + (size_t)j * len, len) != 0) return false;
    return true;
}

}  // namespace

extern "C" gkm_window_tree_cache_t* gkm_window_tree_cache_build(const gkm_kernel_t* kernel,
                                                                const gkm_sequence_t* const* refs, int n_ref,
                                                                int window, int shift, int pad_left,
                                                                int pad_right)
{
    if (!kernel || !refs || n_ref <= 0 || !refs[0]) return nullptr;
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L;
    const int seqlen = refs[0]->seqlen;
    if (!window_geometry_ok(window, shift, pad_left, pad_right, L) || !all_have_length(refs, n_ref, seqlen))
        return nullptr;
    const int n_valid = gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L);
    size_t n_norms, n_bases;
    if (n_valid <= 0 || !doubles_fit(n_valid, n_ref, 1, &n_norms) ||
        !checked_size(n_ref, seqlen, &n_bases))
        return nullptr;
    try {
        std::unique_ptr<gkm_window_tree_cache_t> cache(new gkm_window_tree_cache_t{});
        cache->n_valid = n_valid;
        cache->n_ref = n_ref;
        cache->window = window;
        cache->shift = shift;
        cache->pad_left = pad_left;
        cache->pad_right = pad_right;
        cache->L = L;
        cache->d = base->param.d;
        cache->use_rc = base->param.use_rc;
        memcpy(cache->weights, base->weights, sizeof cache->weights);
        cache->seqlen = seqlen;
        cache->ref_bases.resize(n_bases);
        for (int j = 0; j < n_ref; j++) memcpy(cache->ref_bases.data() + (size_t)j * seqlen, refs[j]->seq, seqlen);
        cache->ref_sqnorms.resize(n_norms);
        cache->trees.reserve((size_t)n_valid);
        cache_build_state_t st{base, refs, n_ref, cache.get()};
        iter_windows(seqlen, window, shift, pad_left, pad_right, L, cb_cache_build, &st);
        return cache.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" int gkm_window_tree_cache_query(const gkm_kernel_t* kernel, const gkm_window_tree_cache_t* cache,
                                           const gkm_sequence_t* const* queries, int n_q, double* out)
{
    if (!kernel || !cache || !queries || !out || n_q <= 0) return -1;
    const gkm_kernel_base_t* base = &kernel->base;
    if (!searches_like(base, cache) || !all_have_length(queries, n_q, cache->seqlen)) return -1;
    // Queries of the references' length are cut into exactly the build's n_valid windows.
    size_t n_out;
    if (!doubles_fit(cache->n_valid, n_q, cache->n_ref, &n_out)) return -1;
    try {
        // All working storage exists before the first value is written.
        std::vector<double> q_sqnorms((size_t)n_q);
        window_search_scratch scratch(base, cache->n_ref, max_window_nkmers(cache->seqlen, cache->window, cache->L));
        cache_query_state_t st{base, queries, n_q, out, q_sqnorms.data(), &scratch, cache};
        iter_windows(cache->seqlen, cache->window, cache->shift, cache->pad_left, cache->pad_right, cache->L,
                     cb_cache_query, &st);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

extern "C" int gkm_window_tree_cache_matches(const gkm_window_tree_cache_t* cache,
                                             const gkm_sequence_t* const* refs, int n_ref, int window, int shift,
                                             int pad_left, int pad_right)
{
    if (!cache) return 0;
    const bool same_geometry = window == cache->window && shift == cache->shift && pad_left == cache->pad_left &&
                               pad_right == cache->pad_right;
    return same_geometry && same_references(cache, refs, n_ref) ? 1 : 0;
}

extern "C" void gkm_window_tree_cache_destroy(gkm_window_tree_cache_t* cache) { delete cache; }
