/* The WeightedKernel type: L-mers weighted by their distance from a centre. */
#include "binding.h"

#include <limits.h>
#include <math.h>

static const char TYPE_NAME[] = "WeightedKernel";

/* The kernel, or NULL with RuntimeError when __init__ never succeeded. */
static gkm_weighted_kernel_t* WeightedKernel_kernel(WeightedKernelObject* self)
{
    if (self->kernel == NULL) return raise_not_initialized(TYPE_NAME);
    return self->kernel;
}

static void* WeightedKernel_base(WeightedKernelObject* self)
{
    return WeightedKernel_kernel(self) ? gkm_weighted_kernel_base(self->kernel) : NULL;
}

static int WeightedKernel_init(WeightedKernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"L", "k", "d", "weight_scheme", "use_rc", "pos_kernel",
                             "weight_gamma", "weight_sigma", "weight_peak", "nthreads", NULL};
    gkm_weighted_params_t params = {{10, 6, 3, GKM_WEIGHT_FULL, 0, 1}, GKM_POS_TRIANGULAR, 1.0, 50.0, 50.0};
    int pos_kernel = GKM_POS_TRIANGULAR;
    gkm_parameter_t* base = &params.base;
    /* Parsing runs the arguments' __index__ and __float__, which may initialise self: checked after it. */
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|iiiiiidddi", kwlist, &base->L, &base->k, &base->d,
                                     &base->weight_scheme, &base->use_rc, &pos_kernel, &params.weight_gamma,
                                     &params.weight_sigma, &params.weight_peak, &base->nthreads) ||
        reject_reinit(self->kernel, TYPE_NAME) < 0)
        return -1;
    base->use_rc = base->use_rc != 0;
    params.pos_kernel = (gkm_pos_kernel_t)pos_kernel;
    const char* problem = gkm_parameter_check(base);
    if (problem != NULL) {
        PyErr_SetString(PyExc_ValueError, problem);
        return -1;
    }
    self->kernel = gkm_weighted_kernel_create(&params);
    if (self->kernel == NULL) {
        raise_core_failure("gkm_weighted_kernel_create failed", PyExc_RuntimeError, NULL);
        return -1;
    }
    return 0;
}

/* The lock exists from the start, so every method can take it. */
static PyObject* WeightedKernel_new(PyTypeObject* type, PyObject* args, PyObject* kwds)
{
    WeightedKernelObject* self = (WeightedKernelObject*)PyType_GenericNew(type, args, kwds);
    if (self != NULL && kernel_lock_create(&self->lock) < 0) Py_CLEAR(self);
    return (PyObject*)self;
}

static void WeightedKernel_dealloc(WeightedKernelObject* self)
{
    gkm_weighted_kernel_destroy(self->kernel);
    kernel_lock_destroy(&self->lock);
    Py_TYPE(self)->tp_free((PyObject*)self);
}

static PyObject* WeightedKernel_add_sequence(WeightedKernelObject* self, PyObject* args, PyObject* kwds)
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_add_sequence(base, &self->lock, TYPE_NAME, args, kwds) : NULL;
}

/* Only marks the references complete: trees are built per evaluation, so
 * the GIL is kept. */
static PyObject* WeightedKernel_finalize(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = WeightedKernel_base(self);
    if (base == NULL || lock_kernel(&self->lock, TYPE_NAME) < 0) return NULL;
    gkm_kernel_base_finalize(base);
    unlock_kernel(&self->lock);
    Py_RETURN_NONE;
}

static PyObject* WeightedKernel_num_sequences(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_num_sequences(base, &self->lock, TYPE_NAME) : NULL;
}

static PyObject* WeightedKernel_weight(WeightedKernelObject* self, PyObject* args)
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_weight(base, args) : NULL;
}

static PyObject* WeightedKernel_weight_scheme(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_weight_scheme(base) : NULL;
}

static PyObject* WeightedKernel_use_rc(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_use_rc(base) : NULL;
}

static PyObject* WeightedKernel_pos_kernel(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    gkm_weighted_kernel_t* kernel = WeightedKernel_kernel(self);
    return kernel ? PyLong_FromLong(gkm_weighted_kernel_pos_kernel(kernel)) : NULL;
}

