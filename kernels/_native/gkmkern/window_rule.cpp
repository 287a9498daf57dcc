// The window rule: which windows a sequence length has under a geometry, and
// which of them hold a given L-mer.
#include "gkm_internal.h"

bool window_geometry_ok(int window, int shift, int pad_left, int pad_right, int L)
{
    // A left-clipped first window (or a right-clipped last one) must still hold an L-mer.
    if (shift < 1 || window < L) return false;
    if (pad_left > 0 && (int64_t)window - pad_left < L) return false;
    return !(pad_right > 0 && (int64_t)window - pad_right < L);
}

extern "C" int gkm_compute_n_windows(int seqlen, int window, int shift, int pad_left, int pad_right, int L)
{
    return for_each_window(seqlen, window, shift, pad_left, pad_right, L, [](int, int, int, int) {});
}

void make_window_geometry(window_geometry& g, int seqlen, int window, int shift, int pad_left, int pad_right, int L)
{
    g.seqlen = seqlen;
    g.window = window;
    g.shift = shift;
    g.pad_left = pad_left;
    g.pad_right = pad_right;
    g.L = L;
    g.start.clear();
    g.eff_start.clear();
    g.eff_len.clear();
    for_each_window(seqlen, window, shift, pad_left, pad_right, L, [&](int, int start, int eff_start, int eff_len) {
        g.start.push_back(start);
        g.eff_start.push_back(eff_start);
        g.eff_len.push_back(eff_len);
    });
}

// Window starts and ends never decrease with the window index, so the windows
// holding an L-mer are one run, found by bisection.
int window_geometry::first_holding(int p) const
{
    int lo = 0, hi = count();
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (eff_start[mid] + eff_len[mid] - L >= p)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

int window_geometry::last_holding(int p) const
{
    int lo = 0, hi = count();
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (eff_start[mid] <= p)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo - 1;
}

bool all_have_length(const gkm_sequence_t* const* seqs, int n, int seqlen)
{
    for (int i = 0; i < n; i++)
        if (!seqs[i] || seqs[i]->seqlen != seqlen) return false;
    return true;
}

bool all_fit_base(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n)
{
    for (int i = 0; i < n; i++)
        if (!sequence_fits_base(base, seqs[i])) return false;
    return true;
}
