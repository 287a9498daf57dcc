/* The Sequence type: a DNA text encoded once for a kernel's parameters. */
#include "binding.h"

static const char TYPE_NAME[] = "Sequence";

/* The kernel argument may be either kernel type; each has its own base. */
static const void* parse_sequence_args(PyObject* args, PyObject* kwds, const char** text, const char** sid,
                                       int* skip_invalid)
{
    static char* kwlist[] = {"kernel", "seq", "sid", "skip_invalid", NULL};
    PyObject* kernel;
    if (PyArg_ParseTupleAndKeywords(args, kwds, "O!s|s$p", kwlist, &KernelType, &kernel, text, sid, skip_invalid)) {
        KernelObject* kobj = (KernelObject*)kernel;
        if (kobj->kernel == NULL) return raise_not_initialized("Kernel");
        return gkm_kernel_base(kobj->kernel);
    }
    PyErr_Clear();
    if (PyArg_ParseTupleAndKeywords(args, kwds, "O!s|s$p", kwlist, &WeightedKernelType, &kernel, text, sid,
                                    skip_invalid)) {
        WeightedKernelObject* wobj = (WeightedKernelObject*)kernel;
        if (wobj->kernel == NULL) return raise_not_initialized("WeightedKernel");
        return gkm_weighted_kernel_base(wobj->kernel);
    }
    return NULL;
}

static int Sequence_init(SequenceObject* self, PyObject* args, PyObject* kwds)
{
    const char* text;
    const char* sid = NULL;
    int skip_invalid = 0;
    /* Parsing runs skip_invalid's __bool__, which may initialise self: checked after it. */
    const void* base = parse_sequence_args(args, kwds, &text, &sid, &skip_invalid);
    if (base == NULL || reject_reinit(self->seq, TYPE_NAME) < 0) return -1;
    gkm_sequence_t* seq = skip_invalid ? gkm_sequence_create_masked(base, text, sid) : gkm_sequence_create(base, text, sid);
    if (seq == NULL) {
        raise_core_failure("gkm_sequence_create failed", PyExc_ValueError,
                           "gkm_sequence_create failed (sequence too short for L, or contains non-ACGT characters)");
        return -1;
    }
    read_kernel_params(base, &self->params);
    self->seq = seq;
    return 0;
}

static void Sequence_dealloc(SequenceObject* self)
{
    gkm_sequence_free(self->seq);
    Py_TYPE(self)->tp_free((PyObject*)self);
}

static PyObject* Sequence_length(SequenceObject* self, PyObject* Py_UNUSED(ignored))
{
    if (self->seq == NULL) return raise_not_initialized(TYPE_NAME);
    return PyLong_FromLong(gkm_sequence_length(self->seq));
}

static PyObject* Sequence_sqnorm(SequenceObject* self, PyObject* Py_UNUSED(ignored))
{
    if (self->seq == NULL) return raise_not_initialized(TYPE_NAME);
    return PyFloat_FromDouble(gkm_sequence_sqnorm(self->seq));
}

static PyObject* Sequence_sid(SequenceObject* self, PyObject* Py_UNUSED(ignored))
{
    if (self->seq == NULL) return raise_not_initialized(TYPE_NAME);
    const char* sid = gkm_sequence_sid(self->seq);
    if (sid == NULL) Py_RETURN_NONE;
    return PyUnicode_FromString(sid);
}

static PyMethodDef Sequence_methods[] = {
    {"length", (PyCFunction)Sequence_length, METH_NOARGS, "Return the sequence length."},
    {"sqnorm", (PyCFunction)Sequence_sqnorm, METH_NOARGS, "Return sqrt(K(self, self))."},
    {"sid", (PyCFunction)Sequence_sid, METH_NOARGS, "Return the sequence id (or None)."},
    {NULL, NULL, 0, NULL},
};

PyTypeObject SequenceType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "vellum._gkmkern.Sequence",
    .tp_basicsize = sizeof(SequenceObject),
    .tp_dealloc = (destructor)Sequence_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Encoded nucleotide sequence.",
    .tp_methods = Sequence_methods,
    .tp_init = (initproc)Sequence_init,
    .tp_new = PyType_GenericNew,
};
