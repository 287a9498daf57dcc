// Encoded DNA sequences: both strands, L-mer ids, per-L-mer weights and the
// self-norm.
#include "gkm_internal.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

int base_code(char c)
{
    switch (toupper((unsigned char)c)) {
    case 'A': return 1;
    case 'C': return 2;
    case 'G': return 3;
    case 'T': return 4;
    default: return 0;
    }
}

// Walks the L codes from the root of the complete four-way tree; the node
// reached, minus the internal node count, is the L-mer's id.
int32_t lmer_id(const uint8_t* s, int L)
{
    int64_t x = 0;
    for (int i = 0; i < L; i++) x = 4 * x + s[i];
    const int64_t node_count = ((int64_t(1) << (2 * L)) - 1) / 3;
    return (int32_t)(x - node_count);
}

struct sequence_deleter {
    void operator()(gkm_sequence_t* s) const { gkm_sequence_free(s); }
};

template <class T>
T* alloc_array(size_t n)
{
    return static_cast<T*>(malloc(sizeof(T) * (n ? n : 1)));
}

}  // namespace

namespace {

// Encodes text for base. A character other than ACGT (either case) fails the
// encoding, or, with mask_invalid, is stored as A and every L-mer covering it
// on either strand gets weight 0, so that it counts nowhere.
gkm_sequence_t* encode(const gkm_kernel_base_t* base, const char* text, const char* sid, bool mask_invalid)
{
    if (!base || !text) return nullptr;
    const int L = base->param.L;
    const size_t n = strlen(text);
    if (n < (size_t)L) return nullptr;

    std::unique_ptr<gkm_sequence_t, sequence_deleter> s(static_cast<gkm_sequence_t*>(calloc(1, sizeof(gkm_sequence_t))));
    if (!s) return nullptr;
    if (sid && !(s->sid = strdup(sid))) return nullptr;
    const int len = n > (size_t)GKM_MAX_SEQLEN ? GKM_MAX_SEQLEN : (int)n;
    s->seqlen = len;
    if (!(s->seq = alloc_array<uint8_t>(len)) || !(s->seq_rc = alloc_array<uint8_t>(len))) return nullptr;
    const int nk = len - L + 1;
    s->nkmers = nk;
    if (!(s->kmerids = alloc_array<int32_t>(nk)) || !(s->kmerids_rc = alloc_array<int32_t>(nk)) ||
        !(s->wt = alloc_array<double>(nk)) || !(s->wt_rc = alloc_array<double>(nk)))
        return nullptr;
    for (int l = 0; l < nk; l++) s->wt[l] = 1.0;
    for (int i = 0; i < len; i++) {
        int c = base_code(text[i]);
        if (!c) {
            if (!mask_invalid) return nullptr;
            c = 1;
            for (int l = std::max(0, i - L + 1); l <= std::min(i, nk - 1); l++) s->wt[l] = 0.0;
        }
        s->seq[i] = (uint8_t)c;
    }
    for (int j = 0; j < len; j++) s->seq_rc[j] = (uint8_t)(5 - s->seq[len - 1 - j]);
    for (int l = 0; l < nk; l++) {
        s->kmerids[l] = lmer_id(s->seq + l, L);
        s->kmerids_rc[l] = lmer_id(s->seq_rc + l, L);
        s->wt_rc[l] = s->wt[nk - 1 - l];
    }
    s->sqnorm = compute_sqnorm(base, s.get());
    return s.release();
}

}  // namespace

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
    free(seq->seq_rc);
    free(seq->wt);
    free(seq->wt_rc);
    free(seq->kmerids);
    free(seq->kmerids_rc);
    free(seq);
}

extern "C" int gkm_sequence_length(const gkm_sequence_t* seq) { return seq->seqlen; }

extern "C" const char* gkm_sequence_sid(const gkm_sequence_t* seq) { return seq->sid; }

extern "C" double gkm_sequence_sqnorm(const gkm_sequence_t* seq) { return seq->sqnorm; }

int sequence_to_twobitids(const gkm_kernel_base_t* base, const gkm_sequence_t* d, int* twobitids)
{
    const int L = base->param.L;
    const int nk = d->nkmers;
    const uint32_t mask = (uint32_t)((uint64_t(1) << (2 * L)) - 1);
    const uint32_t wmask = (uint32_t)base->mmcnt_mask;
    const bool two_words = base->mmcnt_nlookups == 2;
    int cnt = 0;
    for (const uint8_t* s : {d->seq, d->seq_rc}) {
        uint32_t id = 0;
        for (int i = 0; i < L - 1; i++) id = id * 4 + (uint32_t)(s[i] - 1);
        for (int i = L - 1; i < d->seqlen; i++) {
            id = ((id * 4) & mask) | (uint32_t)(s[i] - 1);
            twobitids[cnt] = (int)(id & wmask);
            if (two_words) twobitids[2 * nk + cnt] = (int)((id >> 16) & wmask);
            cnt++;
        }
    }
    return cnt;
}

// Quadratic in the L-mer count with one or two table lookups per pair; the
// work areas are fixed by the 2047-base cap, so nothing is allocated.
double compute_sqnorm(const gkm_kernel_base_t* base, const gkm_sequence_t* da)
{
    const int d = base->param.d;
    if (d < 0) return 0.0;
    const int nk = da->nkmers;
    if (nk <= 0 || nk > GKM_MAX_SEQLEN) return 0.0;
    int ids[8192];
    double w[4096];
    double prof[GKM_N_WEIGHTS] = {0};
    sequence_to_twobitids(base, da, ids);
    memcpy(w, da->wt, sizeof(double) * nk);
    const bool rc = base->param.use_rc != 0;
    if (rc) memcpy(w + nk, da->wt_rc, sizeof(double) * nk);
    const int n_partners = rc ? 2 * nk : nk;
    const uint8_t* tab = base->mmcnt_tab;
    const int* hi = ids + 2 * nk;
    const bool two_words = base->mmcnt_nlookups == 2;
    for (int i = 0; i < nk; i++) {
        const int lo_i = ids[i];
        const int hi_i = two_words ? hi[i] : 0;
        const double wi = w[i];
        for (int j = 0; j < n_partners; j++) {
            int m = tab[lo_i ^ ids[j]];
            if (m > d) continue;
            if (two_words) {
                m += tab[hi_i ^ hi[j]];
                if (m > d) continue;
            }
            prof[m] += w[j] * wi;
        }
    }
    const double sum = reduce_profile(base->weights, d, [&](int m) { return prof[m]; });
    return sum < 0 ? 0.0 : sqrt(sum);
}
