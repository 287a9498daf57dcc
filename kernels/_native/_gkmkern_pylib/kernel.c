/* The Kernel type: the regular gapped k-mer kernel over stored references. */
#include "binding.h"

#include <string.h>

static const char TYPE_NAME[] = "Kernel";

/* The kernel's base, or NULL with RuntimeError when __init__ never succeeded. */
static void* Kernel_base(KernelObject* self)
{
    if (self->kernel == NULL) return raise_not_initialized(TYPE_NAME);
    return gkm_kernel_base(self->kernel);
}

static int Kernel_init(KernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"L", "k", "d", "weight_scheme", "use_rc", "nthreads", NULL};
    gkm_parameter_t param = {10, 6, 3, GKM_WEIGHT_FULL, 0, 1};
    /* Parsing runs the arguments' __index__, which may initialise self: checked after it. */
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|iiiiii", kwlist, &param.L, &param.k, &param.d,
                                     &param.weight_scheme, &param.use_rc, &param.nthreads) ||
        reject_reinit(self->kernel, TYPE_NAME) < 0)
        return -1;
    param.use_rc = param.use_rc != 0;
    const char* problem = gkm_parameter_check(&param);
    if (problem != NULL) {
        PyErr_SetString(PyExc_ValueError, problem);
        return -1;
    }
    self->kernel = gkm_kernel_create(&param);
    if (self->kernel == NULL) {
        raise_core_failure("gkm_kernel_create failed", PyExc_RuntimeError, NULL);
        return -1;
    }
    return 0;
}

/* The lock exists from the start, so every method can take it. */
static PyObject* Kernel_new(PyTypeObject* type, PyObject* args, PyObject* kwds)
{
    KernelObject* self = (KernelObject*)PyType_GenericNew(type, args, kwds);
    if (self != NULL && kernel_lock_create(&self->lock) < 0) Py_CLEAR(self);
    return (PyObject*)self;
}

static void Kernel_dealloc(KernelObject* self)
{
    gkm_window_tree_cache_destroy(self->wcache);
    gkm_kernel_destroy(self->kernel);
    kernel_lock_destroy(&self->lock);
    Py_TYPE(self)->tp_free((PyObject*)self);
}

static PyObject* Kernel_add_sequence(KernelObject* self, PyObject* args, PyObject* kwds)
{
    void* base = Kernel_base(self);
    return base ? kernel_base_add_sequence(base, &self->lock, TYPE_NAME, args, kwds) : NULL;
}

static PyObject* Kernel_finalize(KernelObject* self, PyObject* Py_UNUSED(ignored))
{
    if (Kernel_base(self) == NULL || lock_kernel(&self->lock, TYPE_NAME) < 0) return NULL;
    int rc;
    WITHOUT_GIL(rc = gkm_kernel_finalize(self->kernel));
    unlock_kernel(&self->lock);
    if (rc < 0) return raise_core_failure("gkm_kernel_finalize failed", PyExc_RuntimeError, NULL);
    Py_RETURN_NONE;
}

static PyObject* Kernel_num_sequences(KernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = Kernel_base(self);
    return base ? kernel_base_num_sequences(base, &self->lock, TYPE_NAME) : NULL;
}

static PyObject* Kernel_weight(KernelObject* self, PyObject* args)
{
    void* base = Kernel_base(self);
    return base ? kernel_base_weight(base, args) : NULL;
}

static PyObject* Kernel_weight_scheme(KernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = Kernel_base(self);
    return base ? kernel_base_weight_scheme(base) : NULL;
}

static PyObject* Kernel_use_rc(KernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = Kernel_base(self);
    return base ? kernel_base_use_rc(base) : NULL;
}

/* The rows of eval_batch; with the lock held, the reference count the
 * result is sized by is the one the core fills. */