static PyObject* WeightedKernel_gamma(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    gkm_weighted_kernel_t* kernel = WeightedKernel_kernel(self);
    return kernel ? PyFloat_FromDouble(gkm_weighted_kernel_gamma(kernel)) : NULL;
}

static PyObject* WeightedKernel_sigma(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    gkm_weighted_kernel_t* kernel = WeightedKernel_kernel(self);
    return kernel ? PyFloat_FromDouble(gkm_weighted_kernel_sigma(kernel)) : NULL;
}

static PyObject* WeightedKernel_peak(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    gkm_weighted_kernel_t* kernel = WeightedKernel_kernel(self);
    return kernel ? PyFloat_FromDouble(gkm_weighted_kernel_peak(kernel)) : NULL;
}

/* ---- centred evaluation ------------------------------------------------ */

static const char OFFSETS_TYPE_ERROR[] = "offsets must be None, int, float, slice, or list/tuple of int/float";

/* Room for n centres (at least one slot, so an empty selection is still a
 * valid array); MemoryError when n does not fit the core's int count. */
static double* new_centre_array(Py_ssize_t n)
{
    double* centers = n <= INT_MAX ? PyMem_New(double, n > 0 ? n : 1) : NULL;
    if (centers == NULL) PyErr_NoMemory();
    return centers;
}

static double* one_centre(double centre, int* n_out)
{
    double* centers = new_centre_array(1);
    if (centers == NULL) return NULL;
    centers[0] = centre;
    *n_out = 1;
    return centers;
}

/* An offset as a double; ValueError naming it (item i of a list, or the
 * scalar when i < 0) when it is NaN or infinite: the weights around such a
 * centre would be meaningless, and the values silently 0.0. */
static int finite_offset(PyObject* obj, Py_ssize_t i, double* offset)
{
    *offset = PyFloat_AsDouble(obj);
    if (*offset == -1.0 && PyErr_Occurred()) return -1;
    if (isfinite(*offset)) return 0;
    if (i >= 0)
        PyErr_Format(PyExc_ValueError, "offsets[%zd] is not finite (%R)", i, obj);
    else
        PyErr_Format(PyExc_ValueError, "offsets is not finite (%R)", obj);
    return -1;
}

static double* scalar_centre(PyObject* offset_obj, double midpoint, int* n_out)
{
    double offset;
    if (finite_offset(offset_obj, -1, &offset) < 0) return NULL;
    return one_centre(midpoint + offset, n_out);
}

/* The slice selects L-mer start positions; each centre is that L-mer's midpoint. */
static double* slice_centres(PyObject* slice, int seqlen, int L, int* n_out)
{
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return NULL;
    Py_ssize_t nkmers = seqlen >= L ? (Py_ssize_t)seqlen - L + 1 : 0;
    Py_ssize_t count = PySlice_AdjustIndices(nkmers, &start, &stop, step);
    double* centers = new_centre_array(count);
    if (centers == NULL) return NULL;
    for (Py_ssize_t i = 0; i < count; i++)
        centers[i] = (double)(start + i * step) + (L - 1) * 0.5;
    *n_out = (int)count;
    return centers;
}

/* Items are read from a private tuple: converting one may run Python code
 * (__float__, __index__) that empties or refills the caller's list, and the
 * tuple keeps every item alive and the count fixed meanwhile. */
static double* list_centres(PyObject* offsets_obj, double midpoint, int* n_out)
{
    PyObject* items;
    if (PyList_Check(offsets_obj)) {
        items = PyList_AsTuple(offsets_obj);
        if (items == NULL) return NULL;
    } else {
        Py_INCREF(offsets_obj);
        items = offsets_obj;
    }
    double* centers = NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(items);
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "offsets list is empty");
        goto done;
    }
    centers = new_centre_array(n);
    if (centers == NULL) goto done;
    for (Py_ssize_t i = 0; i < n; i++) {
        double offset;
        if (finite_offset(PyTuple_GET_ITEM(items, i), i, &offset) < 0) {
            PyMem_Free(centers);
            centers = NULL;
            goto done;
        }
        centers[i] = midpoint + offset;
    }
    *n_out = (int)n;
done:
    Py_DECREF(items);
    return centers;
}

