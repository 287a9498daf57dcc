// The L-mer codes of many texts at once, as the L-mer tables read them:
// two bits a base, the first base most significant, -1 for an L-mer that
// covers a base other than ACGT.
#include "gkm_internal.h"

#include <vector>

namespace {

// Codes of the len - L + 1 L-mers of one text's bases (0..3, -1 not ACGT):
// a rolling code, and a count of the ACGT bases in a row, which leaves out
// every L-mer that covers another base.
void text_lmer_codes(const int8_t* bases, int64_t len, int L, int32_t* out)
{
    const uint32_t mask = (uint32_t(1) << (2 * L)) - 1;
    uint32_t code = 0;
    int64_t clean = 0;
    for (int64_t i = 0; i < len; i++) {
        code = ((code << 2) | ((uint32_t)bases[i] & 3u)) & mask;
        clean = bases[i] < 0 ? 0 : clean + 1;
        if (i >= L - 1) out[i - L + 1] = clean >= L ? (int32_t)code : -1;
    }
}

}  // namespace

extern "C" int gkm_lmer_codes(const int8_t* bases, int64_t n_bases, const int64_t* bounds, int64_t n, int L,
                              int32_t* codes, int64_t n_codes, int nthreads)
{
    if (L < 2 || L > GKM_MAX_L || n < 0 || n_bases < 0 || n_codes < 0 || nthreads < 1 || !bounds ||
        (n_bases && !bases) || (n_codes && !codes))
        return fail(GKM_EINVAL);
    if (first_bad_base(bases, n_bases, nthreads) >= 0 || first_bad_bound(bounds, n, n_bases, nthreads) >= 0)
        return fail(GKM_EINVAL);
    return fail_safely([&] {
        // Where each text's codes start: a text shorter than L has none.
        std::vector<int64_t> starts((size_t)n + 1, 0);
        for (int64_t i = 0; i < n; i++)
            starts[i + 1] = starts[i] + std::max<int64_t>(bounds[i + 1] - bounds[i] - L + 1, 0);
        if (starts[n] != n_codes) return fail(GKM_EINVAL);
#pragma omp parallel for num_threads(nthreads) schedule(dynamic, 256)
        for (int64_t i = 0; i < n; i++)
            text_lmer_codes(bases + bounds[i], bounds[i + 1] - bounds[i], L, codes + starts[i]);
        return 0;
    });
}
