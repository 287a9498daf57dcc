// Checks of the large arrays a call is handed: the index of the first bad
// value, found a block at a time without branches and across threads, since
// these checks guard calls made once per solver iteration on tens of
// millions of values.
#ifndef GKM_ARRAY_CHECKS_H
#define GKM_ARRAY_CHECKS_H

#include <algorithm>
#include <cstdint>

// The least i < n for which bad(i), or -1; bad only reads.
template <class Bad>
int64_t first_bad_index(int64_t n, int nthreads, Bad bad)
{
    constexpr int64_t CHECK_BLOCK = 4096;
    int64_t first = n;
#pragma omp parallel for num_threads(nthreads) schedule(static) reduction(min : first)
    for (int64_t start = 0; start < n; start += CHECK_BLOCK) {
        const int64_t stop = std::min(n, start + CHECK_BLOCK);
        int any = 0;
        for (int64_t i = start; i < stop; i++) any |= bad(i);
        if (!any) continue;
        for (int64_t i = start; i < stop; i++)
            if (bad(i)) {
                first = std::min(first, i);
                break;
            }
    }
    return first < n ? first : -1;
}

// Index of the first value outside [low, high), or -1.
template <class T>
int64_t first_outside(const T* values, int64_t n, T low, T high, int nthreads)
{
    return first_bad_index(n, nthreads, [=](int64_t i) { return (values[i] < low) | (values[i] >= high); });
}

// Index of the first L-mer code outside [-1, 4**L) (-1: an L-mer left out), or -1.
inline int64_t first_bad_code(const int32_t* codes, int64_t n, int L, int nthreads)
{
    return first_outside<int32_t>(codes, n, -1, int32_t(1) << (2 * L), nthreads);
}

// Index of the first base code outside [-1, 3] (-1: not ACGT), or -1.
inline int64_t first_bad_base(const int8_t* bases, int64_t n, int nthreads)
{
    return first_outside<int8_t>(bases, n, -1, 4, nthreads);
}

// Index of the first of n + 1 bounds below its predecessor (or 0) or above
// limit, or -1.
inline int64_t first_bad_bound(const int64_t* bounds, int64_t n, int64_t limit, int nthreads)
{
    return first_bad_index(n + 1, nthreads, [=](int64_t i) {
        return (bounds[i] < (i ? bounds[i - 1] : 0)) | (bounds[i] > limit);
    });
}

#endif  // GKM_ARRAY_CHECKS_H