/* Centre positions for the offsets argument of self_eval and cross_eval:
 * scalars and list items are displacements from the sequence middle, a slice
 * picks L-mers. A new array (PyMem_Free it), or NULL with an exception. */
static double* resolve_offsets(PyObject* offsets_obj, int seqlen, int L, int* n_centers_out)
{
    const double midpoint = (seqlen - 1) * 0.5;
    *n_centers_out = 0;
    if (offsets_obj == NULL || offsets_obj == Py_None) return one_centre(midpoint, n_centers_out);
    if (PyLong_Check(offsets_obj) || PyFloat_Check(offsets_obj))
        return scalar_centre(offsets_obj, midpoint, n_centers_out);
    if (PySlice_Check(offsets_obj)) return slice_centres(offsets_obj, seqlen, L, n_centers_out);
    if (PyList_Check(offsets_obj) || PyTuple_Check(offsets_obj))
        return list_centres(offsets_obj, midpoint, n_centers_out);
    PyErr_SetString(PyExc_TypeError, OFFSETS_TYPE_ERROR);
    return NULL;
}

/* The core's centred values: queries against refs, or all pairs of queries
 * when refs is NULL. Touches no Python object. */
static int centred_values(const gkm_weighted_kernel_t* kernel, const seq_array_t* queries, const seq_array_t* refs,
                          const double* centers, int n_centers, double* out)
{
    if (refs == NULL)
        return gkm_weighted_kernel_eval_self(kernel, queries->seqs, queries->n, centers, n_centers, out);
    return gkm_weighted_kernel_eval_cross(kernel, queries->seqs, queries->n, refs->seqs, refs->n, centers, n_centers,
                                          out);
}

/* Result buffer, core call and result list of both methods, with the lock held. */
static PyObject* centred_result(WeightedKernelObject* self, const seq_array_t* queries, const seq_array_t* refs,
                                const double* centers, int n_centers, PyObject* out)
{
    const int n_cols = refs != NULL ? refs->n : queries->n;
    /* One centre drops the outer level. */
    const Py_ssize_t shape[3] = {n_centers, queries->n, n_cols};
    const int one = n_centers == 1;
    result_t result;
    if (result_open(&result, out, one ? 2 : 3, shape + one) < 0) return NULL;
    int rc;
    WITHOUT_GIL(rc = centred_values(self->kernel, queries, refs, centers, n_centers, result.data));
    if (rc != 0)
        raise_core_failure(refs != NULL ? "gkm_weighted_kernel_eval_cross failed" : "gkm_weighted_kernel_eval_self failed",
                           PyExc_RuntimeError, NULL);
    return result_close(&result, rc == 0);
}

/* self_eval and cross_eval; refs NULL means all pairs of queries (self_eval).
 * The centres follow the first query's length; they are resolved before the
 * lock is taken, since converting offsets may run Python code. */
static PyObject* eval_centred(WeightedKernelObject* self, const seq_array_t* queries, const seq_array_t* refs,
                              PyObject* offsets_obj, PyObject* out)
{
    kernel_params_t params;
    int n_centers;
    read_kernel_params(gkm_weighted_kernel_base(self->kernel), &params);
    double* centers = resolve_offsets(offsets_obj, gkm_sequence_length(queries->seqs[0]), params.L, &n_centers);
    if (centers == NULL) return NULL;
    PyObject* value = NULL;
    if (lock_kernel(&self->lock, TYPE_NAME) == 0) {
        value = centred_result(self, queries, refs, centers, n_centers, out);
        unlock_kernel(&self->lock);
    }
    PyMem_Free(centers);
    return value;
}

static PyObject* WeightedKernel_self_eval(WeightedKernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"seqs", "offsets", "out", NULL};
    PyObject* seqs_obj;
    PyObject* offsets_obj = NULL;
    PyObject* out = NULL;
    void* base = WeightedKernel_base(self);
    if (base == NULL || !PyArg_ParseTupleAndKeywords(args, kwds, "O|O$O", kwlist, &seqs_obj, &offsets_obj, &out))
        return NULL;
    seq_array_t seqs;
    if (build_seq_array(base, seqs_obj, &seqs) < 0) return NULL;
    PyObject* result = eval_centred(self, &seqs, NULL, offsets_obj, out);
    free_seq_array(&seqs);
    return result;
}

