// L-mer codes: mismatches between them, one code or four lanes at a time,
// and reverse complements.
#ifndef GKM_LMER_CODES_H
#define GKM_LMER_CODES_H

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

// Mismatched bases of two L-mer codes, one bit each (the low bit of each base).
inline uint32_t mismatch_bits(uint32_t a, uint32_t b)
{
    const uint32_t x = a ^ b;
    return (x | (x >> 1)) & 0x55555555u;
}

// Mismatches between two L-mer codes.
inline int lmer_mismatches(uint32_t a, uint32_t b) { return __builtin_popcount(mismatch_bits(a, b)); }

// The code of an L-mer's reverse complement (L <= 16): complementing a base
// flips both its bits, and reversing the 2-bit groups of the whole word
// brings the L bases to its top, in reverse order. Branch-free, since the
// owner lists and the norms take it for every L-mer.
inline uint32_t lmer_reverse_complement(uint32_t code, int L)
{
    uint32_t x = ~code;
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    return __builtin_bswap32(x) >> (32 - 2 * L);
}

// Four L-mer codes at once, in whatever vector registers the target has.
typedef uint32_t lmer_quad __attribute__((vector_size(16)));

inline lmer_quad load_quad(const uint32_t* codes)
{
    lmer_quad q;
    memcpy(&q, codes, sizeof q);
    return q;
}

// Mismatched bases of a against each lane, one bit each.
inline lmer_quad mismatch_bits(uint32_t a, lmer_quad b)
{
    const lmer_quad x = b ^ a;
    return (x | (x >> 1)) & 0x55555555u;
}

// Bit k set when lane k of flags (all ones or all zeros per lane) is set.
inline int lane_bits(lmer_quad flags)
{
#if defined(__SSE2__)
    return _mm_movemask_ps(_mm_castsi128_ps((__m128i)flags));
#else
    return (int)((flags[0] & 1) | (flags[1] & 2) | (flags[2] & 4) | (flags[3] & 8));
#endif
}

#endif  // GKM_LMER_CODES_H
