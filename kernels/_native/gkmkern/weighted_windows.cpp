// Windows of the weighted kernel: every window weighted around its own
// middle, the same weights for every sequence cut there.
#include "gkm_internal.h"

extern "C" int gkm_weighted_kernel_window_kernel(const gkm_weighted_kernel_t* kernel,
                                                 const gkm_sequence_t* const* seqs, int n, int window, int shift,
                                                 int pad_left, int pad_right, double* out)
{
    if (!kernel || !seqs || !out || n < 1) return fail(GKM_EINVAL);
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L;
    if (!window_geometry_ok(window, shift, pad_left, pad_right, L) || !seqs[0]) return fail(GKM_EINVAL);
    const int seqlen = seqs[0]->seqlen;
    size_t n_out;
    const int n_valid = gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L);
    if (!all_have_length(seqs, n, seqlen) || n_valid <= 0) return fail(GKM_EINVAL);
    if (!doubles_fit(n_valid, n, n, &n_out)) return fail(GKM_ENOMEM);
    return fail_safely([&] {
        window_geometry g;
        make_window_geometry(g, seqlen, window, shift, pad_left, pad_right, L);
        return eval_windows(window_job{base, kernel, &g, {seqs, n}, {seqs, n}}, out);
    });
}

extern "C" int gkm_weighted_kernel_sliding_query(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* query,
                                                 int window, int shift, int pad_left, int pad_right, double* out,
                                                 int* n_windows_out)
{
    if (!kernel || !query || !out) return fail(GKM_EINVAL);
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L;
    if (!window_geometry_ok(window, shift, pad_left, pad_right, L) || !base->finalized) return fail(GKM_EINVAL);
    return fail_safely([&] {
        window_geometry g;
        make_window_geometry(g, query->seqlen, window, shift, pad_left, pad_right, L);
        const int n_ref = base->n_seqs;
        if (g.count() > 0) {
            // The references are cut at the query's windows; the last one ends furthest.
            const int end = g.eff_start.back() + g.eff_len.back();
            size_t n_out;
            for (int j = 0; j < n_ref; j++)
                if (base->seqs[j]->seqlen < end) return fail(GKM_EINVAL);
            if (!doubles_fit(g.count(), n_ref, 1, &n_out)) return fail(GKM_ENOMEM);
            // Rows without columns need no search.
            if (n_ref > 0 && eval_windows(window_job{base, kernel, &g, {&query, 1}, {base->seqs, n_ref}}, out) != 0)
                return -1;
        }
        if (n_windows_out) *n_windows_out = g.count();
        return 0;
    });
}
