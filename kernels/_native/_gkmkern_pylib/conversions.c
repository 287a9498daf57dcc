/* Conversions shared by the binding's types: Python arguments into core
 * inputs, flat core results into nested lists, and the kernel-base and window
 * methods that Kernel and WeightedKernel have in common. */
#include "binding.h"

#include <limits.h>
#include <string.h>

static const char ENCODE_FAILED[] = "could not create sequence (too short for L, or contains non-ACGT characters)";

/* ---- lifecycle guards ---------------------------------------------------- */

void* raise_not_initialized(const char* type_name)
{
    PyErr_Format(PyExc_RuntimeError, "%s object is not initialized", type_name);
    return NULL;
}

int reject_reinit(const void* state, const char* type_name)
{
    if (state == NULL) return 0;
    PyErr_Format(PyExc_RuntimeError, "%s object is already initialized", type_name);
    return -1;
}

/* ---- kernel parameters --------------------------------------------------- */

void read_kernel_params(const void* kernel_base, kernel_params_t* out)
{
    gkm_kernel_base_get_params(kernel_base, &out->L, &out->k, &out->d);
    out->weight_scheme = gkm_kernel_base_get_weight_scheme(kernel_base);
    out->use_rc = gkm_kernel_base_get_use_rc(kernel_base);
}

static int same_kernel_params(const kernel_params_t* a, const kernel_params_t* b)
{
    return a->L == b->L && a->k == b->k && a->d == b->d && a->weight_scheme == b->weight_scheme &&
           a->use_rc == b->use_rc;
}

/* The encoded data of a Sequence, or NULL with an exception when the object
 * was never initialised or was encoded for other parameters (its L-mer ids
 * and self-norm would be meaningless for this kernel). */
static gkm_sequence_t* usable_sequence(SequenceObject* so, const kernel_params_t* params)
{
    if (so->seq == NULL) return raise_not_initialized("Sequence");
    if (!same_kernel_params(&so->params, params)) {
        PyErr_SetString(PyExc_ValueError,
                        "Sequence was encoded for a kernel with different parameters (L, k, d, weight_scheme, use_rc)");
        return NULL;
    }
    return so->seq;
}

/* A str encoded for this call. An embedded NUL would silently cut the text the
 * core sees, so it is rejected like any other non-ACGT character. */
static gkm_sequence_t* encode_str(const void* kernel_base, PyObject* str)
{
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == NULL) return NULL;
    if (strlen(text) != (size_t)size) {
        PyErr_SetString(PyExc_ValueError, ENCODE_FAILED);
        return NULL;
    }
    gkm_sequence_t* seq = gkm_sequence_create(kernel_base, text, NULL);
    return seq != NULL ? seq : raise_core_failure("gkm_sequence_create failed", PyExc_ValueError, ENCODE_FAILED);
}

/* ---- sequence coercion --------------------------------------------------- */

gkm_sequence_t* coerce_sequence_seq(const void* kernel_base, PyObject* obj, int* is_owned)
{
    if (PyObject_TypeCheck(obj, &SequenceType)) {
        kernel_params_t params;
        read_kernel_params(kernel_base, &params);
        *is_owned = 0;
        return usable_sequence((SequenceObject*)obj, &params);
    }
    if (PyUnicode_Check(obj)) {
        *is_owned = 1;
        return encode_str(kernel_base, obj);
    }
    PyErr_SetString(PyExc_TypeError, "expected a Sequence or a string");
    return NULL;
}

gkm_sequence_t* coerce_sequence_kern(KernelObject* kobj, PyObject* obj, int* is_owned)
{
    return coerce_sequence_seq(gkm_kernel_base(kobj->kernel), obj, is_owned);
}

gkm_sequence_t* coerce_sequence_wkern(WeightedKernelObject* kobj, PyObject* obj, int* is_owned)
{
    return coerce_sequence_seq(gkm_weighted_kernel_base(kobj->kernel), obj, is_owned);
}

/* ---- sequence arrays ----------------------------------------------------- */

/* Element i, whose holder is already the strong reference taken for it. */
static int fill_seq_array_item(const void* kernel_base, const kernel_params_t* params, seq_array_t* arr, int i)
{
    PyObject* item = arr->holders[i];
    if (PyObject_TypeCheck(item, &SequenceType)) {
        arr->seqs[i] = usable_sequence((SequenceObject*)item, params);
        return arr->seqs[i] != NULL ? 0 : -1;
    }
    if (PyUnicode_Check(item)) {
        gkm_sequence_t* seq = encode_str(kernel_base, item);
        if (seq == NULL) return -1;
        arr->seqs[i] = seq;
        Py_CLEAR(arr->holders[i]);
        return 0;
    }
    PyErr_SetString(PyExc_TypeError, "elements must be str or Sequence");
    return -1;
}

