// Records and helpers shared between the core's files; never installed.
#ifndef GKM_INTERNAL_H
#define GKM_INTERNAL_H

#include "gkmkern.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

constexpr int GKM_MAX_L = 12;
constexpr int GKM_MAX_SEQLEN = 2047;
constexpr int GKM_N_WEIGHTS = 13;
constexpr int GKM_MAX_WINDOWS = 1000001;
constexpr int GKM_NODE_EMPTY = 999999;

// ---- kernel base ----------------------------------------------------------

struct gkm_kernel_base_t {
    gkm_parameter_t param;
    double weights[GKM_N_WEIGHTS];
    gkm_sequence_t** seqs;
    int32_t n_seqs;
    int32_t cap_seqs;
    int32_t finalized;
    uint8_t* mmcnt_tab;
    int32_t mmcnt_mask;
    int32_t mmcnt_nlookups;
};

// Fills a zeroed base; false (nothing left allocated) when memory is exhausted.
bool gkm_kernel_base_init(gkm_kernel_base_t* base, const gkm_parameter_t* param);
void gkm_kernel_base_destroy(gkm_kernel_base_t* base);
void calc_full_weights(gkm_kernel_base_t* base);
void calc_estimated_weights(gkm_kernel_base_t* base, int truncated);
double dCombinations(int n, int r);

// Profile reduction: sum over m = 0..d, in increasing m, of weights[m] * value(m).
template <class ProfileAt>
inline double reduce_profile(const double* weights, int d, ProfileAt value)
{
    double sum = 0.0;
    for (int m = 0; m <= d; m++) sum += value(m) * weights[m];
    return sum;
}

// Every kernel value is normalised this way: one division by the product of the norms.
inline double normalise(double value, double norm_a, double norm_b)
{
    return (norm_a > 0 && norm_b > 0) ? value / (norm_b * norm_a) : 0.0;
}

// ---- encoded sequences ----------------------------------------------------

struct gkm_sequence_t {
    char* sid;
    int32_t seqid;
    int32_t seqlen;
    uint8_t* seq;
    uint8_t* seq_rc;
    double* wt;
    double* wt_rc;
    int32_t* kmerids;
    int32_t* kmerids_rc;
    int32_t nkmers;
    double sqnorm;
};

double compute_sqnorm(const gkm_kernel_base_t* base, const gkm_sequence_t* da);
// The sequence was encoded for this base's word length (its L-mer count agrees).
bool sequence_fits_base(const gkm_kernel_base_t* base, const gkm_sequence_t* seq);
int sequence_to_twobitids(const gkm_kernel_base_t* base, const gkm_sequence_t* d, int* twobitids);

// ---- k-mer tree -----------------------------------------------------------

struct kmer_leaf_data_t {
    int seqid;
    double wt;
};

struct kmer_leaf_offset_t {
    int seqid;
    int offset;
};

struct kmer_leaf_t {
    int count;
    int capacity;
    kmer_leaf_data_t* data;
    kmer_leaf_offset_t* odata;
    int use_offsets;
};

struct kmer_tree_t {
    int L;
    int k;
    int d;
    int node_count;
    int leaf_count;
    int* node;
    kmer_leaf_t* leaf;
};

// Each returns false when memory runs out; the tree then stays consistent
// (count <= capacity) and can be destroyed, but is incomplete.
bool kmer_tree_init(kmer_tree_t* tree, int L, int k, int d);
bool kmer_tree_add_sequence(kmer_tree_t* tree, int seqid, const gkm_sequence_t* d, int use_rc);
bool kmer_tree_add_sequence_offsets(kmer_tree_t* tree, int seqid, const gkm_sequence_t* d, int use_rc);
void kmer_tree_destroy(kmer_tree_t* tree);

struct kmer_tree_deleter {
    void operator()(kmer_tree_t* tree) const { kmer_tree_destroy(tree); }
};
using kmer_tree_ptr = std::unique_ptr<kmer_tree_t, kmer_tree_deleter>;

// A fresh, empty tree for the base's L, k, d; null when memory runs out.
kmer_tree_ptr kmer_tree_new(const gkm_kernel_base_t* base);

// ---- mismatch-profile search ----------------------------------------------

struct base_mismatch_count_t {
    const uint8_t* bid;
    double wt;
    int mmcnt;
};