static PyObject* batch_rows(KernelObject* self, const seq_array_t* queries, PyObject* out)
{
    const Py_ssize_t shape[2] = {queries->n, gkm_kernel_base_num_sequences(gkm_kernel_base(self->kernel))};
    result_t result;
    if (result_open(&result, out, 2, shape) < 0) return NULL;
    int rc;
    WITHOUT_GIL(rc = gkm_kernel_eval_batch(self->kernel, queries->seqs, queries->n, result.data));
    if (rc != 0) raise_core_failure("gkm_kernel_eval_batch failed", PyExc_RuntimeError, NULL);
    return result_close(&result, rc == 0);
}

/* Every query against every stored reference: one row of n_ref values per query. */
static PyObject* Kernel_eval_batch(KernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"", "out", NULL};  /* queries stays positional-only */
    PyObject* queries_obj;
    PyObject* out = NULL;
    void* base = Kernel_base(self);
    if (base == NULL || !PyArg_ParseTupleAndKeywords(args, kwds, "O|$O", kwlist, &queries_obj, &out)) return NULL;
    seq_array_t queries;
    if (build_seq_array(base, queries_obj, &queries) < 0) return NULL;
    PyObject* value = NULL;
    if (lock_kernel(&self->lock, TYPE_NAME) == 0) {
        value = batch_rows(self, &queries, out);
        unlock_kernel(&self->lock);
    }
    free_seq_array(&queries);
    return value;
}

/* first= or rows= as given: None, or an index. */
typedef struct {
    int given;
    Py_ssize_t value;
} gram_count_t;

/* Converts before the lock is taken, since an index's __index__ may call this
 * kernel. -1 with the error set. */
static int gram_count_arg(PyObject* obj, gram_count_t* count)
{
    count->given = obj != Py_None;
    count->value = count->given ? PyNumber_AsSsize_t(obj, PyExc_OverflowError) : 0;
    return count->value == -1 && PyErr_Occurred() ? -1 : 0;
}

/* A count among the references, at most limit (what counts names them in the
 * message); default_value when not given. -1 with the error set when refused. */
static Py_ssize_t gram_bound(gram_count_t count, const char* name, Py_ssize_t limit, const char* counts,
                             Py_ssize_t default_value)
{
    if (!count.given) return default_value;
    if (count.value < 0 || count.value > limit) {
        PyErr_Format(PyExc_ValueError, "%s must be between 0 and %zd (%s); got %zd", name, limit, counts,
                     count.value);
        return -1;
    }
    return count.value;
}

/* Rows [first, first + rows) of the Gram matrix against the references from
 * first on (all of it by default), with the lock held. */
static PyObject* gram_matrix(KernelObject* self, gram_count_t rows_arg, gram_count_t first_arg, PyObject* out)
{
    const void* base = gkm_kernel_base(self->kernel);
    if (!gkm_kernel_base_is_finalized(base)) {
        PyErr_SetString(PyExc_RuntimeError, "kernel is not finalized; call finalize() before gram()");
        return NULL;
    }
    const Py_ssize_t n = gkm_kernel_base_num_sequences(base);
    const Py_ssize_t first = gram_bound(first_arg, "first", n, "the references", 0);
    if (first < 0) return NULL;
    const char* later = first > 0 ? "the references from first on" : "the references";
    const Py_ssize_t rows = gram_bound(rows_arg, "rows", n - first, later, n - first);
    if (rows < 0) return NULL;
    const Py_ssize_t shape[2] = {rows, n - first};
    result_t result;
    if (result_open(&result, out, 2, shape) < 0) return NULL;
    int rc;
    WITHOUT_GIL(rc = gkm_kernel_eval_gram_rows(self->kernel, (int)first, (int)rows, result.data));
    if (rc != 0) raise_core_failure("gkm_kernel_eval_gram_rows failed", PyExc_RuntimeError, NULL);
    return result_close(&result, rc == 0);
}

/* The stored references against each other, each unordered pair once. */
static PyObject* Kernel_gram(KernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"rows", "out", "first", NULL};
    PyObject* rows_obj = Py_None;
    PyObject* out = NULL;
    PyObject* first_obj = Py_None;
    gram_count_t rows, first;
    if (Kernel_base(self) == NULL ||
        !PyArg_ParseTupleAndKeywords(args, kwds, "|$OOO", kwlist, &rows_obj, &out, &first_obj) ||
        gram_count_arg(rows_obj, &rows) < 0 || gram_count_arg(first_obj, &first) < 0 ||
        lock_kernel(&self->lock, TYPE_NAME) < 0)
        return NULL;
    PyObject* value = gram_matrix(self, rows, first, out);
    unlock_kernel(&self->lock);
    return value;
}

