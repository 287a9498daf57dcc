// Sliding windows: the window rule, window views, the per-window search shared
// by every windowed operation, the window iterator, the window-by-window
// kernel matrices, and their positionally weighted forms (every window
// weighted around its own middle).
#include "gkm_internal.h"

#include <algorithm>

namespace {

// Window w before and after clipping to [0, seqlen). Computed in 64 bits:
// w * shift - pad_left and start + window overflow int for large arguments.
struct window_extent {
    int64_t start;
    int64_t end;
    int64_t eff_start;
    int64_t eff_len;
};

window_extent window_at(int64_t w, int seqlen, int window, int shift, int pad_left)
{
    window_extent e;
    e.start = w * shift - pad_left;
    e.end = e.start + window;
    e.eff_start = std::max<int64_t>(e.start, 0);
    e.eff_len = std::min<int64_t>(e.end, seqlen) - e.eff_start;
    return e;
}

// A left-clipped first window (or a right-clipped last one) must still hold an L-mer.
bool padding_ok(int window, int pad_left, int pad_right, int L)
{
    if (pad_left > 0 && (int64_t)window - pad_left < L) return false;
    return !(pad_right > 0 && (int64_t)window - pad_right < L);
}

// How the L-mers of a window are weighed. Regular windows keep the
// sequences' own weights; with a weighted kernel every window gets the
// kernel's positional weights around its own middle, the same for every
// sequence cut there, on the tree side, the searched side and in the norms.
class window_weigher {
public:
    // max_nkmers: L-mers of the longest window that occurs (max_window_nkmers).
    window_weigher(const gkm_weighted_kernel_t* positional, int window, int max_nkmers)
        : positional_(positional), window_(window), wt_f_(positional ? (size_t)max_nkmers : 0),
          wt_r_(wt_f_.size())
    {
    }

