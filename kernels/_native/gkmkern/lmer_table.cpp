// L-mer weight tables: a fitted model as one weight per L-mer code, the
// kernel's weight matrix applied to such a table, and the self-norms of
// L-mer runs (sequences, sliding windows, single-base mutants) that
// normalise the scores read from it.
//
// Norms count ordered L-mer pairs by mismatch class in exact integers and
// reduce the counts as a sequence's self-norm does, so any way of reaching
// the same counts gives bit-identical norms.
#include "gkm_internal.h"

#include <omp.h>

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr int MAX_WEIGHTS = 12;

bool lmer_args_ok(int L, int n_weights)
{
    return L >= 2 && L <= GKM_MAX_L && n_weights >= 1 && n_weights <= MAX_WEIGHTS;
}

// ---- Walsh-Hadamard transform ----------------------------------------------

// Low index bits are transformed a block at a time, a block staying in L2;
// the high bits a gathered slab of columns at a time, of the same size. The
// gather avoids walking rows that lie a power of two apart, which all fall
// into the same cache sets.
constexpr int BLOCK_BITS = 14;
constexpr size_t BLOCK = size_t(1) << BLOCK_BITS;
constexpr size_t SLAB = BLOCK;

// Two butterfly stages at once: index bits log2(h) and log2(h) + 1, for every
// group of four elements h apart, over x[0, n).
void wht_stage_pair(double* x, size_t n, size_t h)
{
    for (size_t i = 0; i < n; i += 4 * h) {
        for (size_t j = i; j < i + h; j++) {
            const double a = x[j], b = x[j + h], c = x[j + 2 * h], e = x[j + 3 * h];
            const double s0 = a + b, d0 = a - b, s1 = c + e, d1 = c - e;
            x[j] = s0 + s1;
            x[j + h] = d0 + d1;
            x[j + 2 * h] = s0 - s1;
            x[j + 3 * h] = d0 - d1;
        }
    }
}

// Unnormalised transform over the index bits of x[0, n) from log2(h) up;
// n / h is a power of four.
void wht_bits_from(double* x, size_t n, size_t h)
{
    for (; h < n; h *= 4) wht_stage_pair(x, n, h);
}

// Unnormalised transform of x[0, n), n = 4**L, in place, by the threads of
// the enclosing parallel region, each with a slab of SLAB doubles (none when
// n <= BLOCK). Each value goes through the same operations in the same order
// whatever the thread count.
void wht_in_region(double* x, size_t n, std::vector<double>& slab)
{
    if (n <= BLOCK) {
#pragma omp single
        wht_bits_from(x, n, 1);
        return;
    }
    const size_t rows = n / BLOCK;
    const size_t width = SLAB / rows;
#pragma omp for schedule(static)
    for (size_t b = 0; b < rows; b++) wht_bits_from(x + b * BLOCK, BLOCK, 1);
#pragma omp for schedule(static)
    for (size_t col = 0; col < BLOCK; col += width) {
        for (size_t r = 0; r < rows; r++) memcpy(&slab[r * width], x + r * BLOCK + col, width * sizeof(double));
        wht_bits_from(slab.data(), rows * width, width);
        for (size_t r = 0; r < rows; r++) memcpy(x + r * BLOCK + col, &slab[r * width], width * sizeof(double));
    }
}

// ---- eigenvalues of the weight matrix ---------------------------------------

// Krawtchouk polynomial of the four-letter alphabet: the transform of the
// indicator of "m mismatches" at a frequency with j non-zero bases.
long long krawtchouk(int L, int m, int j)
{
    long long sum = 0, pow3 = 1;
    for (int i = m; i >= 0; i--) {
        // Binomials of at most 12 are exact in dCombinations' doubles.
        const long long term = pow3 * (long long)dCombinations(j, i) * (long long)dCombinations(L - j, m - i);
        sum += (i % 2) ? -term : term;
        pow3 *= 3;
    }
    return sum;
}

