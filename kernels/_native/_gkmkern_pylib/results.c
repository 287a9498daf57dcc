/* Where an evaluation's values go: into the caller's out buffer (any
 * writable C-contiguous float64 buffer of exactly the result's shape), or into
 * a buffer of ours that becomes nested lists of floats. */
#include "binding.h"

#include <string.h>
#include <unistd.h>

/* Largest size to ask for: more than the machine's memory can never be had,
 * and asking anyway lets the system's out-of-memory killer end the process
 * instead of raising MemoryError. */
static size_t physical_memory(void)
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return (size_t)-1;
    return (size_t)pages * (size_t)page_size;
}

/* Bytes that a list result of count floats costs: our buffer, one float
 * object per value and the lists' slots. */
static int list_result_fits(Py_ssize_t count)
{
    const size_t per_value = sizeof(double) + sizeof(PyFloatObject) + sizeof(PyObject*);
    return (size_t)count <= physical_memory() / per_value;
}

static int shape_count(int ndim, const Py_ssize_t* shape, Py_ssize_t* count)
{
    Py_ssize_t n = 1;
    for (int i = 0; i < ndim; i++) {
        if (shape[i] < 0 || (shape[i] != 0 && n > PY_SSIZE_T_MAX / shape[i])) return -1;
        n *= shape[i];
    }
    *count = n;
    return 0;
}

/* The out argument, checked before anything is written to it. */
static int open_out_buffer(result_t* r, PyObject* out)
{
    if (buffer_hold(&r->view, out, "out", &FLOAT64_ITEMS, 1) < 0) return -1;
    if (buffer_check_shape(&r->view, "out", r->ndim, r->shape) < 0) {
        PyBuffer_Release(&r->view);
        return -1;
    }
    r->out = out;
    r->data = r->view.buf;
    return 0;
}

int result_open(result_t* r, PyObject* out, int ndim, const Py_ssize_t* shape)
{
    memset(r, 0, sizeof *r);
    r->ndim = ndim;
    memcpy(r->shape, shape, sizeof(Py_ssize_t) * (size_t)ndim);
    Py_ssize_t count;
    if (shape_count(ndim, shape, &count) < 0) {
        PyErr_NoMemory();
        return -1;
    }
    if (out != NULL && out != Py_None) return open_out_buffer(r, out);
    if (!list_result_fits(count)) {
        PyErr_NoMemory();
        return -1;
    }
    r->data = PyMem_New(double, count > 0 ? count : 1);
    if (r->data == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* result_close(result_t* r, int ok)
{
    PyObject* value = NULL;
    if (r->out != NULL) {
        PyBuffer_Release(&r->view);
        if (ok) {
            Py_INCREF(r->out);
            value = r->out;
        }
    } else {
        if (ok) {
            value = r->ndim == 2 ? flat_to_2d_list(r->data, r->shape[0], r->shape[1])
                                 : flat_to_3d_list(r->data, r->shape[0], r->shape[1], r->shape[2]);
        }
        PyMem_Free(r->data);
    }
    memset(r, 0, sizeof *r);
    return value;
}
