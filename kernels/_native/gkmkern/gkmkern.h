/* gkmkern: gapped k-mer string kernels between DNA sequences.
 *
 * Plain records and free functions. Kernels, sequences, window iterators and
 * window tree caches are opaque; callers hold pointers and release each with
 * its _destroy or _free. Creation returns null on failure. Evaluations return
 * 0 on success and -1 on failure, and a failed one leaves no part of a result
 * behind: its outputs are untouched when it refused its arguments or ran out
 * of memory before writing, and every value of them is 0.0 when it ran out of
 * memory while writing; gkm_kernel_eval_all and gkm_kernel_eval_batch, which
 * write 0.0 for every value they cannot compute, also leave zeros when they
 * refuse a query. gkm_last_status tells why the last failed call failed.
 */
#ifndef GKMKERN_H
#define GKMKERN_H

#include <math.h>
#include <stdint.h>

#if defined(__GNUC__)
#define GKM_API __attribute__((visibility("default")))
#else
#define GKM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- records ---------------------------------------------------------- */

/* Both enumerations accept any int (unknown values act as full weights or a
 * flat profile); C++ needs a fixed underlying type for that to be defined. */
#ifdef __cplusplus
#define GKM_ENUM_INT : int32_t
#else
#define GKM_ENUM_INT
#endif

typedef enum GKM_ENUM_INT {
    GKM_WEIGHT_FULL = 0,           /* exact gapped k-mer counts C(L - m, k) */
    GKM_WEIGHT_TRUNCATED = 1,      /* estimated full filter, cut at its first tiny value */
    GKM_WEIGHT_ESTIMATED_FULL = 2  /* estimated full filter, not cut */
} gkm_weight_scheme_t;

typedef enum GKM_ENUM_INT {
    GKM_POS_TRIANGULAR = 0,
    GKM_POS_EPANECHNIKOV = 1,
    GKM_POS_GAUSSIAN = 2,
    GKM_POS_LAPLACIAN = 3,
    GKM_POS_CAUCHY = 4
} gkm_pos_kernel_t;

typedef struct {
    int32_t L;             /* word length, 2..12 */
    int32_t k;             /* informative positions, 1..L */
    int32_t d;             /* largest counted mismatch count, 0..L-k */
    int32_t weight_scheme; /* gkm_weight_scheme_t; other values act as full */
    int32_t use_rc;        /* nonzero: references add their reverse complement */
    int32_t nthreads;      /* threads of the batch evaluation */
} gkm_parameter_t;

typedef struct {
    gkm_parameter_t base;
    gkm_pos_kernel_t pos_kernel;
    double weight_gamma;   /* Laplacian decay rate, >= 0 */
    double weight_sigma;   /* width of the other profiles, > 0 */
    double weight_peak;    /* factor of every positional weight, > 0; normalised values do not depend on it */
} gkm_weighted_params_t;

/* Why a call failed: every call that returns null, -1 (or 0 from
 * gkm_window_iter_next before the last window) records one. */
typedef enum GKM_ENUM_INT {
    GKM_OK = 0,        /* no call of this thread has failed yet */
    GKM_ENOMEM = 1,    /* memory ran out, or a size exceeded what memory can hold */
    GKM_EINVAL = 2,    /* arguments or the object's state refused: nothing was computed */
    GKM_EINTERNAL = 3  /* a fault of the core itself */
} gkm_status_t;

typedef struct gkm_sequence_t gkm_sequence_t;
typedef struct gkm_kernel_t gkm_kernel_t;
typedef struct gkm_weighted_kernel_t gkm_weighted_kernel_t;
typedef struct gkm_window_iter_t gkm_window_iter_t;
typedef struct gkm_window_tree_cache_t gkm_window_tree_cache_t;

/* ---- failure reasons -------------------------------------------------- */

/* The reason recorded by the calling thread's last failed call; a successful call leaves it as it was. */
GKM_API gkm_status_t gkm_last_status(void);

/* ---- parameters and L-mer weights ------------------------------------- */

/* Null when valid, else a static message such as "k > L". */
GKM_API const char* gkm_parameter_check(const gkm_parameter_t* param);

/* ---- kernel base: either kernel kind, through gkm_kernel_base() -------- */

