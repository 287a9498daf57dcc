/* The one place where a failed core call becomes a Python exception, from the
 * reason the core recorded rather than a guess. */
#include "binding.h"

void* raise_core_failure(const char* failed, PyObject* refused_as, const char* refusal)
{
    switch (gkm_last_status()) {
    case GKM_ENOMEM:
        PyErr_Format(PyExc_MemoryError, "%s: out of memory", failed);
        break;
    case GKM_EINVAL:
        PyErr_SetString(refused_as, refusal != NULL ? refusal : failed);
        break;
    default:
        PyErr_SetString(PyExc_RuntimeError, failed);
        break;
    }
    return NULL;
}
