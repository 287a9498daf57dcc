// Encoded sequences: the record, their L-mer codes and self-norms.
#ifndef GKM_SEQUENCES_H
#define GKM_SEQUENCES_H

#include "kernel_base.h"
#include "lmer_codes.h"

#include <cmath>
#include <vector>

struct gkm_sequence_t {
    char* sid;
    int32_t seqlen;
    int32_t nkmers;   // seqlen - L + 1 for the L it was encoded for
    uint8_t* seq;     // bases, A = 0, C = 1, G = 2, T = 3
    uint8_t* masked;  // nonzero where the text held no ACGT base; null when it held none
    double sqnorm;
};

// The sequence was encoded for this base's word length: evaluations that
// take its L-mer count and norm as given refuse any other.
bool sequence_fits_base(const gkm_kernel_base_t* base, const gkm_sequence_t* seq);

// L-mer codes (two bits a base, first base most significant) of bases
// [start, start + n + L - 1) of s: fwd[i] is the forward L-mer starting at
// start + i, rc[i] (when rc is not null) the reverse complement of that same
// L-mer. An L-mer covering a masked base gets GKM_NO_LMER.
void sequence_lmers(const gkm_sequence_t* s, int L, int start, int n, uint32_t* fwd, uint32_t* rc);

// The L-mers of a whole sequence, or of a stretch of it.
struct lmer_span {
    std::vector<uint32_t> fwd;
    std::vector<uint32_t> rc;
    void load(const gkm_sequence_t* s, int L, int start, int n, bool with_rc);
};



// Square root of a self-kernel value; 0 when negative (a NaN passes).
inline double norm_of(double value) { return value < 0 ? 0.0 : sqrt(value); }

// The self-norm of n L-mers with unit weights (GKM_NO_LMER left out), from
// the profile weights[0..d]: pairs counted as exact integers, so any way of
// reaching the same counts gives the same bits.
double unit_self_norm(int d, const double* weights, const uint32_t* fwd, const uint32_t* rc, int n);

// The self-norm sqrt(K(x, x)) of n L-mers, each forward one (fwd) against
// every forward one and, when rc is not null, every reverse-complement one
// (rc[i] covers the bases of fwd[i]). Unit weights when w is null; otherwise
// w[i] weighs both L-mers covering the bases of fwd[i]. Allocates nothing.
double lmers_self_norm(const gkm_kernel_base_t* base, const uint32_t* fwd, const uint32_t* rc, int n,
                       const double* w);

// The same under several weightings, weights[c * n + i], into norms[c]: the
// pairs within d mismatches are found once, a bounded batch at a time, and
// summed per weighting in the order lmers_self_norm sums them; throws
// std::bad_alloc.
void lmers_self_norms(const gkm_kernel_base_t* base, const uint32_t* fwd, const uint32_t* rc, int n,
                      const double* weights, int n_weightings, double* norms);

#endif  // GKM_SEQUENCES_H
