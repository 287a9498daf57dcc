// Owner lists: for each L-mer, the runs that hold it, built once so that a
// table of per-run amounts is read from short lists rather than scattered
// over 4**L entries, free of races between threads.
//
// With reverse complements an L-mer and its complement hold the same runs:
// they share one list, kept at the lesser code, so the lists hold one entry
// per valid code and one read fills both entries of the table.
#include "gkm_internal.h"

#include <omp.h>

#include <algorithm>

namespace {

// Lists a thread reads at a time, taken in turns: with reverse complements
// the lists sit mostly at low codes, so equal halves would not be equal work.
constexpr int64_t LIST_CHUNK = 1024;

// The code whose list holds an L-mer: itself, or with reverse complements
// the lesser of it and its complement.
inline uint32_t list_code(uint32_t code, int L, bool use_rc)
{
    if (!use_rc) return code;
    return std::min(code, lmer_reverse_complement(code, L));
}

// Calls visit(code, run) for every valid code of every run, in run order.
template <class Visit>
void each_code(const int32_t* codes, const int64_t* bounds, int64_t n, Visit visit)
{
    for (int64_t i = 0; i < n; i++)
        for (int64_t c = bounds[i]; c < bounds[i + 1]; c++)
            if (codes[c] >= 0) visit((uint32_t)codes[c], (int32_t)i);
}

int64_t valid_codes(const int32_t* codes, int64_t n_codes, int nthreads)
{
    int64_t valid = 0;
#pragma omp parallel for num_threads(nthreads) schedule(static) reduction(+ : valid)
    for (int64_t c = 0; c < n_codes; c++) valid += codes[c] >= 0;
    return valid;
}

// The calling thread's equal share [low, high) of [0, size).
struct share {
    uint64_t low, high;
};

share my_share(uint64_t size)
{
    const uint64_t t = (uint64_t)omp_get_thread_num(), threads = (uint64_t)omp_get_num_threads();
    return {size * t / threads, size * (t + 1) / threads};
}

// The calling thread's lists [low, high) of the size in all: those that
// start within its equal share of the entries.
share my_lists(const int64_t* offsets, uint64_t size)
{
    const share entries = my_share((uint64_t)offsets[size]);
    const auto first_at = [&](uint64_t entry) {
        return (uint64_t)(std::lower_bound(offsets, offsets + size, (int64_t)entry) - offsets);
    };
    return {first_at(entries.low), entries.high == (uint64_t)offsets[size] ? size : first_at(entries.high)};
}

// offsets[u + 1] becomes the length of u's list: the count of code u, plus
// that of its complement at the lesser of the two (and 0 at the greater). A
// palindrome's list holds each occurrence once; its reader adds it twice.
void count_lists(const int32_t* codes, const int64_t* bounds, int64_t n, int L, bool use_rc, uint64_t size,
                 int64_t* offsets)
{
    const share mine = my_share(size);
    each_code(codes, bounds, n, [&](uint32_t code, int32_t) {
        if (code >= mine.low && code < mine.high) offsets[code + 1]++;
    });
    if (!use_rc) return;
#pragma omp barrier
#pragma omp for schedule(static)
    for (uint64_t u = 0; u < size; u++) {
        const uint32_t rc = lmer_reverse_complement((uint32_t)u, L);
        if (rc <= u) continue;
        offsets[u + 1] += offsets[rc + 1];
        offsets[rc + 1] = 0;
    }
}

}  // namespace

extern "C" int gkm_lmer_owners(int L, const int32_t* codes, int64_t n_codes, const int64_t* bounds, int64_t n,
                               int use_rc, int64_t* offsets, int32_t* owners, int64_t n_owners, int nthreads)
{
    if (L < 2 || L > GKM_MAX_L || n < 0 || n > INT32_MAX || n_codes < 0 || nthreads < 1 || (n_codes && !codes) ||
        !bounds || !offsets || (n_owners && !owners))
        return fail(GKM_EINVAL);
    if (first_bad_code(codes, n_codes, L, nthreads) >= 0 ||
        first_bad_bound(bounds, n, n_codes, nthreads) >= 0 || valid_codes(codes, n_codes, nthreads) != n_owners)
        return fail(GKM_EINVAL);
    const uint64_t size = uint64_t(1) << (2 * L);
    const bool rc = use_rc != 0;
    // A counting sort: each thread counts the codes of a range of the table,
    // then deals out the runs of the lists that hold an equal share of the
    // entries, in run order, so every list names its runs in ascending order
    // whatever the thread count.
    std::fill(offsets, offsets + size + 1, 0);
#pragma omp parallel num_threads(nthreads)
    {
        count_lists(codes, bounds, n, L, rc, size, offsets);
#pragma omp barrier
#pragma omp single
        for (uint64_t u = 0; u < size; u++) offsets[u + 1] += offsets[u];
        const share lists = my_lists(offsets, size);
#pragma omp barrier
        each_code(codes, bounds, n, [&](uint32_t code, int32_t run) {
            const uint32_t u = list_code(code, L, rc);
            if (u >= lists.low && u < lists.high) owners[offsets[u]++] = run;
        });
    }
    // Dealing moved each start to the next list's: shift them back.
    std::copy_backward(offsets, offsets + size, offsets + size + 1);
    offsets[0] = 0;
    return 0;
}

extern "C" int gkm_lmer_table_of_owners(double* table, int L, const int64_t* offsets, const int32_t* owners,
                                        int64_t n_owners, const double* amounts, int64_t n, int use_rc, int nthreads)
{
    if (!table || L < 2 || L > GKM_MAX_L || !offsets || n < 0 || n > INT32_MAX || nthreads < 1 ||
        (n_owners && !owners) || (n && !amounts))
        return fail(GKM_EINVAL);
    const int64_t size = int64_t(1) << (2 * L);
    if (offsets[0] != 0 || offsets[size] != n_owners || first_bad_bound(offsets, size, n_owners, nthreads) >= 0 ||
        first_outside<int32_t>(owners, n_owners, 0, (int32_t)n, nthreads) >= 0)
        return fail(GKM_EINVAL);
    const bool rc = use_rc != 0;
#pragma omp parallel for num_threads(nthreads) schedule(static, LIST_CHUNK)
    for (int64_t u = 0; u < size; u++) {
        const uint32_t partner = rc ? lmer_reverse_complement((uint32_t)u, L) : (uint32_t)u;
        if (partner < u) continue;  // filled from the partner's list
        double sum = 0.0;
        if (rc && partner == u) {
            // A palindrome is its own complement: each occurrence adds twice,
            // as adding it at the code and at its complement does.
            for (int64_t j = offsets[u]; j < offsets[u + 1]; j++) {
                sum += amounts[owners[j]];
                sum += amounts[owners[j]];
            }
        } else {
            for (int64_t j = offsets[u]; j < offsets[u + 1]; j++) sum += amounts[owners[j]];
        }
        table[u] = sum;
        table[partner] = sum;
    }
    return 0;
}