/* Fills rows of n_cols values from the iterator; 1 when all were written.
 * The iterator stops early only when it fails (its reason recorded); the
 * rows are then all zeros, as the core leaves a result that fails partway. */
static int fill_window_rows(gkm_window_iter_t* it, double* rows, Py_ssize_t n_rows, Py_ssize_t n_cols)
{
    Py_ssize_t w = 0;
    while (w < n_rows && gkm_window_iter_next(it, rows + w * n_cols)) w++;
    if (w == n_rows) return 1;
    memset(rows, 0, sizeof(double) * (size_t)(n_rows * n_cols));
    return 0;
}

/* The rows of sliding_query, with the lock held. */
static PyObject* window_rows(KernelObject* self, const gkm_sequence_t* seq, const window_geometry_t* geom,
                             PyObject* out)
{
    PyObject* value = NULL;
    gkm_window_iter_t* it =
        gkm_window_iter_create(self->kernel, seq, geom->window, geom->shift, geom->pad_left, geom->pad_right);
    result_t result;
    const int n_ref = gkm_kernel_base_num_sequences(gkm_kernel_base(self->kernel));
    const Py_ssize_t shape[2] = {gkm_window_iter_count(it), n_ref};
    if (it == NULL) {
        raise_core_failure("gkm_window_iter_create failed", PyExc_ValueError,
                           "could not create window iterator (check window/shift/padding)");
    } else if (result_open(&result, out, 2, shape) == 0) {
        int ok;
        WITHOUT_GIL(ok = fill_window_rows(it, result.data, shape[0], shape[1]));
        if (!ok) raise_core_failure("gkm_window_iter_next failed", PyExc_RuntimeError, "window iter ended early");
        value = result_close(&result, ok);
    }
    gkm_window_iter_destroy(it);
    return value;
}

/* Every window of one sequence against every stored reference: one row of
 * n_ref values per window, all computed before any Python object is made. */
static PyObject* Kernel_sliding_query(KernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"seq", "window", "shift", "padding", "out", NULL};
    PyObject* seq_obj;
    PyObject* out;
    window_geometry_t geom;
    int is_owned;
    void* base = Kernel_base(self);
    if (base == NULL || parse_window_args(args, kwds, kwlist, &seq_obj, &geom, &out) < 0) return NULL;
    gkm_sequence_t* seq = coerce_sequence_kern(self, seq_obj, &is_owned);
    if (seq == NULL) return NULL;
    PyObject* value = NULL;
    if (lock_kernel(&self->lock, TYPE_NAME) == 0) {
        value = window_rows(self, seq, &geom, out);
        unlock_kernel(&self->lock);
    }
    if (is_owned) gkm_sequence_free(seq);
    return value;
}

static int regular_window_matrices(const void* kernel, const gkm_sequence_t* const* seqs, int n,
                                   const window_geometry_t* geom, double* out)
{
    return gkm_kernel_window_kernel(kernel, seqs, n, geom->window, geom->shift, geom->pad_left, geom->pad_right, out);
}

/* One all-pairs matrix per window position of equal-length sequences. */
static PyObject* Kernel_self_window_eval(KernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"seqs", "window", "shift", "padding", "out", NULL};
    PyObject* seqs_obj;
    PyObject* out;
    window_geometry_t geom;
    void* base = Kernel_base(self);
    if (base == NULL || parse_window_args(args, kwds, kwlist, &seqs_obj, &geom, &out) < 0) return NULL;
    seq_array_t seqs;
    if (build_seq_array(base, seqs_obj, &seqs) < 0) return NULL;
    PyObject* result = NULL;
    if (gkm_sequence_length(seqs.seqs[0]) < geom.window) {
        PyErr_SetString(PyExc_ValueError, "sequences shorter than window");
    } else if (lock_kernel(&self->lock, TYPE_NAME) == 0) {
        result = self_window_matrices(self->kernel, gkm_kernel_base_get_L(base), &seqs, &geom,
                                      regular_window_matrices, "gkm_kernel_window_kernel failed", out);
        unlock_kernel(&self->lock);
    }
    free_seq_array(&seqs);
    return result;
}