static PyObject* WeightedKernel_cross_eval(WeightedKernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"queries", "refs", "offsets", "out", NULL};
    PyObject* queries_obj;
    PyObject* refs_obj;
    PyObject* offsets_obj = NULL;
    PyObject* out = NULL;
    void* base = WeightedKernel_base(self);
    if (base == NULL ||
        !PyArg_ParseTupleAndKeywords(args, kwds, "OO|O$O", kwlist, &queries_obj, &refs_obj, &offsets_obj, &out))
        return NULL;
    seq_array_t queries, refs;
    if (build_seq_array(base, queries_obj, &queries) < 0) return NULL;
    if (build_seq_array(base, refs_obj, &refs) < 0) {
        free_seq_array(&queries);
        return NULL;
    }
    PyObject* result = eval_centred(self, &queries, &refs, offsets_obj, out);
    free_seq_array(&refs);
    free_seq_array(&queries);
    return result;
}

/* ---- window evaluation ------------------------------------------------- */

static const char WINDOW_KERNEL_FAILED[] = "weighted window_kernel failed";
static const char SLIDING_QUERY_FAILED[] = "weighted sliding_query failed";

static int weighted_window_matrices(const void* kernel, const gkm_sequence_t* const* seqs, int n,
                                    const window_geometry_t* geom, double* out)
{
    return gkm_weighted_kernel_window_kernel(kernel, seqs, n, geom->window, geom->shift, geom->pad_left,
                                             geom->pad_right, out);
}

/* One all-pairs matrix per window position of equal-length sequences, each
 * window weighted around its own middle. */
static PyObject* WeightedKernel_self_window_eval(WeightedKernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"seqs", "window", "shift", "padding", "out", NULL};
    PyObject* seqs_obj;
    PyObject* out;
    window_geometry_t geom;
    void* base = WeightedKernel_base(self);
    if (base == NULL || parse_window_args(args, kwds, kwlist, &seqs_obj, &geom, &out) < 0) return NULL;
    seq_array_t seqs;
    if (build_seq_array(base, seqs_obj, &seqs) < 0) return NULL;
    PyObject* result = NULL;
    if (lock_kernel(&self->lock, TYPE_NAME) == 0) {
        result = self_window_matrices(self->kernel, gkm_kernel_base_get_L(base), &seqs, &geom,
                                      weighted_window_matrices, WINDOW_KERNEL_FAILED, out);
        unlock_kernel(&self->lock);
    }
    free_seq_array(&seqs);
    return result;
}

/* The rows of every window of the query against the stored references, with
 * the lock held. The buffer holds exactly the rows the core writes, counted
 * the same way, so no bound on the window count has to be guessed (or can
 * overflow). */
static PyObject* sliding_query_rows(WeightedKernelObject* self, const gkm_sequence_t* query,
                                    const window_geometry_t* geom, PyObject* out)
{
    if (geom->shift < 1) {
        PyErr_SetString(PyExc_RuntimeError, SLIDING_QUERY_FAILED);
        return NULL;
    }
    const void* base = gkm_weighted_kernel_base(self->kernel);
    const int n_ref = gkm_kernel_base_num_sequences(base);
    const int n_rows = gkm_compute_n_windows(gkm_sequence_length(query), geom->window, geom->shift, geom->pad_left,
                                             geom->pad_right, gkm_kernel_base_get_L(base));
    result_t result;
    if (result_open(&result, out, 2, (const Py_ssize_t[2]){n_rows, n_ref}) < 0) return NULL;
    int n_windows = 0;
    int rc;
    WITHOUT_GIL(rc = gkm_weighted_kernel_sliding_query(self->kernel, query, geom->window, geom->shift,
                                                       geom->pad_left, geom->pad_right, result.data, &n_windows));
    if (rc != 0) raise_core_failure(SLIDING_QUERY_FAILED, PyExc_RuntimeError, NULL);
    return result_close(&result, rc == 0);
}

/* Every window of one sequence against the same positions of every stored
 * reference; needs a finalised kernel. */