// lambda[j] / 4**L for j = 0..L: the matrix is diagonal in the transform's
// basis, its eigenvalue depending only on how many bases of the frequency
// are non-zero; the factor undoes the second, unnormalised transform.
void scaled_eigenvalues(int L, const double* weights, int n_weights, double* lambda)
{
    const double scale = ldexp(1.0, -2 * L);
    for (int j = 0; j <= L; j++) {
        double sum = 0.0;
        for (int m = 0; m < n_weights && m <= L; m++) sum += weights[m] * (double)krawtchouk(L, m, j);
        lambda[j] = sum * scale;
    }
}

inline int nonzero_bases(size_t h) { return __builtin_popcount(mismatch_bits((uint32_t)h, 0)); }

// ---- mismatch profiles -------------------------------------------------------

constexpr int LANES = 4;

// Mismatch count of a against each lane.
inline lmer_quad lane_mismatches(uint32_t a, lmer_quad v)
{
    lmer_quad y = mismatch_bits(a, v);
    y = (y & 0x33333333u) + ((y >> 2) & 0x33333333u);
    y = (y + (y >> 4)) & 0x0f0f0f0fu;
    return (y * 0x01010101u) >> 24;
}

// Up to this many counted classes, pairs within reach are rare enough among
// random L-mers that a block of lanes is first tested for any.
constexpr int SPARSE_CLASSES = 4;

// counts[m] += number of codes in v[0, n) at m <= D mismatches from a.
template <int D>
void add_profile(uint32_t a, const uint32_t* v, size_t n, int64_t* counts)
{
    lmer_quad acc[D + 1] = {};
    size_t j = 0;
    for (; j + LANES <= n; j += LANES) {
        const lmer_quad m = lane_mismatches(a, load_quad(v + j));
        if (D < SPARSE_CLASSES && !lane_bits((lmer_quad)(m <= (uint32_t)D))) continue;
        for (int k = 0; k <= D; k++) acc[k] -= (lmer_quad)(m == (uint32_t)k);
    }
    for (int k = 0; k <= D; k++)
        for (int l = 0; l < LANES; l++) counts[k] += acc[k][l];
    for (; j < n; j++) {
        const int m = lmer_mismatches(a, v[j]);
        if (m <= D) counts[m]++;
    }
}

typedef void (*profile_fn)(uint32_t, const uint32_t*, size_t, int64_t*);

// One loop per largest counted class, so that the class loop unrolls.
constexpr profile_fn PROFILE_FNS[MAX_WEIGHTS] = {
    add_profile<0>, add_profile<1>, add_profile<2>, add_profile<3>, add_profile<4>,  add_profile<5>,
    add_profile<6>, add_profile<7>, add_profile<8>, add_profile<9>, add_profile<10>, add_profile<11>,
};

// L-mer counts by mismatch class, 0..d, of a set of ordered pairs.
struct mismatch_counts {
    int64_t c[MAX_WEIGHTS] = {};
};

// The reduction of a sequence's self-norm.
double norm_of_counts(const mismatch_counts& counts, const double* weights, int d)
{
    return norm_of(reduce_profile(weights, d, [&](int m) { return (double)counts.c[m]; }));
}

// The L-mers of a run of codes on the strands that count as partners, the
// left-out ones dropped: the i-th kept L-mer holds its forward code at
// codes[k * i] and, with reverse complements (k = 2), that code's reverse
// complement right after it, so that the partners within any stretch of
// positions are one contiguous run of codes.
struct lmer_strands {
    std::vector<uint32_t> codes;
    std::vector<size_t> kept_before;  // per position, and one past the end
    size_t k;
    int d;
    profile_fn add;

    // Throws std::bad_alloc.
    lmer_strands(const int32_t* fwd, size_t n, int L, bool use_rc, int d)
        : kept_before(n + 1), k(use_rc ? 2 : 1), d(d), add(PROFILE_FNS[d])
    {
        for (size_t i = 0; i < n; i++) kept_before[i + 1] = kept_before[i] + (fwd[i] >= 0);
        codes.resize(k * kept_before[n]);
        for (size_t i = 0, at = 0; i < n; i++) {
            if (fwd[i] < 0) continue;
            codes[at++] = (uint32_t)fwd[i];
            if (use_rc) codes[at++] = lmer_reverse_complement((uint32_t)fwd[i], L);
        }
    }

