// The failure reason of each thread's last failed call.
#include "gkm_internal.h"

namespace {

// Per thread: the binding reads it on the thread that made the call, while
// other threads call the core on other kernels.
thread_local gkm_status_t last_status = GKM_OK;

}  // namespace

int fail(gkm_status_t why)
{
    last_status = why;
    return -1;
}

extern "C" gkm_status_t gkm_last_status(void) { return last_status; }
