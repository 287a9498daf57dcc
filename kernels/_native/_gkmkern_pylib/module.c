/* Module vellum._gkmkern: the three types, the module-level functions and the enumeration constants. */
#include "binding.h"

static struct PyModuleDef gkmkern_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "vellum._gkmkern",
    .m_doc = "C core for the gapped k-mer kernel (regular + weighted).",
    .m_size = -1,
};

static int add_type(PyObject* module, const char* name, PyTypeObject* type)
{
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, (PyObject*)type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

/* A constant that cannot be added is left out; the import still succeeds. */
static void add_constants(PyObject* module)
{
    static const struct {
        const char* name;
        long value;
    } constants[] = {
        {"POS_TRIANGULAR", GKM_POS_TRIANGULAR},
        {"POS_EPANECHNIKOV", GKM_POS_EPANECHNIKOV},
        {"POS_GAUSSIAN", GKM_POS_GAUSSIAN},
        {"POS_LAPLACIAN", GKM_POS_LAPLACIAN},
        {"POS_CAUCHY", GKM_POS_CAUCHY},
        {"WEIGHT_FULL", GKM_WEIGHT_FULL},
        {"WEIGHT_TRUNCATED", GKM_WEIGHT_TRUNCATED},
        {"WEIGHT_ESTIMATED_FULL", GKM_WEIGHT_ESTIMATED_FULL},
    };
    for (size_t i = 0; i < sizeof constants / sizeof constants[0]; i++) {
        if (PyModule_AddIntConstant(module, constants[i].name, constants[i].value) < 0) PyErr_Clear();
    }
}

PyMODINIT_FUNC PyInit__gkmkern(void)
{
    if (PyType_Ready(&SequenceType) < 0 || PyType_Ready(&KernelType) < 0 || PyType_Ready(&WeightedKernelType) < 0)
        return NULL;
    PyObject* module = PyModule_Create(&gkmkern_module);
    if (module == NULL) return NULL;
    if (add_type(module, "Sequence", &SequenceType) < 0 || add_type(module, "Kernel", &KernelType) < 0 ||
        add_type(module, "WeightedKernel", &WeightedKernelType) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    if (PyModule_AddFunctions(module, lmer_table_methods) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    add_constants(module);
    return module;
}