    // The slice of one window; its weights stay valid until the next call.
    window_slice slice(int start, int eff_start, int eff_len)
    {
        window_slice s{eff_start, eff_len};
        if (!positional_) return s;
        const int L = positional_->base.param.L;
        // The centre is counted from the view's first base, where the view's
        // L-mer 0 starts: the nominal window may begin before it.
        const double center = (double)((int64_t)start - eff_start) + ((int64_t)window_ - 1) * 0.5;
        compute_pos_weights_for_seq(eff_len - L + 1, L, center, positional_->pos_kernel, positional_->weight_gamma,
                                    positional_->weight_sigma, positional_->weight_peak, wt_f_.data(),
                                    wt_r_.data());
        s.wt = wt_f_.data();
        s.wt_rc = wt_r_.data();
        return s;
    }

private:
    const gkm_weighted_kernel_t* positional_;
    int window_;
    std::vector<double> wt_f_;
    std::vector<double> wt_r_;
};

// The window matrices; the self form passes one set as both sides, and then
// both norm tables are the same table.
struct cross_window_state_t {
    const gkm_kernel_base_t* base;
    const gkm_sequence_t* const* queries;
    int n_q;
    const gkm_sequence_t* const* refs;
    int n_ref;
    double* out;
    double* ref_sqnorms;
    double* qry_sqnorms;
    window_search_scratch* scratch;
    window_weigher* weigher;
};

void cb_cross_sqnorms(int w_idx, int start, int eff_start, int eff_len, void* user_data)
{
    auto* st = static_cast<cross_window_state_t*>(user_data);
    const window_slice slice = st->weigher->slice(start, eff_start, eff_len);
    window_view_norms(st->base, st->refs, st->n_ref, slice, st->ref_sqnorms + (size_t)w_idx * st->n_ref);
    if (st->qry_sqnorms != st->ref_sqnorms)
        window_view_norms(st->base, st->queries, st->n_q, slice, st->qry_sqnorms + (size_t)w_idx * st->n_q);
}

void cb_cross_eval(int w_idx, int start, int eff_start, int eff_len, void* user_data)
{
    auto* st = static_cast<cross_window_state_t*>(user_data);
    double* block = st->out + (size_t)w_idx * (size_t)st->n_q * (size_t)st->n_ref;
    eval_window_block(st->base, st->weigher->slice(start, eff_start, eff_len), st->queries, st->n_q,
                      st->qry_sqnorms + (size_t)w_idx * st->n_q, st->refs, st->n_ref,
                      st->ref_sqnorms + (size_t)w_idx * st->n_ref, *st->scratch, block);
}

// base: the kernel's base; positional: the weighted kernel owning it, or null
// for regular windows.
int window_matrices(const gkm_kernel_base_t* base, const gkm_weighted_kernel_t* positional,
                    const gkm_sequence_t* const* queries, int n_q, const gkm_sequence_t* const* refs, int n_ref,
                    int window, int shift, int pad_left, int pad_right, double* out)
{
    if (!base || !queries || !refs || !out || n_q < 1 || n_ref < 1) return -1;
    const int L = base->param.L;
    if (!window_geometry_ok(window, shift, pad_left, pad_right, L) || !queries[0]) return -1;
    const int seqlen = queries[0]->seqlen;
    if (!all_have_length(queries, n_q, seqlen) || !all_have_length(refs, n_ref, seqlen)) return -1;
    const int n_valid = gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L);
    size_t n_out, n_ref_norms, n_qry_norms;
    if (n_valid <= 0 || !doubles_fit(n_valid, n_q, n_ref, &n_out) ||
        !doubles_fit(n_valid, n_ref, 1, &n_ref_norms) || !doubles_fit(n_valid, n_q, 1, &n_qry_norms))
        return -1;
    const bool one_set = queries == refs && n_q == n_ref;
    try {
        std::vector<double> ref_sqnorms(n_ref_norms);
        std::vector<double> qry_sqnorms(one_set ? 0 : n_qry_norms);
        const int max_nkmers = max_window_nkmers(seqlen, window, L);
        window_search_scratch scratch(base, n_ref, max_nkmers);
        window_weigher weigher(positional, window, max_nkmers);
        cross_window_state_t st{base,
                                queries,
                                n_q,
                                refs,
                                n_ref,
                                out,
                                ref_sqnorms.data(),
                                one_set ? ref_sqnorms.data() : qry_sqnorms.data(),
                                &scratch,
                                &weigher};
        // Every norm is known before the first block is written.
        iter_windows(seqlen, window, shift, pad_left, pad_right, L, cb_cross_sqnorms, &st);
        iter_windows(seqlen, window, shift, pad_left, pad_right, L, cb_cross_eval, &st);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

// The weighted sliding query: each window of the query against the same
// positions of every stored reference, one row per window.
struct sliding_query_state_t {
    const gkm_kernel_base_t* base;
    const gkm_sequence_t* query;
    const gkm_sequence_t* const* refs;
    int n_ref;
    double* out;
    double* ref_sqnorms;
    window_search_scratch* scratch;
    window_weigher* weigher;
};

void cb_sliding_query(int w_idx, int start, int eff_start, int eff_len, void* user_data)
{
    auto* st = static_cast<sliding_query_state_t*>(user_data);
    const window_slice slice = st->weigher->slice(start, eff_start, eff_len);
    double q_sqnorm;
    window_view_norms(st->base, &st->query, 1, slice, &q_sqnorm);
    window_view_norms(st->base, st->refs, st->n_ref, slice, st->ref_sqnorms);
    eval_window_block(st->base, slice, &st->query, 1, &q_sqnorm, st->refs, st->n_ref, st->ref_sqnorms,
                      *st->scratch, st->out + (size_t)w_idx * (size_t)st->n_ref);
}

// Every sequence holds the bases of [0, end): it can be cut wherever a window
// ending there is cut.
bool all_reach(const gkm_sequence_t* const* seqs, int n, int64_t end)
{
    for (int j = 0; j < n; j++)
        if (seqs[j]->seqlen < end) return false;
    return true;
}

}  // namespace

// ---- window rule ----------------------------------------------------------

bool window_geometry_ok(int window, int shift, int pad_left, int pad_right, int L)
{
    return shift >= 1 && window >= L && padding_ok(window, pad_left, pad_right, L);
}

int max_window_nkmers(int seqlen, int window, int L)
{
    return (int)(std::min<int64_t>(window, seqlen) - L + 1);
}

bool all_have_length(const gkm_sequence_t* const* seqs, int n, int seqlen)
{
    for (int i = 0; i < n; i++)
        if (!seqs[i] || seqs[i]->seqlen != seqlen) return false;
    return true;
}

bool doubles_fit(size_t a, size_t b, size_t c, size_t* count)
{
    size_t bytes;
    return checked_size3(a, b, c, count) && checked_size(*count, sizeof(double), &bytes);
}

int iter_windows(int seqlen, int window, int shift, int pad_left, int pad_right, int L, window_callback_t cb,
                 void* user_data)
{
    // Without these no window can hold an L-mer; shift < 1 would repeat one window.
    if (shift < 1 || seqlen < L || window < L || !padding_ok(window, pad_left, pad_right, L)) return 0;
    int n = 0;
    for (int64_t w = 0; w < GKM_MAX_WINDOWS; w++) {
        const window_extent e = window_at(w, seqlen, window, shift, pad_left);
        if (e.eff_len < L) {
            if (e.start >= (int64_t)seqlen - L + 1) break;
            continue;
        }
        if (e.end > (int64_t)seqlen + pad_right) break;
        // A visited window starts after -pad_left and before seqlen: all fit int.
        if (cb) cb(n, (int)e.start, (int)e.eff_start, (int)e.eff_len, user_data);
        n++;
    }
    return n;
}

extern "C" int gkm_compute_n_windows(int seqlen, int window, int shift, int pad_left, int pad_right, int L)
{
    return iter_windows(seqlen, window, shift, pad_left, pad_right, L, nullptr, nullptr);
}

void make_window_view(const gkm_kernel_base_t* base, const gkm_sequence_t* seq, int window_start,
                      int window_len, gkm_sequence_t* out_view)
{
    const int rc_start = seq->seqlen - (window_start + window_len);
    *out_view = gkm_sequence_t{};
    out_view->seqlen = window_len;
    out_view->seq = seq->seq + window_start;
    out_view->seq_rc = seq->seq_rc + rc_start;
    out_view->wt = seq->wt + window_start;
    out_view->wt_rc = seq->wt_rc + rc_start;
    out_view->nkmers = window_len - base->param.L + 1;
}

// ---- per-window machinery -------------------------------------------------

void make_slice_view(const gkm_kernel_base_t* base, const gkm_sequence_t* seq, const window_slice& slice,
                     gkm_sequence_t* view)
{
    make_window_view(base, seq, slice.eff_start, slice.eff_len, view);
    if (slice.wt) {
        view->wt = const_cast<double*>(slice.wt);
        view->wt_rc = const_cast<double*>(slice.wt_rc);
    }
}

void window_view_norms(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n,
                       const window_slice& slice, double* norms)
{
    for (int i = 0; i < n; i++) {
        gkm_sequence_t view;
        make_slice_view(base, seqs[i], slice, &view);
        norms[i] = compute_sqnorm(base, &view);
    }
}

kmer_tree_ptr build_window_tree(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n,
                                const window_slice& slice)
{
    kmer_tree_ptr tree = kmer_tree_new(base);
    if (!tree) throw std::bad_alloc();
    for (int j = 0; j < n; j++) {
        gkm_sequence_t view;
        make_slice_view(base, seqs[j], slice, &view);
        if (!kmer_tree_add_sequence(tree.get(), j, &view, base->param.use_rc)) throw std::bad_alloc();
    }
    return tree;
}

window_search_scratch::window_search_scratch(const gkm_kernel_base_t* base, int n_ref, int max_nkmers)
    : prof(base->param.d, n_ref), ws(base->param.L, max_nkmers)
{
}

void search_window_tree(const gkm_kernel_base_t* base, const kmer_tree_t* tree, const window_slice& slice,
                        const gkm_sequence_t* const* queries, int n_q, const double* q_norms,
                        const double* ref_norms, int n_ref, window_search_scratch& scratch, double* block)
{
    for (int i = 0; i < n_q; i++) {
        gkm_sequence_t view;
        make_slice_view(base, queries[i], slice, &view);
        double* row = block + (size_t)i * (size_t)n_ref;
        eval_against_tree(base, tree, &view, n_ref, row, scratch.prof, scratch.ws);
        for (int j = 0; j < n_ref; j++) row[j] = normalise(row[j], q_norms[i], ref_norms[j]);
    }
}

void eval_window_block(const gkm_kernel_base_t* base, const window_slice& slice,
                       const gkm_sequence_t* const* queries, int n_q, const double* q_norms,
                       const gkm_sequence_t* const* refs, int n_ref, const double* ref_norms,
                       window_search_scratch& scratch, double* block)
{
    kmer_tree_ptr tree = build_window_tree(base, refs, n_ref, slice);
    search_window_tree(base, tree.get(), slice, queries, n_q, q_norms, ref_norms, n_ref, scratch, block);
}

// ---- window iterator ------------------------------------------------------

struct gkm_window_iter_t {
    const gkm_kernel_t* kernel;
    const gkm_sequence_t* seq;
    int window;
    int shift;
    int pad_left;
    int pad_right;
    int cur_w;
    int n_windows;
    // Fixed at creation: rows cover these references whatever happens to the kernel.
    int n_refs;
    std::vector<double> ref_sqnorms;
    window_search_scratch scratch;