int build_seq_array(const void* kernel_base, PyObject* seqs_obj, seq_array_t* arr)
{
    memset(arr, 0, sizeof *arr);
    if (!PyList_Check(seqs_obj) && !PyTuple_Check(seqs_obj)) {
        PyErr_SetString(PyExc_TypeError, "must be a list or tuple of strings or Sequence objects");
        return -1;
    }
    /* The object's own storage, not __len__/__getitem__: no Python code may
     * run between taking the items and holding references to them. */
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seqs_obj);
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "sequence list is empty");
        return -1;
    }
    if (n > INT_MAX) {
        PyErr_NoMemory();
        return -1;
    }
    arr->seqs = PyMem_Calloc((size_t)n, sizeof *arr->seqs);
    arr->holders = PyMem_Calloc((size_t)n, sizeof *arr->holders);
    if (arr->seqs == NULL || arr->holders == NULL) {
        free_seq_array(arr);
        PyErr_NoMemory();
        return -1;
    }
    arr->n = (int)n;
    PyObject** items = PySequence_Fast_ITEMS(seqs_obj);
    for (int i = 0; i < arr->n; i++) {
        Py_INCREF(items[i]);
        arr->holders[i] = items[i];
    }
    kernel_params_t params;
    read_kernel_params(kernel_base, &params);
    for (int i = 0; i < arr->n; i++) {
        if (fill_seq_array_item(kernel_base, &params, arr, i) < 0) {
            free_seq_array(arr);
            return -1;
        }
    }
    return 0;
}

void free_seq_array(seq_array_t* arr)
{
    for (int i = 0; i < arr->n; i++) {
        if (arr->holders[i] != NULL)
            Py_DECREF(arr->holders[i]);
        else
            gkm_sequence_free((gkm_sequence_t*)arr->seqs[i]);
    }
    PyMem_Free(arr->seqs);
    PyMem_Free(arr->holders);
    memset(arr, 0, sizeof *arr);
}

/* ---- padding ------------------------------------------------------------- */

static int padding_value(PyObject* obj, int* out)
{
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
    } else if (value >= INT_MIN && value <= INT_MAX) {
        *out = (int)value;
        return 0;
    }
    PyErr_SetString(PyExc_OverflowError, "padding value out of range for a 32-bit int");
    return -1;
}

/* Both elements are held before either is converted: converting one may run
 * Python code that changes the list. */
static int padding_pair(PyObject* pair, int* left, int* right)
{
    if (PySequence_Fast_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_ValueError, "padding tuple/list must have 2 elements (left, right)");
        return -1;
    }
    PyObject* left_obj = PySequence_Fast_GET_ITEM(pair, 0);
    PyObject* right_obj = PySequence_Fast_GET_ITEM(pair, 1);
    Py_INCREF(left_obj);
    Py_INCREF(right_obj);
    int rc = padding_value(left_obj, left) < 0 || padding_value(right_obj, right) < 0 ? -1 : 0;
    Py_DECREF(left_obj);
    Py_DECREF(right_obj);
    return rc;
}

int parse_padding(PyObject* pad_obj, int* pad_left, int* pad_right)
{
    int left = 0, right = 0, rc;
    *pad_left = 0;
    *pad_right = 0;
    if (pad_obj == NULL || pad_obj == Py_None) return 0;
    if (PyLong_Check(pad_obj)) {
        rc = padding_value(pad_obj, &left);
        right = left;
    } else if (PyList_Check(pad_obj) || PyTuple_Check(pad_obj)) {
        rc = padding_pair(pad_obj, &left, &right);
    } else {
        PyErr_SetString(PyExc_TypeError, "padding must be an int or a (left, right) tuple");
        return -1;
    }
    if (rc < 0) return -1;
    *pad_left = left;
    *pad_right = right;
    return 0;
}

/* ---- result lists -------------------------------------------------------- */

/* n_rows lists of n_cols floats read from *cursor, which is advanced past
 * them; no size product is formed, so nothing can overflow. */
static PyObject* rows_from_cursor(const double** cursor, Py_ssize_t n_rows, Py_ssize_t n_cols)
{
    PyObject* rows = PyList_New(n_rows);
    if (rows == NULL) return NULL;
    for (Py_ssize_t r = 0; r < n_rows; r++) {
        PyObject* row = PyList_New(n_cols);
        if (row == NULL) goto fail;
        PyList_SET_ITEM(rows, r, row);
        for (Py_ssize_t c = 0; c < n_cols; c++) {
            PyObject* value = PyFloat_FromDouble(*(*cursor)++);
            if (value == NULL) goto fail;
            PyList_SET_ITEM(row, c, value);
        }
    }
    return rows;
fail:
    Py_DECREF(rows);
    return NULL;
}

PyObject* flat_to_2d_list(const double* buf, Py_ssize_t n_rows, Py_ssize_t n_cols)
{
    return rows_from_cursor(&buf, n_rows, n_cols);
}

PyObject* flat_to_3d_list(const double* buf, Py_ssize_t n_outer, Py_ssize_t n_rows, Py_ssize_t n_cols)
{
    PyObject* outer = PyList_New(n_outer);
    if (outer == NULL) return NULL;
    for (Py_ssize_t o = 0; o < n_outer; o++) {
        PyObject* matrix = rows_from_cursor(&buf, n_rows, n_cols);
        if (matrix == NULL) {
            Py_DECREF(outer);
            return NULL;
        }
        PyList_SET_ITEM(outer, o, matrix);
    }
    return outer;
}

