/* Array arguments through the buffer protocol: one check of type, writability
 * and layout, with one set of messages, for every function that takes them. */
#include "binding.h"

#include <string.h>

const buffer_type_t INT8_ITEMS = {"int8", 'i', 1};
const buffer_type_t INT32_ITEMS = {"int32", 'i', 4};
const buffer_type_t INT64_ITEMS = {"int64", 'i', 8};
const buffer_type_t FLOAT64_ITEMS = {"float64", 'f', 8};

/* Native or little-endian formats of the kind, of any width (checked apart). */
static int format_has_kind(const char* format, char kind)
{
    if (format == NULL) return 0;
    if (*format == '@' || *format == '=' || *format == '<') format++;
    if (format[0] == '\0' || format[1] != '\0') return 0;
    return strchr(kind == 'i' ? "bhilq" : "d", format[0]) != NULL;
}

int buffer_hold(Py_buffer* view, PyObject* obj, const char* name, const buffer_type_t* type, int writable)
{
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a %s%s buffer such as a NumPy array, not %.100s", name,
                     writable ? "writable " : "", type->name, Py_TYPE(obj)->tp_name);
        return -1;
    }
    if (PyObject_GetBuffer(obj, view, PyBUF_RECORDS_RO) < 0) return -1;
    if (!format_has_kind(view->format, type->kind) || view->itemsize != type->itemsize) {
        PyErr_Format(PyExc_TypeError, "%s must hold %s values, not format '%s'", name, type->name,
                     view->format ? view->format : "B");
    } else if (writable && view->readonly) {
        PyErr_Format(PyExc_ValueError, "%s is read-only", name);
    } else if (!PyBuffer_IsContiguous(view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s must be C-contiguous", name);
    } else {
        return 0;
    }
    PyBuffer_Release(view);
    return -1;
}

static void format_shape(char* text, size_t size, int ndim, const Py_ssize_t* shape)
{
    size_t used = (size_t)PyOS_snprintf(text, size, "(");
    for (int i = 0; i < ndim && used < size; i++)
        used += (size_t)PyOS_snprintf(text + used, size - used, i ? ", %zd" : "%zd", shape[i]);
    if (used < size) PyOS_snprintf(text + used, size - used, ndim == 1 ? ",)" : ")");
}

int buffer_check_shape(const Py_buffer* view, const char* name, int ndim, const Py_ssize_t* shape)
{
    char expected[96], got[96];
    if (view->ndim == ndim && memcmp(view->shape, shape, sizeof(Py_ssize_t) * (size_t)ndim) == 0) return 0;
    format_shape(expected, sizeof expected, ndim, shape);
    format_shape(got, sizeof got, view->ndim, view->shape);
    PyErr_Format(PyExc_ValueError, "%s has shape %s, expected %s", name, got, expected);
    return -1;
}