static void Kernel_drop_wcache(KernelObject* self)
{
    gkm_window_tree_cache_destroy(self->wcache);
    self->wcache = NULL;
}

/* The cache for these references and this geometry: the kept one when it was
 * built from exactly them, else a fresh build. -1 with RuntimeError and no
 * cache left when the build fails. The lock is held: no other call may use
 * or replace the cache meanwhile. */
static int Kernel_select_wcache(KernelObject* self, const seq_array_t* refs, const window_geometry_t* geom)
{
    if (gkm_window_tree_cache_matches(self->wcache, refs->seqs, refs->n, geom->window, geom->shift, geom->pad_left,
                                      geom->pad_right))
        return 0;
    Kernel_drop_wcache(self);
    gkm_window_tree_cache_t* cache;
    WITHOUT_GIL(cache = gkm_window_tree_cache_build(self->kernel, refs->seqs, refs->n, geom->window, geom->shift,
                                                    geom->pad_left, geom->pad_right));
    self->wcache = cache;
    if (cache == NULL) {
        raise_core_failure("window_tree_cache_build failed", PyExc_RuntimeError, NULL);
        return -1;
    }
    return 0;
}

/* The blocks of cross_window_eval, with the lock held. */
static PyObject* cross_window_blocks(KernelObject* self, const seq_array_t* queries, const seq_array_t* refs,
                                     const window_geometry_t* geom, PyObject* out)
{
    if (geom->shift < 1) {
        /* No cache can be built for such a shift; behave as a failed rebuild. */
        Kernel_drop_wcache(self);
        PyErr_SetString(PyExc_RuntimeError, "window_tree_cache_build failed");
        return NULL;
    }
    const int L = gkm_kernel_base_get_L(gkm_kernel_base(self->kernel));
    const int n_windows = gkm_compute_n_windows(gkm_sequence_length(queries->seqs[0]), geom->window, geom->shift,
                                                geom->pad_left, geom->pad_right, L);
    if (n_windows <= 0) {
        PyErr_SetString(PyExc_ValueError, "no valid windows with given padding");
        return NULL;
    }
    result_t result;
    if (result_open(&result, out, 3, (const Py_ssize_t[3]){n_windows, queries->n, refs->n}) < 0) return NULL;
    /* The query refuses queries whose length differs from the references',
     * so a successful one wrote exactly the n_windows blocks counted here. */
    int ok = Kernel_select_wcache(self, refs, geom) == 0;
    if (ok) {
        int rc;
        WITHOUT_GIL(rc = gkm_window_tree_cache_query(self->kernel, self->wcache, queries->seqs, queries->n,
                                                     result.data));
        if (rc != 0) {
            raise_core_failure("window_tree_cache_query failed", PyExc_RuntimeError, NULL);
            ok = 0;
        }
    }
    return result_close(&result, ok);
}

/* One query-by-reference matrix per window position; the reference windows'
 * trees are kept between calls with the same references and geometry. */
static PyObject* Kernel_cross_window_eval(KernelObject* self, PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"queries", "refs", "window", "shift", "padding", "out", NULL};
    PyObject* queries_obj;
    PyObject* refs_obj;
    PyObject* pad_obj = NULL;
    PyObject* out = NULL;
    window_geometry_t geom;
    void* base = Kernel_base(self);
    if (base == NULL ||
        !PyArg_ParseTupleAndKeywords(args, kwds, "OOii|O$O", kwlist, &queries_obj, &refs_obj, &geom.window,
                                     &geom.shift, &pad_obj, &out) ||
        parse_padding(pad_obj, &geom.pad_left, &geom.pad_right) < 0)
        return NULL;
    seq_array_t queries, refs;
    if (build_seq_array(base, queries_obj, &queries) < 0) return NULL;
    if (build_seq_array(base, refs_obj, &refs) < 0) {
        free_seq_array(&queries);
        return NULL;
    }
    PyObject* value = NULL;
    if (lock_kernel(&self->lock, TYPE_NAME) == 0) {
        value = cross_window_blocks(self, &queries, &refs, &geom, out);
        unlock_kernel(&self->lock);
    }
    free_seq_array(&queries);
    free_seq_array(&refs);
    return value;
}