    bool kept(size_t pos) const { return kept_before[pos + 1] > kept_before[pos]; }

    // counts += sign * (pairs that kept L-mer i makes, on both sides, with
    // the kept L-mers [lo, hi), which hold i): each pair with another L-mer
    // is ordered both ways, and i with itself once per strand.
    void add_pairs_of(size_t i, size_t lo, size_t hi, int64_t sign, mismatch_counts& counts) const
    {
        const uint32_t f = codes[k * i];
        mismatch_counts run;
        add(f, codes.data() + k * lo, k * (hi - lo), run.c);
        for (int m = 0; m <= d; m++) run.c[m] *= 2;
        run.c[0]--;
        if (k == 2) {
            const int m = lmer_mismatches(f, codes[k * i + 1]);
            if (m <= d) run.c[m]--;
        }
        for (int m = 0; m <= d; m++) counts.c[m] += sign * run.c[m];
    }

    // Ordered pairs among the L-mers of positions [from, to).
    mismatch_counts pairs_within(size_t from, size_t to) const
    {
        mismatch_counts counts;
        const size_t hi = kept_before[to];
        for (size_t i = kept_before[from]; i < hi; i++) add_pairs_of(i, i, hi, 1, counts);
        return counts;
    }

    // counts of the window [from, from + len) become those of the window one
    // position further on: the leaving L-mer's pairs out, the entering one's in.
    void slide_by_one(size_t from, size_t len, mismatch_counts& counts) const
    {
        const size_t enter = from + len;
        if (kept(from)) add_pairs_of(kept_before[from], kept_before[from], kept_before[enter], -1, counts);
        if (kept(enter)) add_pairs_of(kept_before[enter], kept_before[from + 1], kept_before[enter + 1], 1, counts);
    }
};

// Windows [w * shift, w * shift + len): slid one L-mer at a time while that
// is cheaper than counting each window afresh (about len**2 / 4 codes
// against 2 * len per step).
void sliding_norms(const lmer_strands& strands, size_t len, size_t shift, size_t n_windows, const double* weights,
                   double* out)
{
    const bool slide = 4 * shift < len;
    mismatch_counts counts;
    for (size_t w = 0; w < n_windows; w++) {
        const size_t start = w * shift;
        if (w == 0 || !slide)
            counts = strands.pairs_within(start, start + len);
        else
            for (size_t from = start - shift; from < start; from++) strands.slide_by_one(from, len, counts);
        out[w] = norm_of_counts(counts, weights, strands.d);
    }
}

// ---- single-base mutants -----------------------------------------------------

inline int base_shift(int L, int p) { return 2 * (L - 1 - p); }

inline uint32_t with_base(uint32_t code, int L, int p, int b)
{
    const int sh = base_shift(L, p);
    return (code & ~(3u << sh)) | ((uint32_t)b << sh);
}

// The L-mers of a base sequence with its non-ACGT bases (-1) read as A. A
// substitution makes an L-mer valid when the only non-ACGT base it covers
// is the one replaced.
struct lmer_sites {
    int L;
    std::vector<uint32_t> code;
    std::vector<uint8_t> n_invalid;    // non-ACGT bases covered
    std::vector<uint8_t> invalid_at;   // offset of the last of them
    std::vector<int32_t> valid_codes;  // code, or -1 when it covers any

    // Throws std::bad_alloc.
    lmer_sites(const int8_t* bases, size_t n, int L)
        : L(L), code(n >= (size_t)L ? n - L + 1 : 0), n_invalid(code.size()), invalid_at(code.size()),
          valid_codes(code.size())
    {
        for (size_t a = 0; a < code.size(); a++) {
            for (int p = 0; p < L; p++) {
                const int b = bases[a + p];
                code[a] = (code[a] << 2) | (uint32_t)(b < 0 ? 0 : b);
                if (b < 0) {
                    n_invalid[a]++;
                    invalid_at[a] = (uint8_t)p;
                }
            }
            valid_codes[a] = n_invalid[a] ? -1 : (int32_t)code[a];
        }
    }

