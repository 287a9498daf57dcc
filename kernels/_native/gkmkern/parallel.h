// OpenMP regions whose threads allocate: per-thread scratch, and one failure
// flag that turns exhausted memory anywhere in the region into one
// std::bad_alloc after it. An exception must never leave a region: it would
// end the process.
#ifndef GKM_PARALLEL_H
#define GKM_PARALLEL_H

#include <algorithm>
#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>

// Set by any thread of a region whose work ran out of memory.
class region_failure {
public:
    // Calls work(); exhausted memory in it (an allocation, or a size beyond
    // what a vector can hold) sets the flag instead of propagating.
    template <class Work>
    void guard(Work&& work) noexcept
    {
        try {
            work();
        } catch (const std::bad_alloc&) {
            set();
        } catch (const std::length_error&) {
            set();
        }
    }

    bool failed() const
    {
        int value;
#pragma omp atomic read
        value = flag_;
        return value != 0;
    }

private:
    void set()
    {
#pragma omp atomic write
        flag_ = 1;
    }

    int flag_ = 0;
};

// Runs body(scratch, failure) on nthreads threads, each with its own scratch
// from make(). Every scratch is made before any body runs: when one cannot
// be, no body runs, so the caller's data stays untouched. body may hold
// orphaned worksharing loops and runs each piece of work through
// failure.guard. Throws std::bad_alloc after the region when any thread ran
// out of memory.
template <class Make, class Body>
void parallel_with_scratch(int nthreads, Make make, Body body)
{
    region_failure failure;
#pragma omp parallel num_threads(nthreads)
    {
        std::optional<decltype(make())> scratch;
        failure.guard([&] { scratch.emplace(make()); });
#pragma omp barrier
        if (!failure.failed()) body(*scratch, failure);
    }
    if (failure.failed()) throw std::bad_alloc();
}

// The scratch of a region whose threads need none.
struct no_scratch {
};
inline no_scratch make_no_scratch() { return {}; }

// Items of per_item bytes that a budget of bytes holds: at least 1 and at
// most `most`.
inline size_t items_within(size_t budget, size_t per_item, size_t most)
{
    return std::max<size_t>(1, std::min<size_t>(most, budget / std::max<size_t>(per_item, 1)));
}

#endif  // GKM_PARALLEL_H
