/* Records and helpers shared by the files of the Python binding; never installed.
 *
 * Contents:
 *   kernel locks        kernel_lock_t, lock_kernel, unlock_kernel, WITHOUT_GIL
 *   object records      SequenceObject, KernelObject, WeightedKernelObject
 *   type objects        SequenceType, KernelType, WeightedKernelType
 *   lifecycle guards    raise_not_initialized, reject_reinit
 *   kernel parameters   kernel_params_t and the Sequence parameter check
 *   sequence coercion   coerce_sequence_seq/_kern/_wkern
 *   sequence arrays     seq_array_t, build_seq_array, free_seq_array
 *   padding             parse_padding
 *   buffer arguments    buffer_type_t, buffer_hold, buffer_check_shape
 *   core failures       raise_core_failure
 *   results             result_t: the caller's out buffer or nested lists
 *   result lists        flat_to_2d_list, flat_to_3d_list
 *   kernel-base methods shared by Kernel and WeightedKernel
 *   window methods      window_geometry_t, parse_window_args, self_window_matrices
 *   module functions    lmer_table_methods
 */
#ifndef GKMKERN_BINDING_H
#define GKMKERN_BINDING_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "gkmkern.h"

/* ---- kernel parameters --------------------------------------------------- */

/* What an encoded sequence depends on: a Sequence is only valid with kernels
 * whose record is equal to the one it was encoded with. */
typedef struct {
    int L;
    int k;
    int d;
    int weight_scheme;
    int use_rc;
} kernel_params_t;

void read_kernel_params(const void* kernel_base, kernel_params_t* out);

/* ---- kernel locks -------------------------------------------------------- */

/* One call at a time on a kernel object. A method holds the lock from reading
 * the kernel's state (reference count, cache) until it has written its
 * results, and runs the core without the GIL in between. */
typedef struct {
    PyThread_type_lock handle;  /* owned; NULL only when creating it failed */
    unsigned long owner;        /* holding thread's ident, 0 when free; only touched with the GIL held */
} kernel_lock_t;

/* 0, or -1 with MemoryError. */
int kernel_lock_create(kernel_lock_t* lock);
/* Frees the lock; safe on one whose creation failed. */
void kernel_lock_destroy(kernel_lock_t* lock);
/* 0 with the lock held, waiting for it without the GIL; -1 with RuntimeError
 * "<type_name> object is already in use by this thread" when this thread
 * holds it already. */
int lock_kernel(kernel_lock_t* lock, const char* type_name);
void unlock_kernel(kernel_lock_t* lock);

/* Runs the statements with the GIL released: they must not touch any Python
 * object, reference count or exception. */
#define WITHOUT_GIL(...)                    \
    do {                                    \
        Py_BEGIN_ALLOW_THREADS __VA_ARGS__; \
        Py_END_ALLOW_THREADS                \
    } while (0)

/* ---- object records ------------------------------------------------------ */

typedef struct {
    PyObject_HEAD
    gkm_sequence_t* seq;     /* owned; null until the initialiser succeeded */
    kernel_params_t params;  /* parameters of the kernel it was encoded for */
} SequenceObject;

typedef struct {
    PyObject_HEAD
    gkm_kernel_t* kernel;            /* owned; null until the initialiser succeeded */
    /* owned; reference windows of cross_window_eval. The cache records the
     * geometry and references it was built for (gkm_window_tree_cache_matches). */
    gkm_window_tree_cache_t* wcache;
    kernel_lock_t lock;              /* guards kernel and wcache */
} KernelObject;

typedef struct {
    PyObject_HEAD
    gkm_weighted_kernel_t* kernel;   /* owned; null until the initialiser succeeded */
    kernel_lock_t lock;              /* guards kernel */
} WeightedKernelObject;

extern PyTypeObject SequenceType;
extern PyTypeObject KernelType;
extern PyTypeObject WeightedKernelType;

/* ---- lifecycle guards ---------------------------------------------------- */

/* RuntimeError "<type_name> object is not initialized"; returns NULL of any pointer type. */
void* raise_not_initialized(const char* type_name);
/* -1 with RuntimeError "<type_name> object is already initialized" when state
 * is set: a second initialisation would free what a running call may use. */
int reject_reinit(const void* state, const char* type_name);

/* ---- sequence coercion --------------------------------------------------- */

/* A Sequence's encoded data (borrowed, *is_owned = 0) or a str encoded for
 * this call (*is_owned = 1, free it with gkm_sequence_free); NULL with an
 * exception otherwise. The caller keeps obj alive while it uses the result. */
gkm_sequence_t* coerce_sequence_seq(const void* kernel_base, PyObject* obj, int* is_owned);
gkm_sequence_t* coerce_sequence_kern(KernelObject* kobj, PyObject* obj, int* is_owned);
gkm_sequence_t* coerce_sequence_wkern(WeightedKernelObject* kobj, PyObject* obj, int* is_owned);

/* ---- sequence arrays ----------------------------------------------------- */

/* The sequences of one list argument, ready for the core. holders[i] is a
 * strong reference to the Sequence object whose encoded data seqs[i] borrows,
 * or NULL when seqs[i] was encoded from a str for this call and is owned. */
typedef struct {
    const gkm_sequence_t** seqs;
    PyObject** holders;
    int n;
} seq_array_t;

/* 0 and a filled array, or -1 with an exception and nothing left allocated. */
int build_seq_array(const void* kernel_base, PyObject* seqs_obj, seq_array_t* arr);
/* Frees owned sequences, drops the holders and both arrays; safe to repeat. */
void free_seq_array(seq_array_t* arr);

