// Failure reasons of each thread's last failed call, and sizes checked against overflow.
#include "gkm_internal.h"

namespace {

// Per thread: the binding reads it on the thread that made the call, while
// other threads call the core on other kernels.
thread_local gkm_status_t last_status = GKM_OK;

// a * b * c as size_t, or false when the product overflows.
bool checked_size3(size_t a, size_t b, size_t c, size_t* out)
{
    size_t ab;
    return checked_size(a, b, &ab) && checked_size(ab, c, out);
}

}  // namespace

int fail(gkm_status_t why)
{
    last_status = why;
    return -1;
}

extern "C" gkm_status_t gkm_last_status(void) { return last_status; }

bool checked_size(size_t a, size_t b, size_t* out) { return !__builtin_mul_overflow(a, b, out); }

bool doubles_fit(size_t a, size_t b, size_t c, size_t* count)
{
    size_t bytes;
    return checked_size3(a, b, c, count) && checked_size(*count, sizeof(double), &bytes);
}