GKM_API void gkm_kernel_base_get_params(const void* kernel_base, int* L, int* k, int* d);
GKM_API int gkm_kernel_base_get_L(const void* kernel_base);
GKM_API int gkm_kernel_base_get_weight_scheme(const void* kernel_base);
GKM_API int gkm_kernel_base_get_use_rc(const void* kernel_base);
/* weights[m] for 0 <= m <= d, else 0.0 */
GKM_API double gkm_kernel_base_weight(const void* kernel_base, int m);
/* Takes ownership and returns the new id; -1 (caller keeps seq) when finalised, out of memory
 * or encoded for another L. */
GKM_API int gkm_kernel_base_add_sequence(void* kernel_base, gkm_sequence_t* seq);
GKM_API void gkm_kernel_base_finalize(void* kernel_base);
GKM_API int gkm_kernel_base_is_finalized(const void* kernel_base);
GKM_API int gkm_kernel_base_num_sequences(const void* kernel_base);
GKM_API const gkm_sequence_t* gkm_kernel_base_get_sequence(const void* kernel_base, int seqid);

/* ---- encoded sequences ------------------------------------------------ */

/* Null when shorter than L or a non-ACGT base lies within the first 2047. */
GKM_API gkm_sequence_t* gkm_sequence_create(const void* kernel_base, const char* seq, const char* sid);
/* As gkm_sequence_create, but a non-ACGT base leaves out every L-mer covering it, on both strands and in the norm. */
GKM_API gkm_sequence_t* gkm_sequence_create_masked(const void* kernel_base, const char* seq, const char* sid);
GKM_API void gkm_sequence_free(gkm_sequence_t* seq);
GKM_API int gkm_sequence_length(const gkm_sequence_t* seq);
GKM_API const char* gkm_sequence_sid(const gkm_sequence_t* seq);
GKM_API double gkm_sequence_sqnorm(const gkm_sequence_t* seq);

/* ---- regular kernel --------------------------------------------------- */

GKM_API gkm_kernel_t* gkm_kernel_create(const gkm_parameter_t* param);
GKM_API void gkm_kernel_destroy(gkm_kernel_t* kernel);
GKM_API void* gkm_kernel_base(gkm_kernel_t* kernel);
GKM_API const void* gkm_kernel_base_const(const gkm_kernel_t* kernel);
/* Builds the index of all references; 0, or -1 (kernel left open) when out of memory. */
GKM_API int gkm_kernel_finalize(gkm_kernel_t* kernel);
/* res: n_seqs normalised values, zeros before finalisation; -1 when memory runs out or a is encoded for another L. */
GKM_API int gkm_kernel_eval_all(const gkm_kernel_t* kernel, const gkm_sequence_t* a, double* res);
/* res: n_q x n_seqs, row-major, on up to nthreads threads; -1 as eval_all, for any of the queries. */
GKM_API int gkm_kernel_eval_batch(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries,
                                  int n_q, double* res);
/* out: n_seqs x n_seqs, the stored references against each other, each unordered pair computed once;
 * -1 when the kernel is not finalised or memory runs out. */
GKM_API int gkm_kernel_eval_gram(const gkm_kernel_t* kernel, double* out);
/* out: n_rows x (n_seqs - first), rows [first, first + n_rows) of that matrix against the references from
 * first on, each pair among them computed once; -1 as eval_gram, or when the rows are not among the
 * references. */
GKM_API int gkm_kernel_eval_gram_rows(const gkm_kernel_t* kernel, int first, int n_rows, double* out);

/* ---- windows ---------------------------------------------------------- */

/* Number of valid windows; 0 when none or when shift < 1. */
GKM_API int gkm_compute_n_windows(int seqlen, int window, int shift, int pad_left, int pad_right, int L);

/* Window iterator: one query's windows against a finalised kernel's references. */
GKM_API gkm_window_iter_t* gkm_window_iter_create(const gkm_kernel_t* kernel, const gkm_sequence_t* seq,
                                                  int window, int shift, int pad_left, int pad_right);
GKM_API void gkm_window_iter_destroy(gkm_window_iter_t* it);
GKM_API int gkm_window_iter_count(const gkm_window_iter_t* it);
GKM_API void gkm_window_iter_reset(gkm_window_iter_t* it);
/* 1 with res filled for the next window; 0 (res untouched) when none is left, the kernel is not finalised
 * or memory runs out. */
GKM_API int gkm_window_iter_next(gkm_window_iter_t* it, double* res);

/* Window matrices: out[(w * n + i) * n + j] and out[(w * n_q + i) * n_ref + j]. */
GKM_API int gkm_kernel_window_kernel(const gkm_kernel_t* kernel, const gkm_sequence_t* const* seqs, int n,
                                     int window, int shift, int pad_left, int pad_right, double* out);
