// Encoded DNA sequences: their bases, which of them were not ACGT, their
// L-mer codes, and self-norms.
#include "gkm_internal.h"

#include <cctype>
#include <cstdlib>

namespace {

// A = 0, C = 1, G = 2, T = 3; -1 for anything else.
int base_value(char c)
{
    switch (toupper((unsigned char)c)) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T': return 3;
    default: return -1;
    }
}

struct sequence_deleter {
    void operator()(gkm_sequence_t* s) const { gkm_sequence_free(s); }
};

// Encodes text for base. A character other than ACGT (either case) fails the
// encoding or, with mask_invalid, is stored as A and marked masked, so that
// every L-mer covering it counts nowhere.
gkm_sequence_t* encode(const gkm_kernel_base_t* base, const char* text, const char* sid, bool mask_invalid)
{
    if (!base || !text) return fail_null<gkm_sequence_t>(GKM_EINVAL);
    const int L = base->param.L;
    const size_t n = strlen(text);
    if (n < (size_t)L) return fail_null<gkm_sequence_t>(GKM_EINVAL);

    std::unique_ptr<gkm_sequence_t, sequence_deleter> s(static_cast<gkm_sequence_t*>(calloc(1, sizeof(gkm_sequence_t))));
    if (!s) return fail_null<gkm_sequence_t>(GKM_ENOMEM);
    if (sid && !(s->sid = strdup(sid))) return fail_null<gkm_sequence_t>(GKM_ENOMEM);
    const int len = n > (size_t)GKM_MAX_SEQLEN ? GKM_MAX_SEQLEN : (int)n;
    s->seqlen = len;
    s->nkmers = len - L + 1;
    if (!(s->seq = static_cast<uint8_t*>(malloc((size_t)len)))) return fail_null<gkm_sequence_t>(GKM_ENOMEM);
    for (int i = 0; i < len; i++) {
        const int b = base_value(text[i]);
        if (b >= 0) {
            s->seq[i] = (uint8_t)b;
            continue;
        }
        if (!mask_invalid) return fail_null<gkm_sequence_t>(GKM_EINVAL);
        if (!s->masked && !(s->masked = static_cast<uint8_t*>(calloc((size_t)len, 1))))
            return fail_null<gkm_sequence_t>(GKM_ENOMEM);
        s->seq[i] = 0;
        s->masked[i] = 1;
    }
    return create_safely([&] {
        lmer_span span;
        span.load(s.get(), L, 0, s->nkmers, base->param.use_rc != 0);
        s->sqnorm = lmers_self_norm(base, span.fwd.data(), span.rc.empty() ? nullptr : span.rc.data(), s->nkmers,
                                    nullptr);
        return s.release();
    });
}

// The norm of a self-pair profile.
double profile_norm(const gkm_kernel_base_t* base, const double* profile)
{
    return norm_of(reduce_profile(base->weights, base->param.d, [&](int m) { return profile[m]; }));
}

// Pairs within d mismatches, as the self-norm visits them: each forward
// L-mer i against every forward L-mer, then (when rc is given) against the
// reverse-complement L-mers in reverse-strand order.
template <class Visit>
void for_each_self_pair(int d, const uint32_t* fwd, const uint32_t* rc, int n, Visit visit)
{
    for (int i = 0; i < n; i++) {
        const uint32_t a = fwd[i];
        if (a == GKM_NO_LMER) continue;
        for (int j = 0; j < n; j++) {
            if (fwd[j] == GKM_NO_LMER) continue;
            const int m = lmer_mismatches(a, fwd[j]);
            if (m <= d) visit(i, j, m);
        }
        if (!rc) continue;
        for (int p = n - 1; p >= 0; p--) {
            if (rc[p] == GKM_NO_LMER) continue;
            const int m = lmer_mismatches(a, rc[p]);
            if (m <= d) visit(i, p, m);
        }
    }
}

// Per lane, all ones when f or r may lie within d mismatches of a: their
// mismatch bits, with the lowest d cleared, leave nothing. The flag is exact
// for L-mer codes; a masked one may be flagged, and is refused where counted.
inline lmer_quad near_lanes(uint32_t a, lmer_quad f, lmer_quad r, int d)
{
    lmer_quad yf = mismatch_bits(a, f), yr = mismatch_bits(a, r);
    for (int k = 0; k < d; k++) {
        yf &= yf - 1;
        yr &= yr - 1;
    }
    return (lmer_quad)(yf == 0) | (lmer_quad)(yr == 0);
}

}  // namespace

