/* The WeightedKernel type: L-mers weighted by their distance from a centre. */
#include "binding.h"

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
    if (reject_reinit(self->kernel, TYPE_NAME) < 0) return -1;
    gkm_weighted_params_t params = {{10, 6, 3, GKM_WEIGHT_FULL, 0, 1}, GKM_POS_TRIANGULAR, 1.0, 50.0, 50.0};
    int pos_kernel = GKM_POS_TRIANGULAR;
    gkm_parameter_t* base = &params.base;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|iiiiiidddi", kwlist, &base->L, &base->k, &base->d,
                                     &base->weight_scheme, &base->use_rc, &pos_kernel, &params.weight_gamma,
                                     &params.weight_sigma, &params.weight_peak, &base->nthreads))
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
        PyErr_SetString(PyExc_RuntimeError, "gkm_weighted_kernel_create failed");
        return -1;
    }
    return 0;
}

static void WeightedKernel_dealloc(WeightedKernelObject* self)
{
    gkm_weighted_kernel_destroy(self->kernel);
    Py_TYPE(self)->tp_free((PyObject*)self);
}

static PyObject* WeightedKernel_add_sequence(WeightedKernelObject* self, PyObject* args, PyObject* kwds)
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_add_sequence(base, args, kwds) : NULL;
}

/* Only marks the references complete: trees are built per evaluation. */
static PyObject* WeightedKernel_finalize(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = WeightedKernel_base(self);
    if (base == NULL) return NULL;
    gkm_kernel_base_finalize(base);
    Py_RETURN_NONE;
}

static PyObject* WeightedKernel_num_sequences(WeightedKernelObject* self, PyObject* Py_UNUSED(ignored))
{
    void* base = WeightedKernel_base(self);
    return base ? kernel_base_num_sequences(base) : NULL;
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
    .tp_new = PyType_GenericNew,
};