static PyObject* WeightedKernel_sliding_query(WeightedKernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"seq", "window", "shift", "padding", "out", NULL};
    PyObject* seq_obj;
    PyObject* out;
    window_geometry_t geom;
    int is_owned;
    if (WeightedKernel_kernel(self) == NULL || parse_window_args(args, kwds, kwlist, &seq_obj, &geom, &out) < 0)
        return NULL;
    gkm_sequence_t* query = coerce_sequence_wkern(self, seq_obj, &is_owned);
    if (query == NULL) return NULL;
    PyObject* result = NULL;
    if (lock_kernel(&self->lock, TYPE_NAME) == 0) {
        result = sliding_query_rows(self, query, &geom, out);
        unlock_kernel(&self->lock);
    }
    if (is_owned) gkm_sequence_free(query);
    return result;
}

static PyObject* WeightedKernel_get_param(WeightedKernelObject* self, void* which)
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_param(base, (int)(intptr_t)which) : NULL;
}

static PyMethodDef WeightedKernel_methods[] = {
    {"add_sequence", (PyCFunction)(void (*)(void))WeightedKernel_add_sequence, METH_VARARGS | METH_KEYWORDS,
     "add_sequence(seq, sid=None) -> int."},
    {"finalize", (PyCFunction)WeightedKernel_finalize, METH_NOARGS, "finalize() -> None."},
    {"num_sequences", (PyCFunction)WeightedKernel_num_sequences, METH_NOARGS, "num_sequences() -> int."},
    {"weight", (PyCFunction)WeightedKernel_weight, METH_VARARGS, "weight(m) -> float."},
    {"weight_scheme", (PyCFunction)WeightedKernel_weight_scheme, METH_NOARGS, "weight_scheme() -> int."},
    {"use_rc", (PyCFunction)WeightedKernel_use_rc, METH_NOARGS, "use_rc() -> int."},
    {"pos_kernel", (PyCFunction)WeightedKernel_pos_kernel, METH_NOARGS, "pos_kernel() -> int."},
    {"gamma", (PyCFunction)WeightedKernel_gamma, METH_NOARGS, "gamma() -> float."},
    {"sigma", (PyCFunction)WeightedKernel_sigma, METH_NOARGS, "sigma() -> float."},
    {"peak", (PyCFunction)WeightedKernel_peak, METH_NOARGS, "peak() -> float."},
    {"self_eval", (PyCFunction)(void (*)(void))WeightedKernel_self_eval, METH_VARARGS | METH_KEYWORDS,
     "self_eval(seqs, offsets=None) -> 2D or 3D list."},
    {"cross_eval", (PyCFunction)(void (*)(void))WeightedKernel_cross_eval, METH_VARARGS | METH_KEYWORDS,
     "cross_eval(queries, refs, offsets=None) -> 2D or 3D list."},
    {"self_window_eval", (PyCFunction)(void (*)(void))WeightedKernel_self_window_eval, METH_VARARGS | METH_KEYWORDS,
     "window_kernel(seqs, window, shift, padding=0) -> 3D list."},
    {"sliding_query", (PyCFunction)(void (*)(void))WeightedKernel_sliding_query, METH_VARARGS | METH_KEYWORDS,
     "sliding_query(seq, window, shift, padding=0) -> list[list[float]]."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef WeightedKernel_getset[] = {
    {"L", (getter)WeightedKernel_get_param, NULL, "Full word length L.", (void*)(intptr_t)PARAM_L},
    {"k", (getter)WeightedKernel_get_param, NULL, "Number of non-gap positions k.", (void*)(intptr_t)PARAM_K},
    {"d", (getter)WeightedKernel_get_param, NULL, "Max mismatches d.", (void*)(intptr_t)PARAM_D},
    {NULL, NULL, NULL, NULL, NULL},
};

PyTypeObject WeightedKernelType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "vellum._gkmkern.WeightedKernel",
    .tp_basicsize = sizeof(WeightedKernelObject),
    .tp_dealloc = (destructor)WeightedKernel_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Weighted gapped k-mer kernel (positional weighting).",
    .tp_methods = WeightedKernel_methods,
    .tp_getset = WeightedKernel_getset,
    .tp_init = (initproc)WeightedKernel_init,
    .tp_new = WeightedKernel_new,
};
