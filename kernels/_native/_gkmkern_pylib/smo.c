/* smo_solve: the dense SMO solver of one SVM working set on the caller's
 * float64 buffers; alpha and grad are updated in place. */
#include "binding.h"

#include <stdint.h>

enum { ARG_K, ARG_Y, ARG_C, ARG_ALPHA, ARG_GRAD, N_ARGS };

static const char* const arg_names[N_ARGS] = {"K", "y", "C", "alpha", "grad"};

/* The array arguments' buffers, each held while its flag is set. */
typedef struct {
    Py_buffer views[N_ARGS];
    int held[N_ARGS];
    Py_ssize_t q;
} smo_buffers_t;

static void release_buffers(smo_buffers_t* b)
{
    for (int a = 0; a < N_ARGS; a++) {
        if (b->held[a]) PyBuffer_Release(&b->views[a]);
        b->held[a] = 0;
    }
}

/* Holds argument a's float64 buffer (writable for alpha and grad); its shape is checked by the caller. */
static int hold_buffer(smo_buffers_t* b, PyObject* obj, int a)
{
    if (float64_buffer_get(&b->views[a], obj, arg_names[a], a == ARG_ALPHA || a == ARG_GRAD) < 0) return -1;
    b->held[a] = 1;
    return 0;
}

static int check_layout(const smo_buffers_t* b, int a, int ndim, const Py_ssize_t* shape)
{
    return float64_buffer_check_layout(&b->views[a], arg_names[a], ndim, shape);
}

/* y's length is the working set's size q; K is (q, q) or flat (q * q,), the other vectors (q,). */
static int hold_all(smo_buffers_t* b, PyObject* const objs[N_ARGS])
{
    if (hold_buffer(b, objs[ARG_Y], ARG_Y) < 0) return -1;
    if (b->views[ARG_Y].ndim != 1) {
        PyErr_SetString(PyExc_ValueError, "y must be one-dimensional");
        return -1;
    }
    b->q = b->views[ARG_Y].shape[0];
    /* q * q indexes K in the core's size_t arithmetic and the count fits its int. */
    if (b->q > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "y is too long for a working set");
        return -1;
    }
    for (int a = ARG_Y; a < N_ARGS; a++)
        if ((a != ARG_Y && hold_buffer(b, objs[a], a) < 0) || check_layout(b, a, 1, &b->q) < 0) return -1;
    if (hold_buffer(b, objs[ARG_K], ARG_K) < 0) return -1;
    const Py_ssize_t square[2] = {b->q, b->q}, flat = b->q * b->q;
    return b->views[ARG_K].ndim == 1 ? check_layout(b, ARG_K, 1, &flat) : check_layout(b, ARG_K, 2, square);
}

static int overlap(const Py_buffer* u, const Py_buffer* v)
{
    uintptr_t a = (uintptr_t)u->buf, b = (uintptr_t)v->buf;
    return u->len > 0 && v->len > 0 && a < b + (uintptr_t)v->len && b < a + (uintptr_t)u->len;
}

/* The solver writes alpha and grad while it reads every argument: a shared
 * byte would make it read its own half-done updates. */
static int check_no_aliasing(const smo_buffers_t* b)
{
    for (int w = ARG_ALPHA; w < N_ARGS; w++) {
        for (int a = 0; a < w; a++) {
            if (overlap(&b->views[w], &b->views[a])) {
                PyErr_Format(PyExc_ValueError, "%s shares memory with %s", arg_names[w], arg_names[a]);
                return -1;
            }
        }
    }
    return 0;
}

/* None stands for the default, enough sweeps over a large working set. */
static int parse_max_iter(PyObject* obj, Py_ssize_t q, long* max_iter)
{
    if (obj == NULL || obj == Py_None) {
        *max_iter = q > 100000 ? 100 * (long)q : 10000000L;
        return 0;
    }
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "max_iter must be an int or None, not %.100s", Py_TYPE(obj)->tp_name);
        return -1;
    }
    *max_iter = PyLong_AsLong(obj);
    return *max_iter == -1 && PyErr_Occurred() ? -1 : 0;
}