// Match lists of one walk: the initial list plus one list per internal level,
// each as long as the query's L-mer count (a list never grows during descent).
class match_workspace {
public:
    match_workspace(int L, int nkmers);
    base_mismatch_count_t* initial() { return buf_.data(); }
    base_mismatch_count_t* level(int depth) { return buf_.data() + (size_t)(depth + 1) * stride_; }
    // Initial list: one element per L-mer starting at seq, with the given weights (null: 1.0).
    int fill(const uint8_t* seq, int nkmers, const double* wt);

private:
    std::vector<base_mismatch_count_t> buf_;
    size_t stride_;
};

// Descends the tree keeping the query L-mers still within d mismatches of the
// path; at each reached leaf calls visit(leaf, element, m) with the element's
// mismatch count m there. Subtrees without ids below last_seqid are skipped.
template <class LeafVisit>
void kmer_tree_walk(const kmer_tree_t* tree, int last_seqid, int depth, int x,
                    const base_mismatch_count_t* cur, int n_cur, match_workspace& ws, LeafVisit& visit)
{
    const int d = tree->d;
    if (n_cur <= 0) return;
    if (depth < tree->L - 1) {
        base_mismatch_count_t* next = ws.level(depth);
        for (int b = 1; b <= 4; b++) {
            const int y = 4 * x + b;
            if (tree->node[y] >= last_seqid) continue;
            int n_next = 0;
            for (int i = 0; i < n_cur; i++) {
                const base_mismatch_count_t& e = cur[i];
                if (*e.bid == b)
                    next[n_next++] = {e.bid + 1, e.wt, e.mmcnt};
                else if (e.mmcnt < d)
                    next[n_next++] = {e.bid + 1, e.wt, e.mmcnt + 1};
            }
            if (n_next > 0) kmer_tree_walk(tree, last_seqid, depth + 1, y, next, n_next, ws, visit);
        }
        return;
    }
    for (int b = 1; b <= 4; b++) {
        const kmer_leaf_t& leaf = tree->leaf[4 * x + b - tree->node_count];
        if (leaf.count == 0) continue;
        for (int i = 0; i < n_cur; i++) {
            const base_mismatch_count_t& e = cur[i];
            int m = e.mmcnt;
            if (*e.bid != b) {
                if (m >= d) continue;
                m++;
            }
            visit(leaf, e, m);
        }
    }
}

// Regular search: mmprof[m][seqid] += entry weight * query weight.
void kmer_tree_dfs(const kmer_tree_t* tree, int last_seqid, const base_mismatch_count_t* matching,
                   int n_matching, match_workspace& ws, double** mmprof);

// Mismatch profile: d + 1 rows of n doubles.
class mismatch_profile {
public:
    mismatch_profile(int d, int n);
    void clear();
    double** rows() { return rows_.data(); }
    double reduce(const double* weights, int j) const;

private:
    int d_;
    size_t n_;
    std::vector<double> cells_;
    std::vector<double*> rows_;
};

// Walks query a (forward L-mers with a's own weights: 1.0 for encoded
// sequences, positional weights for weighted window views) against the first
// n_refs ids of tree and writes the unnormalised values res[0..n_refs-1].
void eval_against_tree(const gkm_kernel_base_t* base, const kmer_tree_t* tree, const gkm_sequence_t* a,
                       int n_refs, double* res, mismatch_profile& prof, match_workspace& ws);

// ---- regular kernel -------------------------------------------------------

struct gkm_kernel_t {
    gkm_kernel_base_t base;
    kmer_tree_t* prob_tree;
};

// ---- windows --------------------------------------------------------------

typedef void (*window_callback_t)(int w_idx, int start, int eff_start, int eff_len, void* user_data);

int iter_windows(int seqlen, int window, int shift, int pad_left, int pad_right, int L, window_callback_t cb,
                 void* user_data);
void make_window_view(const gkm_kernel_base_t* base, const gkm_sequence_t* seq, int window_start,
                      int window_len, gkm_sequence_t* out_view);

// ---- per-window machinery (windows.cpp) -----------------------------------
// Shared by the window kernels, the window tree cache and the iterator; the
// weighted window kernels supply positional weights through window_slice.

// shift >= 1, window >= L and both padding guards hold.
bool window_geometry_ok(int window, int shift, int pad_left, int pad_right, int L);

// L-mers of the longest window any sequence of length seqlen can yield.
int max_window_nkmers(int seqlen, int window, int L);