GKM_API int gkm_kernel_cross_window_kernel(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries,
                                           int n_q, const gkm_sequence_t* const* refs, int n_ref, int window,
                                           int shift, int pad_left, int pad_right, double* out);

/* Window tree cache: reference windows indexed once per geometry. */
GKM_API gkm_window_tree_cache_t* gkm_window_tree_cache_build(const gkm_kernel_t* kernel,
                                                             const gkm_sequence_t* const* refs, int n_ref,
                                                             int window, int shift, int pad_left,
                                                             int pad_right);
/* out: n_valid x n_q x n_ref; -1 for rejected arguments or exhausted memory. */
GKM_API int gkm_window_tree_cache_query(const gkm_kernel_t* kernel, const gkm_window_tree_cache_t* cache,
                                        const gkm_sequence_t* const* queries, int n_q, double* out);
GKM_API void gkm_window_tree_cache_destroy(gkm_window_tree_cache_t* cache);
/* 1 when cache was built for exactly this geometry and these references (count, lengths, bases), else 0. */
GKM_API int gkm_window_tree_cache_matches(const gkm_window_tree_cache_t* cache, const gkm_sequence_t* const* refs,
                                          int n_ref, int window, int shift, int pad_left, int pad_right);

/* ---- positional weights ----------------------------------------------- */

/* Profile value at signed distance d from the centre, without the peak factor. */
static inline double gkm_pos_weight(double d, gkm_pos_kernel_t kind, double gamma, double sigma)
{
    double ad = fabs(d);
    switch (kind) {
    case GKM_POS_TRIANGULAR:
        return ad >= sigma ? 0.0 : 1.0 - ad / sigma;
    case GKM_POS_EPANECHNIKOV:
        return ad >= sigma ? 0.0 : 1.0 - (ad * ad) / (sigma * sigma);
    case GKM_POS_GAUSSIAN:
        return exp(-(d * d) / ((sigma + sigma) * sigma));
    case GKM_POS_LAPLACIAN:
        return exp(-gamma * ad);
    case GKM_POS_CAUCHY:
        return 1.0 / ((d * d) / (sigma * sigma) + 1.0);
    default:
        return 1.0;
    }
}

/* ---- weighted kernel -------------------------------------------------- */

GKM_API gkm_weighted_kernel_t* gkm_weighted_kernel_create(const gkm_weighted_params_t* params);
GKM_API void gkm_weighted_kernel_destroy(gkm_weighted_kernel_t* kernel);
GKM_API void* gkm_weighted_kernel_base(gkm_weighted_kernel_t* kernel);
GKM_API const void* gkm_weighted_kernel_base_const(const gkm_weighted_kernel_t* kernel);
GKM_API gkm_pos_kernel_t gkm_weighted_kernel_pos_kernel(const gkm_weighted_kernel_t* kernel);
GKM_API double gkm_weighted_kernel_gamma(const gkm_weighted_kernel_t* kernel);
GKM_API double gkm_weighted_kernel_sigma(const gkm_weighted_kernel_t* kernel);
GKM_API double gkm_weighted_kernel_peak(const gkm_weighted_kernel_t* kernel);
/* out[c][i][j], n_centers x n x n */
GKM_API int gkm_weighted_kernel_eval_self(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* const* seqs,
                                          int n, const double* centers, int n_centers, double* out);
/* out[c][i][j], n_centers x n_q x n_ref */
GKM_API int gkm_weighted_kernel_eval_cross(const gkm_weighted_kernel_t* kernel,
                                           const gkm_sequence_t* const* queries, int n_q,
                                           const gkm_sequence_t* const* refs, int n_ref, const double* centers,
                                           int n_centers, double* out);
/* Every window weighted around its own middle: out[(w * n + i) * n + j]. */
GKM_API int gkm_weighted_kernel_window_kernel(const gkm_weighted_kernel_t* kernel,
                                              const gkm_sequence_t* const* seqs, int n, int window, int shift,
                                              int pad_left, int pad_right, double* out);
/* Query windows against the same positions of the stored references: out[w * n_ref + j]. */
GKM_API int gkm_weighted_kernel_sliding_query(const gkm_weighted_kernel_t* kernel, const gkm_sequence_t* query,
                                              int window, int shift, int pad_left, int pad_right, double* out,
                                              int* n_windows_out);

/* ---- L-mer weight tables ---------------------------------------------- */