    size_t count() const { return code.size(); }
    bool valid_with_any_base_at(size_t a, int p) const
    {
        return n_invalid[a] == 0 || (n_invalid[a] == 1 && invalid_at[a] == p);
    }
};

// For each of the last L L-mers and each offset p: how many partners (the
// valid L-mers of the unmutated sequence, on both strands) lie at mo <= d
// mismatches outside p, by the partner's base at p. A substitution at p
// then needs no new scan: the partner mismatches at p or not.
class offset_histograms {
    int L_, d_;
    std::vector<int32_t> counts_;

    size_t at(size_t a, int p, int mo, int c) const
    {
        return ((((a % (size_t)L_) * L_ + p) * (d_ + 1) + mo) * 4) + c;
    }

    void count_partner(size_t a, uint32_t f, uint32_t v, int p_lo, int p_hi)
    {
        const uint32_t y = mismatch_bits(f, v);
        const int total = __builtin_popcount(y);
        for (int p = p_lo; p <= p_hi; p++) {
            const int sh = base_shift(L_, p);
            const int mo = total - (int)((y >> sh) & 1);
            if (mo <= d_) counts_[at(a, p, mo, (int)((v >> sh) & 3))]++;
        }
    }

  public:
    // Throws std::bad_alloc.
    offset_histograms(int L, int d) : L_(L), d_(d), counts_((size_t)L * L * (d + 1) * 4) {}

    // The tables of L-mer a, replacing those of L-mer a - L; only offsets at
    // which a substitution leaves a valid L-mer are counted.
    void fill(size_t a, const lmer_sites& sites, const lmer_strands& partners)
    {
        std::fill(counts_.begin() + at(a, 0, 0, 0), counts_.begin() + at(a, 0, 0, 0) + (size_t)L_ * (d_ + 1) * 4, 0);
        if (sites.n_invalid[a] > 1) return;
        const int p_lo = sites.n_invalid[a] ? sites.invalid_at[a] : 0;
        const int p_hi = sites.n_invalid[a] ? sites.invalid_at[a] : L_ - 1;
        const uint32_t f = sites.code[a];
        const uint32_t* v = partners.codes.data();
        const size_t n = partners.codes.size();
        const uint32_t limit = (uint32_t)d_ + 1;
        size_t j = 0;
        for (; j + LANES <= n; j += LANES) {
            const int near = lane_bits((lmer_quad)(lane_mismatches(f, load_quad(v + j)) <= limit));
            for (int lanes = near; lanes; lanes &= lanes - 1) count_partner(a, f, v[j + __builtin_ctz(lanes)], p_lo, p_hi);
        }
        for (; j < n; j++)
            if ((uint32_t)lmer_mismatches(f, v[j]) <= limit) count_partner(a, f, v[j], p_lo, p_hi);
    }

    // counts += factor * (partners of L-mer a with base b at offset p, by class).
    void add_partners(size_t a, int p, int b, int64_t factor, mismatch_counts& counts) const
    {
        for (int m = 0; m <= d_; m++) {
            int64_t n = counts_[at(a, p, m, b)];
            for (int c = 0; m > 0 && c < 4; c++)
                if (c != b) n += counts_[at(a, p, m - 1, c)];
            counts.c[m] += factor * n;
        }
    }
};

// The L-mers covering one base, forward and reverse complement.
struct lmer_group {
    uint32_t fwd[GKM_MAX_L], rc[GKM_MAX_L];
    int n = 0;
    void add(uint32_t code, int L)
    {
        fwd[n] = code;
        rc[n++] = lmer_reverse_complement(code, L);
    }
};

