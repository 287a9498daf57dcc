/* The lock of a kernel object: one call at a time on it, while the core runs
 * without the GIL so that threads using different kernels run at once. */
#include "binding.h"

int kernel_lock_create(kernel_lock_t* lock)
{
    lock->owner = 0;
    lock->handle = PyThread_allocate_lock();
    if (lock->handle == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

void kernel_lock_destroy(kernel_lock_t* lock)
{
    if (lock->handle != NULL) PyThread_free_lock(lock->handle);
    lock->handle = NULL;
}

int lock_kernel(kernel_lock_t* lock, const char* type_name)
{
    const unsigned long me = PyThread_get_thread_ident();
    /* A call made from inside one of this object's calls (a finaliser run by
     * the garbage collector, say) would wait for itself forever. */
    if (lock->owner == me) {
        PyErr_Format(PyExc_RuntimeError, "%s object is already in use by this thread", type_name);
        return -1;
    }
    /* Waiting with the GIL held would block the holder, which needs the GIL
     * back before it can let go. */
    if (!PyThread_acquire_lock(lock->handle, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(lock->handle, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    lock->owner = me;
    return 0;
}

void unlock_kernel(kernel_lock_t* lock)
{
    lock->owner = 0;
    PyThread_release_lock(lock->handle);
}