/* Index of the first code outside [-1, 4**L) (-1: an L-mer left out), or -1 when all lie within. */
GKM_API int64_t gkm_lmer_first_bad_code(const int32_t* codes, int64_t n, int L);
/* Index of the first base outside [-1, 3] (-1: not ACGT), or -1 when all lie within. */
GKM_API int64_t gkm_lmer_first_bad_base(const int8_t* bases, int64_t n);
/* Index of the first of the n + 1 bounds that falls below its predecessor (or 0) or above n_codes, or -1. */
GKM_API int64_t gkm_lmer_first_bad_bound(const int64_t* bounds, int64_t n, int64_t n_codes);
/* The L-mer codes of n texts, text i being bases [bounds[i], bounds[i + 1]) (0..3, -1 not ACGT), one after another:
 * max(len - L + 1, 0) codes a text, two bits a base with the first most significant, -1 where an L-mer covers a base
 * of -1. -1 (codes untouched) for bad arguments or an n_codes other than their count. */
GKM_API int gkm_lmer_codes(const int8_t* bases, int64_t n_bases, const int64_t* bounds, int64_t n, int L,
                           int32_t* codes, int64_t n_codes, int nthreads);
/* table (4**L values) becomes W table, W[u][v] = weights[mismatches(u, v)] (0 from n_weights on), on nthreads
 * threads; 0, or -1 (table untouched) for bad arguments or exhausted memory. */
GKM_API int gkm_lmer_table_transform(double* table, int L, const double* weights, int n_weights, int nthreads);
/* Adds amounts[i] at each valid code of [bounds[i], bounds[i + 1]) (and, with use_rc, at its reverse complement);
 * the result does not depend on nthreads. 0, or -1 (table untouched) for bad arguments. */
GKM_API int gkm_lmer_table_add(double* table, int L, const int32_t* codes, int64_t n_codes, const int64_t* bounds,
                               int64_t n, const double* amounts, int use_rc, int nthreads);
/* out[i]: sum, left to right, of the table over the valid codes of [starts[i], stops[i]); -1 (out untouched) for
 * bad arguments. */
GKM_API int gkm_lmer_table_sums(const double* table, int L, const int32_t* codes, int64_t n_codes,
                                const int64_t* starts, const int64_t* stops, int64_t n, int nthreads, double* out);
/* Which runs hold each L-mer: owners[offsets[u], offsets[u + 1]) names run i once per valid code u of it, in run
 * order; with use_rc, u and its reverse complement share the list at the lesser code (the other's is empty).
 * offsets holds 4**L + 1 values, owners one per valid code; the result does not depend on nthreads. -1 for bad
 * arguments or a wrong n_owners. */
GKM_API int gkm_lmer_owners(int L, const int32_t* codes, int64_t n_codes, const int64_t* bounds, int64_t n,
                            int use_rc, int64_t* offsets, int32_t* owners, int64_t n_owners, int nthreads);
/* The table gkm_lmer_table_add gives a zeroed table, bit for bit, from lists of gkm_lmer_owners with the same
 * use_rc: table[u] = sum, in list order, of amounts[owner] over u's list. -1 (table untouched) for bad arguments. */
GKM_API int gkm_lmer_table_of_owners(double* table, int L, const int64_t* offsets, const int32_t* owners,
                                     int64_t n_owners, const double* amounts, int64_t n, int use_rc, int nthreads);
/* out[i]: self-norm of the L-mer codes [bounds[i], bounds[i + 1]), d = n_weights - 1, as a sequence's sqnorm. */
GKM_API int gkm_lmer_norms(const int32_t* codes, int64_t n_codes, const int64_t* bounds, int64_t n, int L,
                           const double* weights, int n_weights, int use_rc, int nthreads, double* out);
/* out[w]: self-norm of codes [w * shift, w * shift + lmers_per_window) for w < n_windows. */
GKM_API int gkm_lmer_sliding_norms(const int32_t* codes, int64_t n_codes, int L, const double* weights,
                                   int n_weights, int use_rc, int64_t lmers_per_window, int64_t shift,
                                   int64_t n_windows, double* out);
/* out[b * n + i]: self-norm of bases (0..3, -1 not ACGT) with base i replaced by b. */
GKM_API int gkm_lmer_mutant_norms(const int8_t* bases, int64_t n, int L, const double* weights, int n_weights,
                                  int use_rc, double* out);

#ifdef __cplusplus
}
#endif

#endif /* GKMKERN_H */