/* ---- padding ------------------------------------------------------------- */

/* None/absent: (0, 0); an int: both sides; a 2-element list or tuple: (left,
 * right). 0, or -1 with an exception and both outputs 0. */
int parse_padding(PyObject* pad_obj, int* pad_left, int* pad_right);

/* ---- buffer arguments ---------------------------------------------------- */

/* The items an array argument must hold. */
typedef struct {
    const char* name;  /* as in messages: "int32" */
    char kind;         /* 'i' signed integer, 'f' floating point */
    Py_ssize_t itemsize;
} buffer_type_t;

extern const buffer_type_t INT8_ITEMS, INT32_ITEMS, INT64_ITEMS, FLOAT64_ITEMS;

/* Holds obj's buffer in view: 0, or -1 with an exception naming the argument
 * and nothing held: TypeError when obj is not a buffer or holds other items,
 * ValueError when it is read-only (and writable is set) or not C-contiguous. */
int buffer_hold(Py_buffer* view, PyObject* obj, const char* name, const buffer_type_t* type, int writable);
/* 0 when the held view has exactly this shape, else -1 with ValueError naming
 * the argument; the view stays held either way. */
int buffer_check_shape(const Py_buffer* view, const char* name, int ndim, const Py_ssize_t* shape);

/* ---- core failures -------------------------------------------------------- */

/* Raises the exception of a failed core call, failed naming it ("<step>
 * failed"), from the reason the core recorded: MemoryError "<failed>: out of
 * memory" when memory ran out; refused_as with refusal (or failed, when
 * refusal is NULL) when the core refused its arguments or the object's state;
 * RuntimeError failed otherwise. Returns NULL of any pointer type. */
void* raise_core_failure(const char* failed, PyObject* refused_as, const char* refusal);

/* ---- results ------------------------------------------------------------- */

/* Where an evaluation writes its values: row-major at data, with the given
 * shape; they end up in the caller's out buffer or in new nested lists. */
typedef struct {
    PyObject* out;          /* borrowed; NULL when lists are returned */
    Py_buffer view;         /* held while out is written */
    double* data;
    int ndim;               /* 2 or 3 */
    Py_ssize_t shape[3];
} result_t;

/* 0 with r ready; -1 with an exception and nothing held: out (NULL or None
 * for lists) is not a writable C-contiguous float64 buffer of exactly this
 * shape (nothing is written to it), or the result cannot be had. */
int result_open(result_t* r, PyObject* out, int ndim, const Py_ssize_t* shape);
/* Releases r; returns out (a new reference) or the nested lists when ok,
 * NULL otherwise. */
PyObject* result_close(result_t* r, int ok);

/* ---- result lists -------------------------------------------------------- */
/* Nested lists of floats from a row-major buffer; NULL with an exception. */
PyObject* flat_to_2d_list(const double* buf, Py_ssize_t n_rows, Py_ssize_t n_cols);
PyObject* flat_to_3d_list(const double* buf, Py_ssize_t n_outer, Py_ssize_t n_rows, Py_ssize_t n_cols);

/* ---- kernel-base methods shared by Kernel and WeightedKernel -------------- */

enum { PARAM_L, PARAM_K, PARAM_D };

/* add_sequence(seq, sid=None, *, skip_invalid=False), holding lock while the
 * sequence is encoded and added; type_name names the object in errors. */
PyObject* kernel_base_add_sequence(void* kernel_base, kernel_lock_t* lock, const char* type_name, PyObject* args,
                                   PyObject* kwds);
/* The reference count, read holding lock. */
PyObject* kernel_base_num_sequences(const void* kernel_base, kernel_lock_t* lock, const char* type_name);
PyObject* kernel_base_weight(const void* kernel_base, PyObject* args);
PyObject* kernel_base_weight_scheme(const void* kernel_base);
PyObject* kernel_base_use_rc(const void* kernel_base);
/* which: PARAM_L, PARAM_K or PARAM_D */
PyObject* kernel_base_param(const void* kernel_base, int which);

/* ---- window methods shared by Kernel and WeightedKernel ------------------- */

typedef struct {
    int window;
    int shift;
    int pad_left;
    int pad_right;
} window_geometry_t;

/* (obj, window, shift, padding=None, *, out=None) with the keywords of
 * kwlist; 0, or -1 with an exception (the parser's, or parse_padding's). */
int parse_window_args(PyObject* args, PyObject* kwds, char** kwlist, PyObject** obj, window_geometry_t* geom,
                      PyObject** out);

/* A core evaluation of all-pairs window matrices: out[(w * n + i) * n + j], 0 or -1. */
typedef int (*window_matrices_fn)(const void* kernel, const gkm_sequence_t* const* seqs, int n,
                                  const window_geometry_t* geom, double* out);

/* The n_windows x n x n window matrices of equal-length sequences (lists, or
 * out filled), L the kernel's word length; the caller holds the kernel's lock
 * and eval runs without the GIL. shift < 1 and core failures raise
 * RuntimeError core_failed; no window, ValueError "no valid windows with
 * given padding". */
PyObject* self_window_matrices(const void* kernel, int L, const seq_array_t* seqs, const window_geometry_t* geom,
                               window_matrices_fn eval, const char* core_failed, PyObject* out);

/* ---- module-level functions --------------------------------------------- */

/* lmer_table_transform, the table's adds and sums, owner lists and the L-mer norms; added to the module by its
 * initialiser. */
extern PyMethodDef lmer_table_methods[];

#endif /* GKMKERN_BINDING_H */
