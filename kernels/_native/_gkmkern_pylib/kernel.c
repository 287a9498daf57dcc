/* The Kernel type: the regular gapped k-mer kernel over stored references. */
#include "binding.h"

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
    if (reject_reinit(self->kernel, TYPE_NAME) < 0) return -1;
    gkm_parameter_t param = {10, 6, 3, GKM_WEIGHT_FULL, 0, 1};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|iiiiii", kwlist, &param.L, &param.k, &param.d,
                                     &param.weight_scheme, &param.use_rc, &param.nthreads))
        return -1;
    param.use_rc = param.use_rc != 0;
    const char* problem = gkm_parameter_check(&param);
    if (problem != NULL) {
        PyErr_SetString(PyExc_ValueError, problem);
        return -1;
    }
    self->kernel = gkm_kernel_create(&param);
    if (self->kernel == NULL) {
        PyErr_SetString(PyExc_RuntimeError, "gkm_kernel_create failed");
        return -1;
    }
    return 0;
}

static void Kernel_dealloc(KernelObject* self)
{
    gkm_window_tree_cache_destroy(self->wcache);
    gkm_kernel_destroy(self->kernel);
    Py_TYPE(self)->tp_free((PyObject*)self);
}

static PyObject* Kernel_add_sequence(KernelObject* self, PyObject* args, PyObject* kwds)
{
    void* base = Kernel_base(self);
    return base ? kernel_base_add_sequence(base, args, kwds) : NULL;
}

static PyObject* Kernel_finalize(KernelObject* self, PyObject* Py_UNUSED(ignored))
{
    if (Kernel_base(self) == NULL) return NULL;
    if (gkm_kernel_finalize(self->kernel) < 0) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

static PyObject* Kernel_num_sequences(KernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = Kernel_base(self);
    return base ? kernel_base_num_sequences(base) : NULL;
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

/* Every query against every stored reference: one row of n_ref values per query. */
static PyObject* Kernel_eval_batch(KernelObject* self, PyObject* args)
{
    PyObject* queries_obj;
    void* base = Kernel_base(self);
    if (base == NULL || !PyArg_ParseTuple(args, "O", &queries_obj)) return NULL;
    seq_array_t queries;
    if (build_seq_array(base, queries_obj, &queries) < 0) return NULL;
    int n_ref = gkm_kernel_base_num_sequences(base);
    PyObject* result = NULL;
    double* buf = new_flat_buffer(1, queries.n, n_ref);
    if (buf != NULL) {
        if (gkm_kernel_eval_batch(self->kernel, queries.seqs, queries.n, buf) < 0)
            PyErr_NoMemory();
        else
            result = flat_to_2d_list(buf, queries.n, n_ref);
        PyMem_Free(buf);
    }
    free_seq_array(&queries);
    return result;
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
    {"eval_batch", (PyCFunction)Kernel_eval_batch, METH_VARARGS, "eval_batch(queries) -> list[list[float]]."},
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
    .tp_new = PyType_GenericNew,
};