/* ---- kernel-base methods shared by Kernel and WeightedKernel -------------- */

/* Why a text could not be added as a reference. */
enum { ADD_NOT_ENCODABLE = -1, ADD_REFUSED = -2 };

/* The new reference's id, or ADD_NOT_ENCODABLE / ADD_REFUSED with nothing
 * kept. Touches no Python object, so it can run without the GIL. */
static int encode_and_add(void* kernel_base, const char* text, const char* sid, int skip_invalid)
{
    gkm_sequence_t* seq = skip_invalid ? gkm_sequence_create_masked(kernel_base, text, sid)
                                       : gkm_sequence_create(kernel_base, text, sid);
    if (seq == NULL) return ADD_NOT_ENCODABLE;
    int id = gkm_kernel_base_add_sequence(kernel_base, seq);
    if (id >= 0) return id;
    gkm_sequence_free(seq);
    return ADD_REFUSED;
}

PyObject* kernel_base_add_sequence(void* kernel_base, kernel_lock_t* lock, const char* type_name, PyObject* args,
                                   PyObject* kwds)
{
    static char* kwlist[] = {"seq", "sid", "skip_invalid", NULL};
    const char* text;
    const char* sid = NULL;
    int skip_invalid = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "s|z$p", kwlist, &text, &sid, &skip_invalid)) return NULL;
    /* text and sid point into args, which the caller keeps alive. */
    if (lock_kernel(lock, type_name) < 0) return NULL;
    int id;
    WITHOUT_GIL(id = encode_and_add(kernel_base, text, sid, skip_invalid));
    unlock_kernel(lock);
    if (id == ADD_NOT_ENCODABLE)
        return raise_core_failure("gkm_sequence_create failed", PyExc_ValueError,
                                  "sequence too short for L, or contains non-ACGT characters");
    if (id == ADD_REFUSED)
        return raise_core_failure("gkm_kernel_base_add_sequence failed", PyExc_RuntimeError,
                                  "kernel already finalized; cannot add more sequences");
    return PyLong_FromLong(id);
}

PyObject* kernel_base_num_sequences(const void* kernel_base, kernel_lock_t* lock, const char* type_name)
{
    if (lock_kernel(lock, type_name) < 0) return NULL;
    const int n = gkm_kernel_base_num_sequences(kernel_base);
    unlock_kernel(lock);
    return PyLong_FromLong(n);
}

PyObject* kernel_base_weight(const void* kernel_base, PyObject* args)
{
    int m;
    if (!PyArg_ParseTuple(args, "i", &m)) return NULL;
    return PyFloat_FromDouble(gkm_kernel_base_weight(kernel_base, m));
}

PyObject* kernel_base_weight_scheme(const void* kernel_base)
{
    return PyLong_FromLong(gkm_kernel_base_get_weight_scheme(kernel_base));
}

PyObject* kernel_base_use_rc(const void* kernel_base)
{
    return PyLong_FromLong(gkm_kernel_base_get_use_rc(kernel_base));
}

PyObject* kernel_base_param(const void* kernel_base, int which)
{
    int values[3];
    gkm_kernel_base_get_params(kernel_base, &values[PARAM_L], &values[PARAM_K], &values[PARAM_D]);
    return PyLong_FromLong(values[which]);
}

/* ---- window methods shared by Kernel and WeightedKernel ------------------- */

int parse_window_args(PyObject* args, PyObject* kwds, char** kwlist, PyObject** obj, window_geometry_t* geom,
                      PyObject** out)
{
    PyObject* pad_obj = NULL;
    *out = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Oii|O$O", kwlist, obj, &geom->window, &geom->shift, &pad_obj,
                                     out))
        return -1;
    return parse_padding(pad_obj, &geom->pad_left, &geom->pad_right);
}

PyObject* self_window_matrices(const void* kernel, int L, const seq_array_t* seqs, const window_geometry_t* geom,
                               window_matrices_fn eval, const char* core_failed, PyObject* out)
{
    /* The core rejects such a shift; no window is counted for it. */
    if (geom->shift < 1) {
        PyErr_SetString(PyExc_RuntimeError, core_failed);
        return NULL;
    }
    const int n_windows = gkm_compute_n_windows(gkm_sequence_length(seqs->seqs[0]), geom->window, geom->shift,
                                                geom->pad_left, geom->pad_right, L);
    if (n_windows <= 0) {
        PyErr_SetString(PyExc_ValueError, "no valid windows with given padding");
        return NULL;
    }
    result_t result;
    const Py_ssize_t shape[3] = {n_windows, seqs->n, seqs->n};
    if (result_open(&result, out, 3, shape) < 0) return NULL;
    int rc;
    WITHOUT_GIL(rc = eval(kernel, seqs->seqs, seqs->n, geom, result.data));
    const int ok = rc == 0;
    if (!ok) raise_core_failure(core_failed, PyExc_RuntimeError, NULL);
    return result_close(&result, ok);
}