// counts += factor * (ordered pairs of an L-mer of a, forward, with one of b on either counted strand).
void add_group_pairs(const lmer_group& a, const lmer_group& b, int d, bool use_rc, int64_t factor,
                     mismatch_counts& counts)
{
    for (int x = 0; x < a.n; x++) {
        for (int y = 0; y < b.n; y++) {
            const int m = lmer_mismatches(a.fwd[x], b.fwd[y]);
            if (m <= d) counts.c[m] += factor;
            if (!use_rc) continue;
            const int mr = lmer_mismatches(a.fwd[x], b.rc[y]);
            if (mr <= d) counts.c[mr] += factor;
        }
    }
}

// The norms of the 4 * n single-base mutants, out[b * n + i]. A substitution
// at i changes only the L-mers covering i (the group C), so the unmutated
// counts are corrected by the pairs touching C: with P(X, Y) the ordered
// pairs from X to Y, which is symmetric, those are 2 P(C, all) - P(C, C) for
// either sequence, and P(C_new, all_new) = P(C_new, all_old) - P(C_new,
// C_old) + P(C_new, C_new), the first term read from the histograms.
class mutant_scan {
    const int8_t* bases_;
    size_t n_;
    int L_, d_;
    bool use_rc_;
    const double* weights_;
    lmer_sites sites_;
    lmer_strands partners_;
    offset_histograms hist_;
    mismatch_counts unmutated_;

    // Counts with the pairs touching C in the unmutated sequence removed;
    // old receives C's valid L-mers.
    mismatch_counts without_group(size_t i, size_t lo, size_t hi, lmer_group& old) const
    {
        mismatch_counts counts = unmutated_;
        for (size_t a = lo; a < hi; a++) {
            if (sites_.n_invalid[a]) continue;
            old.add(sites_.code[a], L_);
            hist_.add_partners(a, (int)(i - a), bases_[i], -2, counts);
        }
        add_group_pairs(old, old, d_, use_rc_, 1, counts);
        return counts;
    }

    double mutant_norm(size_t i, size_t lo, size_t hi, int b, const lmer_group& old, mismatch_counts counts) const
    {
        lmer_group fresh;
        for (size_t a = lo; a < hi; a++) {
            const int p = (int)(i - a);
            if (!sites_.valid_with_any_base_at(a, p)) continue;
            fresh.add(with_base(sites_.code[a], L_, p, b), L_);
            hist_.add_partners(a, p, b, 2, counts);
        }
        add_group_pairs(fresh, old, d_, use_rc_, -2, counts);
        add_group_pairs(fresh, fresh, d_, use_rc_, 1, counts);
        return norm_of_counts(counts, weights_, d_);
    }

  public:
    // Throws std::bad_alloc.
    mutant_scan(const int8_t* bases, size_t n, int L, const double* weights, int d, bool use_rc)
        : bases_(bases), n_(n), L_(L), d_(d), use_rc_(use_rc), weights_(weights), sites_(bases, n, L),
          partners_(sites_.valid_codes.data(), sites_.count(), L, use_rc, d), hist_(L, d),
          unmutated_(partners_.pairs_within(0, sites_.count()))
    {
    }

    void run(double* out)
    {
        const double unmutated_norm = norm_of_counts(unmutated_, weights_, d_);
        const size_t n_lmers = sites_.count();
        for (size_t i = 0; i < n_; i++) {
            if (i < n_lmers) hist_.fill(i, sites_, partners_);
            const size_t lo = i + 1 >= (size_t)L_ ? i + 1 - L_ : 0;
            const size_t hi = std::min(i + 1, n_lmers);
            lmer_group old;
            const mismatch_counts without = without_group(i, lo, hi, old);
            for (int b = 0; b < 4; b++)
                out[b * n_ + i] = b == bases_[i] ? unmutated_norm : mutant_norm(i, lo, hi, b, old, without);
        }
    }
};

// ---- adding runs to a table, and summing it over runs -----------------------

