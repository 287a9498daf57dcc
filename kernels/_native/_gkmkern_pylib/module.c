#define PY_SSIZE_T_CLEAN
#include <Python.h>

static struct PyModuleDef gkmkern_module = {
    PyModuleDef_HEAD_INIT, "vellum._gkmkern", "C core for the gapped k-mer kernel (regular + weighted).", -1, NULL,
};

PyMODINIT_FUNC PyInit__gkmkern(void) { return PyModule_Create(&gkmkern_module); }
