// Why a call failed, sizes that must not overflow, and how a call turns
// exhausted memory into its failure result with nothing escaping to C.
#ifndef GKM_FAILURES_H
#define GKM_FAILURES_H

#include "gkmkern.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>

// Records why the calling thread's current call fails (gkm_last_status);
// returns -1, the failure result of the calls that return int.
int fail(gkm_status_t why);
// The same for the calls whose failure result is null.
template <class T>
T* fail_null(gkm_status_t why)
{
    fail(why);
    return nullptr;
}

// a * b as size_t, or false when the product overflows.
bool checked_size(size_t a, size_t b, size_t* out);
// a * b * c doubles, as a count and in bytes, fit in size_t; count receives it.
bool doubles_fit(size_t a, size_t b, size_t c, size_t* count);

// Sets n doubles to 0.0: what a call that fails after it began writing leaves.
inline void zero_fill(double* out, size_t n)
{
    std::fill(out, out + n, 0.0);
}

// Runs call() and returns its result; an exception becomes `failed` with its
// reason recorded: GKM_ENOMEM for exhausted memory or a size beyond what a
// vector can hold, GKM_EINTERNAL for anything else.
template <class Call, class Result>
Result run_guarded(Call call, Result failed)
{
    try {
        return call();
    } catch (const std::bad_alloc&) {
        fail(GKM_ENOMEM);
    } catch (const std::length_error&) {
        fail(GKM_ENOMEM);
    } catch (...) {
        fail(GKM_EINTERNAL);
    }
    return failed;
}

// An evaluation that returns 0 or -1 (having recorded its reason), guarded.
template <class Eval>
int fail_safely(Eval eval)
{
    return run_guarded(eval, -1);
}

// A creation that returns a new record or null (having recorded its reason), guarded.
template <class Make>
auto create_safely(Make make) -> decltype(make())
{
    return run_guarded(make, decltype(make())(nullptr));
}

// The same for an evaluation that writes n doubles at out: a failure leaves
// them all zeros, whatever it had written before, so that no part of a
// result outlives a failed call.
template <class Eval>
int fail_zeroing(double* out, size_t n, Eval eval)
{
    const int rc = fail_safely(eval);
    if (rc != 0) zero_fill(out, n);
    return rc;
}

#endif  // GKM_FAILURES_H