static PyObject* Kernel_get_param(KernelObject* self, void* which)
{
    void* base = Kernel_base(self);
    return base ? kernel_base_param(base, (int)(intptr_t)which) : NULL;
}

static PyMethodDef Kernel_methods[] = {
    {"add_sequence", (PyCFunction)(void (*)(void))Kernel_add_sequence, METH_VARARGS | METH_KEYWORDS,
     "add_sequence(seq, sid=None) -> int."},
    {"finalize", (PyCFunction)Kernel_finalize, METH_NOARGS, "finalize() -> None."},
    {"num_sequences", (PyCFunction)Kernel_num_sequences, METH_NOARGS, "num_sequences() -> int."},
    {"weight", (PyCFunction)Kernel_weight, METH_VARARGS, "weight(m) -> float."},
    {"weight_scheme", (PyCFunction)Kernel_weight_scheme, METH_NOARGS,
     "weight_scheme() -> int (0=full, 1=truncated, 2=estimated_full)."},
    {"use_rc", (PyCFunction)Kernel_use_rc, METH_NOARGS, "use_rc() -> int (0 or 1)."},
    {"eval_batch", (PyCFunction)(void (*)(void))Kernel_eval_batch, METH_VARARGS | METH_KEYWORDS,
     "eval_batch(queries) -> list[list[float]]."},
    {"gram", (PyCFunction)(void (*)(void))Kernel_gram, METH_VARARGS | METH_KEYWORDS,
     "gram(*, rows=None, out=None, first=None) -> list[list[float]].\n\n"
     "The stored references against each other (finalize() first): entry [i][j]\n"
     "is reference i against reference j, equal to eval_batch of the same\n"
     "texts, with each unordered pair computed once. With first, the rows from\n"
     "reference first on against the references from first on, of shape\n"
     "(n - first, n - first): a stripe of the matrix whose rest mirrors it. With\n"
     "rows, only the first rows of those, of shape (rows, n - first). With out, a\n"
     "writable C-contiguous float64\n"
     "buffer of the result's shape, the values are written there and out is\n"
     "returned."},
    {"sliding_query", (PyCFunction)(void (*)(void))Kernel_sliding_query, METH_VARARGS | METH_KEYWORDS,
     "sliding_query(seq, window, shift, padding=0) -> list[list[float]]."},
    {"self_window_eval", (PyCFunction)(void (*)(void))Kernel_self_window_eval, METH_VARARGS | METH_KEYWORDS,
     "self_window_eval(seqs, window, shift, padding=0) -> 3D list."},
    {"cross_window_eval", (PyCFunction)(void (*)(void))Kernel_cross_window_eval, METH_VARARGS | METH_KEYWORDS,
     "cross_window_eval(queries, refs, window, shift, padding=0) -> 3D list."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef Kernel_getset[] = {
    {"L", (getter)Kernel_get_param, NULL, "Full word length L.", (void*)(intptr_t)PARAM_L},
    {"k", (getter)Kernel_get_param, NULL, "Number of non-gap positions k.", (void*)(intptr_t)PARAM_K},
    {"d", (getter)Kernel_get_param, NULL, "Max mismatches d.", (void*)(intptr_t)PARAM_D},
    {NULL, NULL, NULL, NULL, NULL},
};

PyTypeObject KernelType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "vellum._gkmkern.Kernel",
    .tp_basicsize = sizeof(KernelObject),
    .tp_dealloc = (destructor)Kernel_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Regular gapped k-mer kernel (uniform L-mer weights).",
    .tp_methods = Kernel_methods,
    .tp_getset = Kernel_getset,
    .tp_init = (initproc)Kernel_init,
    .tp_new = Kernel_new,
};