// Adds each run's amount at its valid codes (and their reverse complements)
// that fall within [low, high): a thread owns one such range of the table,
// so every entry receives its additions in run order whatever the thread
// count, and the table comes out bit-identical.
void add_runs_within(double* table, uint32_t low, uint32_t high, int L, const int32_t* codes, const int64_t* bounds,
                     int64_t n, const double* amounts, bool use_rc)
{
    for (int64_t i = 0; i < n; i++) {
        const double amount = amounts[i];
        if (amount == 0.0) continue;
        for (int64_t c = bounds[i]; c < bounds[i + 1]; c++) {
            if (codes[c] < 0) continue;
            const uint32_t code = (uint32_t)codes[c];
            if (code >= low && code < high) table[code] += amount;
            if (!use_rc) continue;
            const uint32_t rc = lmer_reverse_complement(code, L);
            if (rc >= low && rc < high) table[rc] += amount;
        }
    }
}

}  // namespace

extern "C" int64_t gkm_lmer_first_bad_code(const int32_t* codes, int64_t n, int L)
{
    return first_bad_code(codes, n, L, 1);
}

extern "C" int64_t gkm_lmer_first_bad_base(const int8_t* bases, int64_t n)
{
    return first_bad_base(bases, n, 1);
}

extern "C" int64_t gkm_lmer_first_bad_bound(const int64_t* bounds, int64_t n, int64_t n_codes)
{
    return first_bad_bound(bounds, n, n_codes, 1);
}

extern "C" int gkm_lmer_table_transform(double* table, int L, const double* weights, int n_weights, int nthreads)
{
    if (!table || !weights || !lmer_args_ok(L, n_weights) || nthreads < 1) return fail(GKM_EINVAL);
    const size_t n = size_t(1) << (2 * L);
    double lambda[GKM_MAX_L + 1];
    scaled_eigenvalues(L, weights, n_weights, lambda);
    const auto make_slab = [n] { return std::vector<double>(n <= BLOCK ? 0 : SLAB); };
    return fail_safely([&] {
        parallel_with_scratch(nthreads, make_slab, [&](std::vector<double>& slab, region_failure&) {
            wht_in_region(table, n, slab);
#pragma omp for schedule(static)
            for (size_t h = 0; h < n; h++) table[h] *= lambda[nonzero_bases(h)];
            wht_in_region(table, n, slab);
        });
        return 0;
    });
}

extern "C" int gkm_lmer_norms(const int32_t* codes, int64_t n_codes, const int64_t* bounds, int64_t n, int L,
                              const double* weights, int n_weights, int use_rc, int nthreads, double* out)
{
    if (!lmer_args_ok(L, n_weights) || n < 0 || n_codes < 0 || nthreads < 1 || !bounds || !weights ||
        (n_codes && !codes) || (n && !out))
        return fail(GKM_EINVAL);
    if (gkm_lmer_first_bad_code(codes, n_codes, L) >= 0 || gkm_lmer_first_bad_bound(bounds, n, n_codes) >= 0)
        return fail(GKM_EINVAL);
    int64_t longest = 0;
    for (int64_t i = 0; i < n; i++) longest = std::max(longest, bounds[i + 1] - bounds[i]);
    if (longest > INT32_MAX) return fail(GKM_EINVAL);
    // A code of -1 read unsigned is GKM_NO_LMER: each run is a sequence's
    // forward L-mers as a sequence's own self-norm takes them.
    const uint32_t* fwd = reinterpret_cast<const uint32_t*>(codes);
    const int d = n_weights - 1;
    const auto make_rc = [&] { return std::vector<uint32_t>(use_rc ? (size_t)longest : 0); };
    return fail_safely([&] {
        parallel_with_scratch(nthreads, make_rc, [&](std::vector<uint32_t>& rc, region_failure&) {
#pragma omp for schedule(dynamic, 1)
            for (int64_t i = 0; i < n; i++) {
                const uint32_t* run = fwd + bounds[i];
                const int len = (int)(bounds[i + 1] - bounds[i]);
                if (use_rc)
                    for (int j = 0; j < len; j++)
                        rc[j] = run[j] == GKM_NO_LMER ? GKM_NO_LMER : lmer_reverse_complement(run[j], L);
                out[i] = unit_self_norm(d, weights, run, use_rc ? rc.data() : nullptr, len);
            }
        });
        return 0;
    });
}

