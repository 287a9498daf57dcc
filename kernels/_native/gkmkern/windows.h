// Windows: the rule of which windows a sequence has, their geometry, and the
// runs of windows that window matrices are evaluated in.
#ifndef GKM_WINDOWS_H
#define GKM_WINDOWS_H

#include "kernels.h"

#include <vector>

// The valid windows of one sequence length, in order: window w covers bases
// [eff_start[w], eff_start[w] + eff_len[w]) of a nominal window starting at
// start[w].
struct window_geometry {
    int seqlen = 0, window = 0, shift = 0, pad_left = 0, pad_right = 0, L = 0;
    std::vector<int> start, eff_start, eff_len;
    int count() const { return (int)start.size(); }
    // Windows holding the L-mer that starts at p: [first_holding(p),
    // last_holding(p)], empty when the first is past the last.
    int first_holding(int p) const;
    int last_holding(int p) const;
};

// shift >= 1, window >= L and both padding guards hold.
bool window_geometry_ok(int window, int shift, int pad_left, int pad_right, int L);

// The windows of seqlen under this geometry; throws std::bad_alloc.
void make_window_geometry(window_geometry& g, int seqlen, int window, int shift, int pad_left, int pad_right, int L);

// Every sequence is present and seqlen long.
bool all_have_length(const gkm_sequence_t* const* seqs, int n, int seqlen);
// Every sequence is present and encoded for this base's word length.
bool all_fit_base(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n);

// Window matrices: window w of every query against window w of every
// reference, for the regular kernel (positional null) or with every window
// weighted around its own middle. The windows are cut into runs of
// consecutive windows; the references' L-mers that a run's windows hold are
// indexed by position, the queries' L-mers walk that index once, and each
// matched pair counts in every window of the run that holds both L-mers.
struct window_side {
    const gkm_sequence_t* const* seqs;
    int n;
};

struct window_job {
    const gkm_kernel_base_t* base;
    const gkm_weighted_kernel_t* positional;  // null: the regular kernel
    const window_geometry* g;                 // the windows of the queries' length
    window_side queries, refs;
};

struct window_run {
    int first = 0, count = 0;            // windows
    int span_start = 0, span_lmers = 0;  // the L-mers its windows hold
    lmer_index<lmer_positions> refs;
};

// Runs covering every window, none indexed yet.
std::vector<window_run> plan_window_runs(const window_job& job);
// Indexes the references' L-mers of one run; throws std::bad_alloc.
void index_window_run(const window_job& job, window_run& run);
// norms[w * n + i]: self-norm of window w of side.seqs[i], on the job's threads.
void window_norms(const window_job& job, const window_side& side, double* norms);
// out[(w * n_q + i) * n_ref + j] for the windows of an indexed run, the
// queries' and references' window norms given; throws std::bad_alloc.
void eval_window_run(const window_job& job, const window_run& run, const double* q_norms, const double* r_norms,
                     double* out);
// Norms, runs and values of every window at once, runs spread over the
// job's threads; -1 when memory runs out.
int eval_windows(const window_job& job, double* out);

// ---- window enumeration (template body) ------------------------------------

// Window w before and after clipping to [0, seqlen), in 64 bits: w * shift -
// pad_left and start + window overflow int for large arguments.
struct window_extent {
    int64_t start, end, eff_start, eff_len;
};

inline window_extent window_at(int64_t w, int seqlen, int window, int shift, int pad_left)
{
    window_extent e;
    e.start = w * shift - pad_left;
    e.end = e.start + window;
    e.eff_start = std::max<int64_t>(e.start, 0);
    e.eff_len = std::min<int64_t>(e.end, seqlen) - e.eff_start;
    return e;
}

// Calls f(w, start, eff_start, eff_len) for every valid window, in order;
// returns how many there were.
template <class F>
int for_each_window(int seqlen, int window, int shift, int pad_left, int pad_right, int L, F&& f)
{
    // Without these no window can hold an L-mer; shift < 1 would repeat one window.
    if (shift < 1 || seqlen < L || !window_geometry_ok(window, shift, pad_left, pad_right, L)) return 0;
    int n = 0;
    for (int64_t w = 0; w < GKM_MAX_WINDOWS; w++) {
        const window_extent e = window_at(w, seqlen, window, shift, pad_left);
        if (e.eff_len < L) {
            if (e.start >= (int64_t)seqlen - L + 1) break;
            continue;
        }
        if (e.end > (int64_t)seqlen + pad_right) break;
        // A visited window starts after -pad_left and before seqlen: all fit int.
        f(n, (int)e.start, (int)e.eff_start, (int)e.eff_len);
        n++;
    }
    return n;
}

#endif  // GKM_WINDOWS_H