// Every sequence is present and seqlen long.
bool all_have_length(const gkm_sequence_t* const* seqs, int n, int seqlen);

// a * b * c doubles, as a count and in bytes, fit in size_t; count receives it.
bool doubles_fit(size_t a, size_t b, size_t c, size_t* count);

// One window position, cut the same way from every sequence of a set. When wt
// is set, wt/wt_rc (indexed like a view's own arrays) replace the L-mer
// weights of every view: in its tree entries, in its norm, and when it is
// searched (eval_against_tree weighs the searched L-mers with the view's own).
struct window_slice {
    int eff_start;
    int eff_len;
    const double* wt = nullptr;
    const double* wt_rc = nullptr;
};

void make_slice_view(const gkm_kernel_base_t* base, const gkm_sequence_t* seq, const window_slice& slice,
                     gkm_sequence_t* view);

// norms[i] = self-norm of the view of seqs[i].
void window_view_norms(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n,
                       const window_slice& slice, double* norms);

// A fresh tree holding the view of seqs[j] under id j; throws std::bad_alloc.
kmer_tree_ptr build_window_tree(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n,
                                const window_slice& slice);

// Working storage of window searches: profile rows for n_ref ids and match
// lists for max_nkmers L-mers, allocated once and reused for every window.
struct window_search_scratch {
    mismatch_profile prof;
    match_workspace ws;
    window_search_scratch(const gkm_kernel_base_t* base, int n_ref, int max_nkmers);
};

// block[i * n_ref + j] = value of the view of queries[i] against id j of tree,
// normalised by q_norms[i] and ref_norms[j]. Allocates nothing.
void search_window_tree(const gkm_kernel_base_t* base, const kmer_tree_t* tree, const window_slice& slice,
                        const gkm_sequence_t* const* queries, int n_q, const double* q_norms,
                        const double* ref_norms, int n_ref, window_search_scratch& scratch, double* block);

// One window block: the views of refs go into a fresh tree, every view of
// queries walks it. Throws std::bad_alloc.
void eval_window_block(const gkm_kernel_base_t* base, const window_slice& slice,
                       const gkm_sequence_t* const* queries, int n_q, const double* q_norms,
                       const gkm_sequence_t* const* refs, int n_ref, const double* ref_norms,
                       window_search_scratch& scratch, double* block);

// ---- positional weights ---------------------------------------------------

void compute_pos_weights_for_seq(int nkmers, int L, double center, gkm_pos_kernel_t pos_kernel, double gamma,
                                 double sigma, double peak, double* wt, double* wt_rc);

struct gkm_weighted_kernel_t {
    gkm_kernel_base_t base;
    gkm_pos_kernel_t pos_kernel;
    double weight_gamma;
    double weight_sigma;
    double weight_peak;
};

// Positional weight of the L-mer starting at `start`: p(midpoint - center) * peak.
// The weight arrays, the self-norms and the multi-centre search all form it
// here, so a sequence scored against itself normalises to 1.
template <class Kind>
inline double lmer_pos_weight(double start, int L, double center, Kind kind, double gamma, double sigma,
                              double peak)
{
    const double midpoint = start + (L - 1) * 0.5;
    const double dist = midpoint - center;
    return gkm_pos_weight(dist, kind, gamma, sigma) * peak;
}

// Calls f(kind) with the five known kinds as compile-time constants (other
// values, the flat profile, stay runtime), so that inner loops carry no dispatch.
template <class F>
inline void with_pos_kernel(gkm_pos_kernel_t kind, F&& f)
{
    switch (kind) {
    case GKM_POS_TRIANGULAR: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_TRIANGULAR>()); break;
    case GKM_POS_EPANECHNIKOV: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_EPANECHNIKOV>()); break;
    case GKM_POS_GAUSSIAN: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_GAUSSIAN>()); break;
    case GKM_POS_LAPLACIAN: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_LAPLACIAN>()); break;
    case GKM_POS_CAUCHY: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_CAUCHY>()); break;
    default: f(kind); break;
    }
}

// ---- sizes ----------------------------------------------------------------

// a * b (* c) as size_t, or false when the product overflows.
bool checked_size(size_t a, size_t b, size_t* out);
bool checked_size3(size_t a, size_t b, size_t c, size_t* out);

#endif  // GKM_INTERNAL_H