static PyObject* smo_solve(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"K", "y", "C", "alpha", "grad", "eps", "max_iter", NULL};
    PyObject* objs[N_ARGS];
    PyObject* max_iter_obj = NULL;
    double eps = 1e-3;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOO|$dO", kwlist, &objs[ARG_K], &objs[ARG_Y], &objs[ARG_C],
                                     &objs[ARG_ALPHA], &objs[ARG_GRAD], &eps, &max_iter_obj))
        return NULL;
    smo_buffers_t b = {0};
    long max_iter = 0, iterations = -1;
    if (hold_all(&b, objs) == 0 && check_no_aliasing(&b) == 0 && parse_max_iter(max_iter_obj, b.q, &max_iter) == 0) {
        const int q = (int)b.q;
        const double* K = b.views[ARG_K].buf;
        const double* y = b.views[ARG_Y].buf;
        const double* C = b.views[ARG_C].buf;
        double* alpha = b.views[ARG_ALPHA].buf;
        double* grad = b.views[ARG_GRAD].buf;
        const char* problem = gkm_smo_check(q, K, y, C, alpha, grad, eps, max_iter);
        if (problem != NULL) {
            PyErr_SetString(PyExc_ValueError, problem);
        } else {
            /* The held buffers cannot be resized or freed meanwhile. */
            WITHOUT_GIL(iterations = gkm_smo_solve(q, K, y, C, alpha, grad, eps, max_iter));
            if (iterations < 0) PyErr_SetString(PyExc_RuntimeError, "gkm_smo_solve failed");
        }
    }
    release_buffers(&b);
    return iterations < 0 ? NULL : PyLong_FromLong(iterations);
}

PyDoc_STRVAR(smo_solve_doc,
             "smo_solve(K, y, C, alpha, grad, *, eps=1e-3, max_iter=None) -> int\n"
             "\n"
             "Solve the SVM dual on one working set of q variables in place.\n"
             "\n"
             "Minimises 1/2 a^T Q a + p^T a with Q[t, s] = y_t y_s K[t, s] subject to\n"
             "y^T a fixed and 0 <= a_t <= C_t, by SMO with second-order working set\n"
             "selection, as libsvm does. The linear term is implicit in grad, the\n"
             "gradient Q a + p of the full problem restricted to the set.\n"
             "\n"
             "Parameters\n"
             "----------\n"
             "K : float64 buffer, shape (q, q) or (q * q,)\n"
             "    Kernel block, C-contiguous, symmetric positive semi-definite.\n"
             "y : float64 buffer, shape (q,)\n"
             "    Labels, each +1 or -1.\n"
             "C : float64 buffer, shape (q,)\n"
             "    Upper bounds, finite and positive.\n"
             "alpha : writable float64 buffer, shape (q,)\n"
             "    Feasible start, 0 <= alpha <= C; holds the solution on return.\n"
             "grad : writable float64 buffer, shape (q,)\n"
             "    Gradient at alpha; holds the gradient at the solution on return.\n"
             "eps : float, optional\n"
             "    Stop when the largest violation m - M falls below eps (>= 0).\n"
             "max_iter : int or None, optional\n"
             "    Most pair updates; None for max(10,000,000, 100 q).\n"
             "\n"
             "Returns\n"
             "-------\n"
             "int\n"
             "    Pair updates done; equal to max_iter when the limit may have cut the\n"
             "    solver short of eps.\n"
             "\n"
             "Raises\n"
             "------\n"
             "TypeError\n"
             "    An array is not a float64 buffer (or not writable for alpha, grad).\n"
             "ValueError\n"
             "    Wrong shape, not C-contiguous, read-only alpha or grad, alpha or grad\n"
             "    sharing memory with another array, or invalid values; the message\n"
             "    names the argument. Nothing is written then.");

PyMethodDef smo_methods[] = {
    {"smo_solve", (PyCFunction)(void (*)(void))smo_solve, METH_VARARGS | METH_KEYWORDS, smo_solve_doc},
    {NULL, NULL, 0, NULL},
};