    gkm_window_iter_t(const gkm_kernel_t* k, const gkm_sequence_t* s, int w, int sh, int pl, int pr)
        : kernel(k), seq(s), window(w), shift(sh), pad_left(pl), pad_right(pr), cur_w(0),
          n_windows(gkm_compute_n_windows(s->seqlen, w, sh, pl, pr, k->base.param.L)),
          n_refs(k->base.n_seqs), ref_sqnorms(stored_norms(&k->base)),
          scratch(&k->base, n_refs, max_window_nkmers(s->seqlen, w, k->base.param.L))
    {
    }

    static std::vector<double> stored_norms(const gkm_kernel_base_t* base)
    {
        std::vector<double> norms((size_t)base->n_seqs);
        for (int j = 0; j < base->n_seqs; j++) norms[j] = base->seqs[j]->sqnorm;
        return norms;
    }
};

extern "C" gkm_window_iter_t* gkm_window_iter_create(const gkm_kernel_t* kernel, const gkm_sequence_t* seq,
                                                     int window, int shift, int pad_left, int pad_right)
{
    if (!kernel || !seq || !window_geometry_ok(window, shift, pad_left, pad_right, kernel->base.param.L))
        return nullptr;
    try {
        return new gkm_window_iter_t(kernel, seq, window, shift, pad_left, pad_right);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" void gkm_window_iter_destroy(gkm_window_iter_t* it) { delete it; }

extern "C" int gkm_window_iter_count(const gkm_window_iter_t* it) { return it ? it->n_windows : 0; }

extern "C" void gkm_window_iter_reset(gkm_window_iter_t* it)
{
    if (it) it->cur_w = 0;
}

extern "C" int gkm_window_iter_next(gkm_window_iter_t* it, double* res)
{
    if (!it || !it->kernel->prob_tree || it->cur_w >= it->n_windows) return 0;
    if (!res && it->n_refs > 0) return 0;
    const gkm_kernel_base_t* base = &it->kernel->base;
    // Windows below n_windows are the valid ones, in order (the window rule).
    const window_extent e = window_at(it->cur_w, it->seq->seqlen, it->window, it->shift, it->pad_left);
    const window_slice slice{(int)e.eff_start, (int)e.eff_len};
    double w_sqnorm;
    window_view_norms(base, &it->seq, 1, slice, &w_sqnorm);
    search_window_tree(base, it->kernel->prob_tree, slice, &it->seq, 1, &w_sqnorm, it->ref_sqnorms.data(),
                       it->n_refs, it->scratch, res);
    it->cur_w++;
    return 1;
}

// ---- window kernel matrices -----------------------------------------------

extern "C" int gkm_kernel_window_kernel(const gkm_kernel_t* kernel, const gkm_sequence_t* const* seqs, int n,
                                        int window, int shift, int pad_left, int pad_right, double* out)
{
    return window_matrices(kernel ? &kernel->base : nullptr, nullptr, seqs, n, seqs, n, window, shift, pad_left,
                           pad_right, out);
}

extern "C" int gkm_kernel_cross_window_kernel(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries,
                                              int n_q, const gkm_sequence_t* const* refs, int n_ref, int window,
                                              int shift, int pad_left, int pad_right, double* out)
{
    return window_matrices(kernel ? &kernel->base : nullptr, nullptr, queries, n_q, refs, n_ref, window, shift,
                           pad_left, pad_right, out);
}

// ---- weighted window kernels ----------------------------------------------

extern "C" int gkm_weighted_kernel_window_kernel(const gkm_weighted_kernel_t* kernel,
                                                 const gkm_sequence_t* const* seqs, int n, int window, int shift,
                                                 int pad_left, int pad_right, double* out)
{
    return window_matrices(kernel ? &kernel->base : nullptr, kernel, seqs, n, seqs, n, window, shift, pad_left,
                           pad_right, out);
}

extern "C" int gkm_weighted_kernel_sliding_query(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* query,
                                                 int window, int shift, int pad_left, int pad_right, double* out,
                                                 int* n_windows_out)
{
    if (!kernel || !query || !out) return -1;
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L;
    if (!window_geometry_ok(window, shift, pad_left, pad_right, L) || !base->finalized) return -1;
    const int seqlen = query->seqlen;
    const int n_windows = gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L);
    const gkm_sequence_t* const* refs = base->seqs;
    const int n_ref = base->n_seqs;
    if (n_windows > 0) {
        // The references are cut at the query's windows; the last one ends furthest.
        const window_extent last = window_at(n_windows - 1, seqlen, window, shift, pad_left);
        size_t n_out;
        if (!all_reach(refs, n_ref, last.eff_start + last.eff_len) || !doubles_fit(n_windows, n_ref, 1, &n_out))
            return -1;
    }
    // Rows without columns need no search.
    if (n_windows > 0 && n_ref > 0) {
        try {
            const int max_nkmers = max_window_nkmers(seqlen, window, L);
            std::vector<double> ref_sqnorms((size_t)n_ref);
            window_search_scratch scratch(base, n_ref, max_nkmers);
            window_weigher weigher(kernel, window, max_nkmers);
            sliding_query_state_t st{base, query, refs, n_ref, out, ref_sqnorms.data(), &scratch, &weigher};
            iter_windows(seqlen, window, shift, pad_left, pad_right, L, cb_sliding_query, &st);
        } catch (const std::bad_alloc&) {
            return -1;
        }
    }
    if (n_windows_out) *n_windows_out = n_windows;
    return 0;
}