// Unit weights: every pair counts 1, so the counts are exact integers and the
// order of summing them cannot matter; the pairs (i, j) and (j, i) count the
// same on both strands (a mismatch count is the same for both reverse
// complements), so each unordered pair is visited once and counted twice.
// Pairs within d mismatches are rare: four L-mers at a time are tested for
// any, and only those that pass are counted.
double unit_self_norm(int d, const double* weights, const uint32_t* fwd, const uint32_t* rc, int n)
{
    uint64_t counts[GKM_N_WEIGHTS + 1] = {0};
    const auto count_pair = [&](uint32_t a, int j) {
        if (fwd[j] == GKM_NO_LMER) return;
        const int m = lmer_mismatches(a, fwd[j]);
        if (m <= d) counts[m] += 2;
        if (rc) {
            const int mr = lmer_mismatches(a, rc[j]);
            if (mr <= d) counts[mr] += 2;
        }
    };
    for (int i = 0; i < n; i++) {
        const uint32_t a = fwd[i];
        if (a == GKM_NO_LMER) continue;
        counts[0]++;
        if (rc) counts[std::min(lmer_mismatches(a, rc[i]), d + 1)]++;
        int j = i + 1;
        for (; j + 4 <= n; j += 4) {
            const lmer_quad flags = near_lanes(a, load_quad(fwd + j), load_quad((rc ? rc : fwd) + j), d);
            for (int near = lane_bits(flags); near; near &= near - 1) count_pair(a, j + __builtin_ctz(near));
        }
        for (; j < n; j++) count_pair(a, j);
    }
    return norm_of(reduce_profile(weights, d, [&](int m) { return (double)counts[m]; }));
}

extern "C" gkm_sequence_t* gkm_sequence_create(const void* kernel_base, const char* text, const char* sid)
{
    return encode(static_cast<const gkm_kernel_base_t*>(kernel_base), text, sid, false);
}

extern "C" gkm_sequence_t* gkm_sequence_create_masked(const void* kernel_base, const char* text, const char* sid)
{
    return encode(static_cast<const gkm_kernel_base_t*>(kernel_base), text, sid, true);
}

extern "C" void gkm_sequence_free(gkm_sequence_t* seq)
{
    if (!seq) return;
    free(seq->sid);
    free(seq->seq);
    free(seq->masked);
    free(seq);
}

extern "C" int gkm_sequence_length(const gkm_sequence_t* seq) { return seq->seqlen; }

extern "C" const char* gkm_sequence_sid(const gkm_sequence_t* seq) { return seq->sid; }

extern "C" double gkm_sequence_sqnorm(const gkm_sequence_t* seq) { return seq->sqnorm; }

bool sequence_fits_base(const gkm_kernel_base_t* base, const gkm_sequence_t* seq)
{
    return seq && seq->nkmers >= 1 && seq->nkmers == seq->seqlen - base->param.L + 1;
}

void sequence_lmers(const gkm_sequence_t* s, int L, int start, int n, uint32_t* fwd, uint32_t* rc)
{
    const uint32_t mask = (uint32_t)((uint64_t(1) << (2 * L)) - 1);
    const int top = 2 * (L - 1);
    const uint8_t* bases = s->seq + start;
    const uint8_t* masked = s->masked ? s->masked + start : nullptr;
    uint32_t f = 0, r = 0;
    int clean = 0;  // bases since the last masked one
    for (int i = 0; i < n + L - 1; i++) {
        const uint32_t b = bases[i];
        f = ((f << 2) | b) & mask;
        r = (r >> 2) | ((3 - b) << top);
        clean = (masked && masked[i]) ? 0 : clean + 1;
        const int at = i - (L - 1);
        if (at < 0) continue;
        const bool ok = clean >= L;
        fwd[at] = ok ? f : GKM_NO_LMER;
        if (rc) rc[at] = ok ? r : GKM_NO_LMER;
    }
}

void lmer_span::load(const gkm_sequence_t* s, int L, int start, int n, bool with_rc)
{
    fwd.resize((size_t)std::max(n, 0));
    rc.resize(with_rc ? fwd.size() : 0);
    if (n > 0) sequence_lmers(s, L, start, n, fwd.data(), with_rc ? rc.data() : nullptr);
}

double lmers_self_norm(const gkm_kernel_base_t* base, const uint32_t* fwd, const uint32_t* rc, int n,
                       const double* w)
{
    if (n <= 0) return 0.0;
    if (!w) return unit_self_norm(base->param.d, base->weights, fwd, rc, n);
    double profile[GKM_N_WEIGHTS] = {0};
    for_each_self_pair(base->param.d, fwd, rc, n, [&](int i, int j, int m) { profile[m] += w[j] * w[i]; });
    return profile_norm(base, profile);
}

void lmers_self_norms(const gkm_kernel_base_t* base, const uint32_t* fwd, const uint32_t* rc, int n,
                      const double* weights, int n_weightings, double* norms)
{
    const int d = base->param.d;
    // The pairs are gathered a bounded batch at a time (a run of one base
    // holds millions of them), each weighting's profile taking every batch
    // in the order the pairs were found.
    struct pair_at {
        int i, j, m;
    };
    std::vector<double> profiles((size_t)n_weightings * GKM_N_WEIGHTS, 0.0);
    std::vector<pair_at> pairs;
    pairs.reserve(PAIR_BATCH);
    const auto add_batch = [&] {
        for (int c = 0; c < n_weightings; c++) {
            const double* w = weights + (size_t)c * n;
            double* profile = profiles.data() + (size_t)c * GKM_N_WEIGHTS;
            for (const pair_at& p : pairs) profile[p.m] += w[p.j] * w[p.i];
        }
        pairs.clear();
    };
    for_each_self_pair(d, fwd, rc, n, [&](int i, int j, int m) {
        pairs.push_back({i, j, m});
        if (pairs.size() == PAIR_BATCH) add_batch();
    });
    add_batch();
    for (int c = 0; c < n_weightings; c++) norms[c] = profile_norm(base, profiles.data() + (size_t)c * GKM_N_WEIGHTS);
}