extern "C" int gkm_lmer_sliding_norms(const int32_t* codes, int64_t n_codes, int L, const double* weights,
                                      int n_weights, int use_rc, int64_t lmers_per_window, int64_t shift,
                                      int64_t n_windows, double* out)
{
    if (!lmer_args_ok(L, n_weights) || !weights || n_codes < 0 || lmers_per_window < 1 || shift < 1 ||
        n_windows < 0)
        return fail(GKM_EINVAL);
    if (n_windows == 0) return 0;
    if (!codes || !out || n_windows - 1 > (n_codes - lmers_per_window) / shift || lmers_per_window > n_codes)
        return fail(GKM_EINVAL);
    const int64_t used = (n_windows - 1) * shift + lmers_per_window;
    if (gkm_lmer_first_bad_code(codes, used, L) >= 0) return fail(GKM_EINVAL);
    return fail_safely([&] {
        const lmer_strands strands(codes, (size_t)used, L, use_rc != 0, n_weights - 1);
        sliding_norms(strands, (size_t)lmers_per_window, (size_t)shift, (size_t)n_windows, weights, out);
        return 0;
    });
}

extern "C" int gkm_lmer_mutant_norms(const int8_t* bases, int64_t n, int L, const double* weights, int n_weights,
                                     int use_rc, double* out)
{
    if (!lmer_args_ok(L, n_weights) || !weights || n < 0 || (n && (!bases || !out))) return fail(GKM_EINVAL);
    if (gkm_lmer_first_bad_base(bases, n) >= 0) return fail(GKM_EINVAL);
    return fail_safely([&] {
        mutant_scan(bases, (size_t)n, L, weights, n_weights - 1, use_rc != 0).run(out);
        return 0;
    });
}

extern "C" int gkm_lmer_table_add(double* table, int L, const int32_t* codes, int64_t n_codes, const int64_t* bounds,
                                  int64_t n, const double* amounts, int use_rc, int nthreads)
{
    if (!table || L < 2 || L > GKM_MAX_L || n < 0 || n_codes < 0 || nthreads < 1 || !bounds ||
        (n_codes && !codes) || (n && !amounts))
        return fail(GKM_EINVAL);
    if (gkm_lmer_first_bad_code(codes, n_codes, L) >= 0 || gkm_lmer_first_bad_bound(bounds, n, n_codes) >= 0)
        return fail(GKM_EINVAL);
    const uint64_t size = uint64_t(1) << (2 * L);
#pragma omp parallel num_threads(nthreads)
    {
        const uint64_t t = (uint64_t)omp_get_thread_num(), threads = (uint64_t)omp_get_num_threads();
        const uint32_t low = (uint32_t)(size * t / threads), high = (uint32_t)(size * (t + 1) / threads);
        add_runs_within(table, low, high, L, codes, bounds, n, amounts, use_rc != 0);
    }
    return 0;
}

extern "C" int gkm_lmer_table_sums(const double* table, int L, const int32_t* codes, int64_t n_codes,
                                   const int64_t* starts, const int64_t* stops, int64_t n, int nthreads, double* out)
{
    if (!table || L < 2 || L > GKM_MAX_L || n < 0 || n_codes < 0 || nthreads < 1 || (n_codes && !codes) ||
        (n && (!starts || !stops || !out)))
        return fail(GKM_EINVAL);
    if (first_bad_code(codes, n_codes, L, nthreads) >= 0 ||
        first_bad_index(n, nthreads, [=](int64_t i) {
            return (starts[i] < 0) | (stops[i] < starts[i]) | (stops[i] > n_codes);
        }) >= 0)
        return fail(GKM_EINVAL);
#pragma omp parallel for num_threads(nthreads) schedule(static)
    for (int64_t i = 0; i < n; i++) {
        double sum = 0.0;
        for (int64_t c = starts[i]; c < stops[i]; c++)
            if (codes[c] >= 0) sum += table[codes[c]];
        out[i] = sum;
    }
    return 0;
}
