/* Module functions on L-mer weight tables and L-mer self-norms. Arrays come
 * in through the buffer protocol; every argument is checked, naming it,
 * before anything is written, and the core runs without the GIL. */
#include "binding.h"

#include <string.h>

/* ---- buffer arguments ------------------------------------------------------ */

/* Views held by one call, released together on every path. */
typedef struct {
    Py_buffer views[5];
    int n;
} held_buffers_t;

static void release_buffers(held_buffers_t* held)
{
    for (int i = 0; i < held->n; i++) PyBuffer_Release(&held->views[i]);
    held->n = 0;
}

/* obj's buffer, held with the call's others; NULL with an exception naming the argument. */
static Py_buffer* hold_buffer(held_buffers_t* held, PyObject* obj, const char* name, const buffer_type_t* type,
                              int writable)
{
    Py_buffer* view = &held->views[held->n];
    if (buffer_hold(view, obj, name, type, writable) < 0) return NULL;
    held->n++;
    return view;
}

static Py_ssize_t item_count(const Py_buffer* view) { return view->len / view->itemsize; }

/* A held buffer of one dimension, or -1 with ValueError. */
static int check_flat(const Py_buffer* view, const char* name)
{
    if (view->ndim == 1) return 0;
    PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not %d-dimensional", name, view->ndim);
    return -1;
}

static Py_buffer* hold_flat(held_buffers_t* held, PyObject* obj, const char* name, const buffer_type_t* type,
                            int writable)
{
    Py_buffer* view = hold_buffer(held, obj, name, type, writable);
    return view != NULL && check_flat(view, name) == 0 ? view : NULL;
}

/* ---- scalar and weight arguments ------------------------------------------ */

enum { MAX_WEIGHTS = 12 };

typedef struct {
    double w[MAX_WEIGHTS];
    int n;
} weights_t;

static int parse_weights(PyObject* obj, weights_t* weights)
{
    PyObject* given = PySequence_Fast(obj, "weights must be a sequence of floats");
    if (given == NULL) return -1;
    /* A tuple of its own: a weight's __float__ could change a list under the loop. */
    PyObject* items = PySequence_Tuple(given);
    Py_DECREF(given);
    if (items == NULL) return -1;
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    int rc = -1;
    if (n < 1 || n > MAX_WEIGHTS) {
        PyErr_Format(PyExc_ValueError, "weights must hold 1 to %d values, not %zd", MAX_WEIGHTS, n);
        goto done;
    }
    for (Py_ssize_t m = 0; m < n; m++) {
        PyObject* item = PyTuple_GET_ITEM(items, m);
        weights->w[m] = PyFloat_AsDouble(item);
        if (weights->w[m] == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "weights[%zd] must be a float, not %.100s", m, Py_TYPE(item)->tp_name);
            }
            goto done;
        }
    }
    weights->n = (int)n;
    rc = 0;
done:
    Py_DECREF(items);
    return rc;
}

static int check_L(int L)
{
    if (L >= 2 && L <= 12) return 0;
    PyErr_Format(PyExc_ValueError, "L must be in 2..12, not %d", L);
    return -1;
}

static int check_at_least_one(Py_ssize_t value, const char* name)
{
    if (value >= 1) return 0;
    PyErr_Format(PyExc_ValueError, "%s must be at least 1, not %zd", name, value);
    return -1;
}

static int check_codes(const Py_buffer* codes, int L)
{
    const int32_t* data = codes->buf;
    const int64_t bad = gkm_lmer_first_bad_code(data, item_count(codes), L);
    if (bad < 0) return 0;
    PyErr_Format(PyExc_ValueError, "codes[%lld] = %d is not an L-mer code for L = %d (expected -1 or 0..4**L - 1)",
                 (long long)bad, (int)data[bad], L);
    return -1;
}

static int check_bases(const Py_buffer* bases)
{
    const int8_t* data = bases->buf;
    const int64_t bad = gkm_lmer_first_bad_base(data, item_count(bases));
    if (bad < 0) return 0;
    PyErr_Format(PyExc_ValueError, "bases[%lld] = %d is not a base code (expected -1..3)", (long long)bad,
                 (int)data[bad]);
    return -1;
}

static int check_count(const Py_buffer* view, const char* name, Py_ssize_t expected, const char* what)
{
    if (item_count(view) == expected) return 0;
    PyErr_Format(PyExc_ValueError, "%s must hold %s = %zd values, not %zd", name, what, expected, item_count(view));
    return -1;
}

/* -1 with the TypeError of a missing keyword when the keyword-only argument name was not given. */
static int require_keyword(PyObject* value, const char* function, const char* name)
{
    if (value != NULL) return 0;
    PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument: '%s'", function, name);
    return -1;
}

/* None, or the exception of the core's failure, named after the failed step. */
static PyObject* core_result(held_buffers_t* held, int rc, const char* failed_step)
{
    release_buffers(held);
    if (rc < 0) return raise_core_failure(failed_step, PyExc_ValueError, NULL);
    Py_RETURN_NONE;
}

/* As core_result, for calls whose arrays only the core checks (they run once
 * per solver iteration on millions of values): named is nonzero when, after
 * the core refused, the binding's own checks found the culprit and set its
 * exception, which then stands. */
static PyObject* checked_result(held_buffers_t* held, int rc, int named, const char* failed_step)
{
    if (rc < 0 && named) {
        release_buffers(held);
        return NULL;
    }
    return core_result(held, rc, failed_step);
}

/* ---- lmer_table_transform -------------------------------------------------- */

/* L with 4**L == n and 2 <= L <= 12, else 0. */
static int table_L(Py_ssize_t n)
{
    for (int L = 2; L <= 12; L++)
        if (n == (Py_ssize_t)1 << (2 * L)) return L;
    return 0;
}

/* The held table and its L, or NULL with ValueError when its size is no 4**L. */
static Py_buffer* hold_table(held_buffers_t* held, PyObject* obj, int writable, int* L)
{
    Py_buffer* table = hold_flat(held, obj, "table", &FLOAT64_ITEMS, writable);
    if (table == NULL) return NULL;
    *L = table_L(item_count(table));
    if (*L) return table;
    PyErr_Format(PyExc_ValueError, "table must hold 4**L values for some L in 2..12, not %zd", item_count(table));
    return NULL;
}

static PyObject* lmer_table_transform(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"table", "weights", "nthreads", NULL};
    PyObject *table_obj, *weights_obj;
    int nthreads = 1, L;
    weights_t weights;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$i", kwlist, &table_obj, &weights_obj, &nthreads)) return NULL;
    if (parse_weights(weights_obj, &weights) < 0 || check_at_least_one(nthreads, "nthreads") < 0) return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer* table = hold_table(&held, table_obj, 1, &L);
    if (table == NULL) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_table_transform(table->buf, L, weights.w, weights.n, nthreads));
    return core_result(&held, rc, "gkm_lmer_table_transform failed");
}

/* ---- lmer_codes -------------------------------------------------------------- */

/* -1 with ValueError unless bounds holds n + 1 non-decreasing offsets into the target's items. */
static int check_bounds(const Py_buffer* bounds, const Py_buffer* target, const char* target_name)
{
    const Py_ssize_t n = item_count(bounds);
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "bounds must hold at least one offset");
        return -1;
    }
    const int64_t* data = bounds->buf;
    const int64_t bad = gkm_lmer_first_bad_bound(data, n - 1, item_count(target));
    if (bad < 0) return 0;
    PyErr_Format(PyExc_ValueError,
                 "bounds[%lld] = %lld: bounds must be non-decreasing offsets within [0, len(%s) = %zd]",
                 (long long)bad, (long long)data[bad], target_name, item_count(target));
    return -1;
}

/* The codes max(len - L + 1, 0) a text that texts of these bounds hold. */
static Py_ssize_t lmer_count(const Py_buffer* bounds, int L)
{
    const int64_t* data = bounds->buf;
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i + 1 < item_count(bounds); i++)
        if (data[i + 1] - data[i] >= L) count += (Py_ssize_t)(data[i + 1] - data[i] - L + 1);
    return count;
}

static PyObject* lmer_codes(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"bases", "bounds", "L", "out", "nthreads", NULL};
    PyObject *bases_obj, *bounds_obj, *out_obj = NULL;
    int L, nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOi|$Oi", kwlist, &bases_obj, &bounds_obj, &L, &out_obj,
                                     &nthreads))
        return NULL;
    if (require_keyword(out_obj, "lmer_codes", "out") < 0 || check_L(L) < 0 ||
        check_at_least_one(nthreads, "nthreads") < 0)
        return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *bases, *bounds, *out;
    if ((bases = hold_flat(&held, bases_obj, "bases", &INT8_ITEMS, 0)) == NULL ||
        (bounds = hold_flat(&held, bounds_obj, "bounds", &INT64_ITEMS, 0)) == NULL ||
        (out = hold_flat(&held, out_obj, "out", &INT32_ITEMS, 1)) == NULL ||
        check_bounds(bounds, bases, "bases") < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_codes(bases->buf, item_count(bases), bounds->buf, item_count(bounds) - 1, L, out->buf,
                                    item_count(out), nthreads));
    return checked_result(&held, rc,
                          rc < 0 && (check_bases(bases) < 0 ||
                                     check_count(out, "out", lmer_count(bounds, L), "the L-mers of the texts") < 0),
                          "gkm_lmer_codes failed");
}

/* ---- lmer_norms ------------------------------------------------------------- */

static PyObject* lmer_norms(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"codes", "bounds", "L", "weights", "use_rc", "out", "nthreads", NULL};
    PyObject *codes_obj, *bounds_obj, *weights_obj, *out_obj = NULL;
    int L, use_rc, nthreads = 1;
    weights_t weights;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOiOp|$Oi", kwlist, &codes_obj, &bounds_obj, &L, &weights_obj,
                                     &use_rc, &out_obj, &nthreads))
        return NULL;
    if (require_keyword(out_obj, "lmer_norms", "out") < 0 || check_L(L) < 0 ||
        parse_weights(weights_obj, &weights) < 0 ||
        check_at_least_one(nthreads, "nthreads") < 0)
        return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *codes, *bounds, *out;
    if ((codes = hold_flat(&held, codes_obj, "codes", &INT32_ITEMS, 0)) == NULL ||
        (bounds = hold_flat(&held, bounds_obj, "bounds", &INT64_ITEMS, 0)) == NULL ||
        (out = hold_flat(&held, out_obj, "out", &FLOAT64_ITEMS, 1)) == NULL || check_codes(codes, L) < 0 ||
        check_bounds(bounds, codes, "codes") < 0 ||
        check_count(out, "out", item_count(bounds) - 1, "len(bounds) - 1") < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_norms(codes->buf, item_count(codes), bounds->buf, item_count(out), L, weights.w,
                                    weights.n, use_rc, nthreads, out->buf));
    return core_result(&held, rc, "gkm_lmer_norms failed");
}

/* ---- lmer_table_add and lmer_table_sums ---------------------------------------- */

static PyObject* lmer_table_add(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"table", "codes", "bounds", "amounts", "use_rc", "nthreads", NULL};
    PyObject *table_obj, *codes_obj, *bounds_obj, *amounts_obj;
    int use_rc, nthreads = 1, L;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOp|$i", kwlist, &table_obj, &codes_obj, &bounds_obj,
                                     &amounts_obj, &use_rc, &nthreads))
        return NULL;
    if (check_at_least_one(nthreads, "nthreads") < 0) return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *table, *codes, *bounds, *amounts;
    if ((table = hold_table(&held, table_obj, 1, &L)) == NULL ||
        (codes = hold_flat(&held, codes_obj, "codes", &INT32_ITEMS, 0)) == NULL ||
        (bounds = hold_flat(&held, bounds_obj, "bounds", &INT64_ITEMS, 0)) == NULL ||
        (amounts = hold_flat(&held, amounts_obj, "amounts", &FLOAT64_ITEMS, 0)) == NULL || check_codes(codes, L) < 0 ||
        check_bounds(bounds, codes, "codes") < 0 ||
        check_count(amounts, "amounts", item_count(bounds) - 1, "len(bounds) - 1") < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_table_add(table->buf, L, codes->buf, item_count(codes), bounds->buf,
                                        item_count(amounts), amounts->buf, use_rc, nthreads));
    return core_result(&held, rc, "gkm_lmer_table_add failed");
}

/* -1 with ValueError naming the first slice [starts[i], stops[i]) that does not lie within the codes. */
static int check_slices(const Py_buffer* starts, const Py_buffer* stops, Py_ssize_t n_codes)
{
    const int64_t *first = starts->buf, *last = stops->buf;
    for (Py_ssize_t i = 0; i < item_count(starts); i++) {
        if (first[i] >= 0 && first[i] <= last[i] && last[i] <= n_codes) continue;
        PyErr_Format(PyExc_ValueError,
                     "slice %zd = [%lld, %lld) does not lie within [0, len(codes) = %zd] with start <= stop", i,
                     (long long)first[i], (long long)last[i], n_codes);
        return -1;
    }
    return 0;
}

static PyObject* lmer_table_sums(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"table", "codes", "starts", "stops", "out", "nthreads", NULL};
    PyObject *table_obj, *codes_obj, *starts_obj, *stops_obj, *out_obj = NULL;
    int nthreads = 1, L;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|$Oi", kwlist, &table_obj, &codes_obj, &starts_obj,
                                     &stops_obj, &out_obj, &nthreads))
        return NULL;
    if (require_keyword(out_obj, "lmer_table_sums", "out") < 0 || check_at_least_one(nthreads, "nthreads") < 0)
        return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *table, *codes, *starts, *stops, *out;
    if ((table = hold_table(&held, table_obj, 0, &L)) == NULL ||
        (codes = hold_flat(&held, codes_obj, "codes", &INT32_ITEMS, 0)) == NULL ||
        (starts = hold_flat(&held, starts_obj, "starts", &INT64_ITEMS, 0)) == NULL ||
        (stops = hold_flat(&held, stops_obj, "stops", &INT64_ITEMS, 0)) == NULL ||
        (out = hold_flat(&held, out_obj, "out", &FLOAT64_ITEMS, 1)) == NULL ||
        check_count(out, "out", item_count(starts), "len(starts)") < 0 ||
        check_count(stops, "stops", item_count(starts), "len(starts)") < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_table_sums(table->buf, L, codes->buf, item_count(codes), starts->buf, stops->buf,
                                         item_count(out), nthreads, out->buf));
    return checked_result(&held, rc,
                          rc < 0 && (check_codes(codes, L) < 0 || check_slices(starts, stops, item_count(codes)) < 0),
                          "gkm_lmer_table_sums failed");
}

/* ---- lmer_owners and lmer_table_of_owners ------------------------------------ */

static Py_ssize_t valid_codes(const Py_buffer* codes)
{
    const int32_t* data = codes->buf;
    Py_ssize_t valid = 0;
    for (Py_ssize_t c = 0; c < item_count(codes); c++) valid += data[c] >= 0;
    return valid;
}

static PyObject* lmer_owners(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"codes", "bounds", "L", "use_rc", "offsets", "owners", "nthreads", NULL};
    PyObject *codes_obj, *bounds_obj, *offsets_obj = NULL, *owners_obj = NULL;
    int L, use_rc, nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOip|$OOi", kwlist, &codes_obj, &bounds_obj, &L, &use_rc,
                                     &offsets_obj, &owners_obj, &nthreads))
        return NULL;
    if (require_keyword(offsets_obj, "lmer_owners", "offsets") < 0 ||
        require_keyword(owners_obj, "lmer_owners", "owners") < 0 || check_L(L) < 0 ||
        check_at_least_one(nthreads, "nthreads") < 0)
        return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *codes, *bounds, *offsets, *owners;
    if ((codes = hold_flat(&held, codes_obj, "codes", &INT32_ITEMS, 0)) == NULL ||
        (bounds = hold_flat(&held, bounds_obj, "bounds", &INT64_ITEMS, 0)) == NULL ||
        (offsets = hold_flat(&held, offsets_obj, "offsets", &INT64_ITEMS, 1)) == NULL ||
        (owners = hold_flat(&held, owners_obj, "owners", &INT32_ITEMS, 1)) == NULL ||
        check_count(offsets, "offsets", ((Py_ssize_t)1 << (2 * L)) + 1, "4**L + 1") < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_owners(L, codes->buf, item_count(codes), bounds->buf, item_count(bounds) - 1, use_rc,
                                     offsets->buf, owners->buf, item_count(owners), nthreads));
    return checked_result(&held, rc,
                          rc < 0 && (check_codes(codes, L) < 0 || check_bounds(bounds, codes, "codes") < 0 ||
                                     check_count(owners, "owners", valid_codes(codes), "one value per valid code") < 0),
                          "gkm_lmer_owners failed");
}

/* -1 with ValueError unless offsets run from 0 to len(owners) without falling and every owner indexes amounts. */
static int check_owner_lists(const Py_buffer* offsets, const Py_buffer* owners, Py_ssize_t n_amounts)
{
    const int64_t* starts = offsets->buf;
    const Py_ssize_t last = item_count(offsets) - 1;
    int64_t bad = gkm_lmer_first_bad_bound(starts, last, item_count(owners));
    if (bad < 0 && starts[0] != 0) bad = 0;
    if (bad < 0 && starts[last] != item_count(owners)) bad = last;
    if (bad >= 0) {
        PyErr_Format(PyExc_ValueError,
                     "offsets[%lld] = %lld: offsets must rise from 0 to len(owners) = %zd without falling",
                     (long long)bad, (long long)starts[bad], item_count(owners));
        return -1;
    }
    const int32_t* data = owners->buf;
    for (Py_ssize_t j = 0; j < item_count(owners); j++) {
        if (data[j] >= 0 && data[j] < n_amounts) continue;
        PyErr_Format(PyExc_ValueError, "owners[%zd] = %d is not an index into amounts (len %zd)", j, (int)data[j],
                     n_amounts);
        return -1;
    }
    return 0;
}

static PyObject* lmer_table_of_owners(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"table", "offsets", "owners", "amounts", "use_rc", "nthreads", NULL};
    PyObject *table_obj, *offsets_obj, *owners_obj, *amounts_obj;
    int use_rc, nthreads = 1, L;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOp|$i", kwlist, &table_obj, &offsets_obj, &owners_obj,
                                     &amounts_obj, &use_rc, &nthreads))
        return NULL;
    if (check_at_least_one(nthreads, "nthreads") < 0) return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *table, *offsets, *owners, *amounts;
    if ((table = hold_table(&held, table_obj, 1, &L)) == NULL ||
        (offsets = hold_flat(&held, offsets_obj, "offsets", &INT64_ITEMS, 0)) == NULL ||
        (owners = hold_flat(&held, owners_obj, "owners", &INT32_ITEMS, 0)) == NULL ||
        (amounts = hold_flat(&held, amounts_obj, "amounts", &FLOAT64_ITEMS, 0)) == NULL ||
        check_count(offsets, "offsets", item_count(table) + 1, "len(table) + 1") < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_table_of_owners(table->buf, L, offsets->buf, owners->buf, item_count(owners),
                                              amounts->buf, item_count(amounts), use_rc, nthreads));
    return checked_result(&held, rc, rc < 0 && check_owner_lists(offsets, owners, item_count(amounts)) < 0,
                          "gkm_lmer_table_of_owners failed");
}

/* ---- lmer_sliding_norms ------------------------------------------------------ */

static int check_windows_fit(Py_ssize_t n_windows, Py_ssize_t n_codes, Py_ssize_t per_window, Py_ssize_t shift)
{
    if (n_windows == 0 || (per_window <= n_codes && n_windows - 1 <= (n_codes - per_window) / shift)) return 0;
    PyErr_Format(PyExc_ValueError,
                 "out has %zd windows but codes holds %zd L-mers: (len(out) - 1) * shift + lmers_per_window "
                 "must not exceed len(codes)",
                 n_windows, n_codes);
    return -1;
}

static PyObject* lmer_sliding_norms(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"codes", "L", "weights", "use_rc", "lmers_per_window", "shift", "out", NULL};
    PyObject *codes_obj, *weights_obj, *out_obj = NULL;
    int L, use_rc;
    Py_ssize_t per_window, shift;
    weights_t weights;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OiOpnn|$O", kwlist, &codes_obj, &L, &weights_obj, &use_rc,
                                     &per_window, &shift, &out_obj))
        return NULL;
    if (require_keyword(out_obj, "lmer_sliding_norms", "out") < 0 || check_L(L) < 0 ||
        parse_weights(weights_obj, &weights) < 0 ||
        check_at_least_one(per_window, "lmers_per_window") < 0 || check_at_least_one(shift, "shift") < 0)
        return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *codes, *out;
    if ((codes = hold_flat(&held, codes_obj, "codes", &INT32_ITEMS, 0)) == NULL ||
        (out = hold_flat(&held, out_obj, "out", &FLOAT64_ITEMS, 1)) == NULL || check_codes(codes, L) < 0 ||
        check_windows_fit(item_count(out), item_count(codes), per_window, shift) < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_sliding_norms(codes->buf, item_count(codes), L, weights.w, weights.n, use_rc,
                                            per_window, shift, item_count(out), out->buf));
    return core_result(&held, rc, "gkm_lmer_sliding_norms failed");
}

/* ---- lmer_mutant_norms ------------------------------------------------------- */

/* out of shape (4, n), or flat of 4 * n values. */
static int check_mutant_out(const Py_buffer* out, Py_ssize_t n)
{
    if ((out->ndim == 2 && out->shape[0] == 4 && out->shape[1] == n) || (out->ndim == 1 && out->shape[0] == 4 * n))
        return 0;
    PyErr_Format(PyExc_ValueError, "out must have shape (4, %zd) or (%zd,)", n, 4 * n);
    return -1;
}

static PyObject* lmer_mutant_norms(PyObject* Py_UNUSED(module), PyObject* args, PyObject* kwds)
{
    static char* kwlist[] = {"bases", "L", "weights", "use_rc", "out", NULL};
    PyObject *bases_obj, *weights_obj, *out_obj = NULL;
    int L, use_rc;
    weights_t weights;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OiOp|$O", kwlist, &bases_obj, &L, &weights_obj, &use_rc, &out_obj))
        return NULL;
    if (require_keyword(out_obj, "lmer_mutant_norms", "out") < 0 || check_L(L) < 0 ||
        parse_weights(weights_obj, &weights) < 0)
        return NULL;
    held_buffers_t held = {.n = 0};
    Py_buffer *bases, *out;
    if ((bases = hold_flat(&held, bases_obj, "bases", &INT8_ITEMS, 0)) == NULL ||
        (out = hold_buffer(&held, out_obj, "out", &FLOAT64_ITEMS, 1)) == NULL ||
        check_mutant_out(out, item_count(bases)) < 0 || check_bases(bases) < 0) {
        release_buffers(&held);
        return NULL;
    }
    int rc;
    WITHOUT_GIL(rc = gkm_lmer_mutant_norms(bases->buf, item_count(bases), L, weights.w, weights.n, use_rc, out->buf));
    return core_result(&held, rc, "gkm_lmer_mutant_norms failed");
}

/* ---- method table -------------------------------------------------------------- */

PyMethodDef lmer_table_methods[] = {
    {"lmer_table_transform", (PyCFunction)(void (*)(void))lmer_table_transform, METH_VARARGS | METH_KEYWORDS,
     "lmer_table_transform(table, weights, *, nthreads=1)\n--\n\n"
     "Replace the L-mer table s, in place, by W s with W[u, v] = weights[m(u, v)].\n\n"
     "Parameters\n----------\n"
     "table : writable C-contiguous float64 buffer of 4**L values, 2 <= L <= 12\n"
     "    One value per L-mer code (2 bits a base, A=0 C=1 G=2 T=3, first base highest).\n"
     "weights : sequence of 1 to 12 floats\n"
     "    weights[m] for m mismatches; pairs at more mismatches weigh 0.\n"
     "nthreads : int\n"
     "    OpenMP threads; the result does not depend on it.\n\n"
     "Raises ValueError or TypeError naming a bad argument, MemoryError (table untouched)."},
    {"lmer_table_add", (PyCFunction)(void (*)(void))lmer_table_add, METH_VARARGS | METH_KEYWORDS,
     "lmer_table_add(table, codes, bounds, amounts, use_rc, *, nthreads=1)\n--\n\n"
     "Add amounts[i] to the table at every L-mer of run i, in place.\n\n"
     "Parameters\n----------\n"
     "table : writable C-contiguous float64 buffer of 4**L values, 2 <= L <= 12\n"
     "codes : int32 buffer of forward L-mer codes, -1 left out\n"
     "bounds : int64 buffer of n + 1 non-decreasing offsets into codes\n"
     "    Run i is codes[bounds[i]:bounds[i + 1]].\n"
     "amounts : float64 buffer of n values\n"
     "use_rc : bool\n    Add at each code's reverse complement too.\n"
     "nthreads : int\n    OpenMP threads; the result does not depend on it.\n\n"
     "On an error the table is left untouched."},
    {"lmer_table_sums", (PyCFunction)(void (*)(void))lmer_table_sums, METH_VARARGS | METH_KEYWORDS,
     "lmer_table_sums(table, codes, starts, stops, *, out, nthreads=1)\n--\n\n"
     "Sum of the table over each slice codes[starts[i]:stops[i]], left to right.\n\n"
     "Parameters\n----------\n"
     "table : C-contiguous float64 buffer of 4**L values, 2 <= L <= 12\n"
     "codes : int32 buffer of forward L-mer codes, -1 left out (adds nothing)\n"
     "starts, stops : int64 buffers of n offsets, 0 <= start <= stop <= len(codes)\n"
     "out : writable float64 buffer of n values\n"
     "nthreads : int\n    OpenMP threads over the slices.\n\n"
     "Each slice is summed the same way wherever it lies. On an error out is left untouched."},
    {"lmer_owners", (PyCFunction)(void (*)(void))lmer_owners, METH_VARARGS | METH_KEYWORDS,
     "lmer_owners(codes, bounds, L, use_rc, *, offsets, owners, nthreads=1)\n--\n\n"
     "Which runs hold each L-mer, as lists per L-mer code.\n\n"
     "Parameters\n----------\n"
     "codes : int32 buffer of forward L-mer codes, -1 left out\n"
     "bounds : int64 buffer of n + 1 non-decreasing offsets into codes (run i: codes[bounds[i]:bounds[i + 1]])\n"
     "L : int\nuse_rc : bool\n"
     "    An L-mer and its reverse complement share one list, kept at the lesser code (the other's is empty).\n"
     "offsets : writable int64 buffer of 4**L + 1 values\n"
     "owners : writable int32 buffer, one value per valid code\n"
     "    owners[offsets[u]:offsets[u + 1]] lists run i once per occurrence of u (or, with use_rc, of its\n"
     "    reverse complement), runs in order.\n"
     "nthreads : int\n    OpenMP threads; the result does not depend on it.\n\n"
     "On an error offsets and owners are left untouched."},
    {"lmer_table_of_owners", (PyCFunction)(void (*)(void))lmer_table_of_owners, METH_VARARGS | METH_KEYWORDS,
     "lmer_table_of_owners(table, offsets, owners, amounts, use_rc, *, nthreads=1)\n--\n\n"
     "Set table[u] to the sum of amounts[i] over the owners i listed for u by lmer_owners with the same use_rc.\n\n"
     "The table of lmer_table_add on a zeroed table, bit for bit, from reads of amounts instead of scattered\n"
     "writes; the result does not depend on nthreads. On an error the table is left untouched."},
    {"lmer_codes", (PyCFunction)(void (*)(void))lmer_codes, METH_VARARGS | METH_KEYWORDS,
     "lmer_codes(bases, bounds, L, *, out, nthreads=1)\n--\n\n"
     "The L-mer codes of many texts, one text after another.\n\n"
     "Parameters\n----------\n"
     "bases : int8 buffer of base codes, 0..3 for A, C, G, T and -1 for anything else\n"
     "bounds : int64 buffer of n + 1 non-decreasing offsets into bases (text i: bases[bounds[i]:bounds[i + 1]])\n"
     "L : int\n"
     "out : writable int32 buffer of the texts' L-mers, max(len - L + 1, 0) a text\n"
     "    Two bits a base, the first most significant; -1 where an L-mer covers a base of -1.\n"
     "nthreads : int\n    OpenMP threads over the texts.\n\n"
     "On an error out is left untouched."},
    {"lmer_norms", (PyCFunction)(void (*)(void))lmer_norms, METH_VARARGS | METH_KEYWORDS,
     "lmer_norms(codes, bounds, L, weights, use_rc, *, out, nthreads=1)\n--\n\n"
     "Self-norms of runs of forward L-mer codes, as Sequence.sqnorm() gives them.\n\n"
     "Parameters\n----------\n"
     "codes : int32 buffer\n"
     "    Forward L-mer codes of the sequences, concatenated; -1 leaves an L-mer out.\n"
     "bounds : int64 buffer of n + 1 non-decreasing offsets into codes\n"
     "    Sequence i is codes[bounds[i]:bounds[i + 1]].\n"
     "L : int\nweights : sequence of 1 to 12 floats (weights[m], m = 0..d)\n"
     "use_rc : bool\n    Count pairs with the reverse-complement strand too.\n"
     "out : writable float64 buffer of n values\n"
     "nthreads : int\n    OpenMP threads over the sequences.\n\n"
     "On an error out is left untouched."},
    {"lmer_sliding_norms", (PyCFunction)(void (*)(void))lmer_sliding_norms, METH_VARARGS | METH_KEYWORDS,
     "lmer_sliding_norms(codes, L, weights, use_rc, lmers_per_window, shift, *, out)\n--\n\n"
     "Self-norms of the windows codes[w * shift : w * shift + lmers_per_window].\n\n"
     "Parameters\n----------\n"
     "codes : int32 buffer of forward L-mer codes, -1 left out\n"
     "L : int\nweights : sequence of 1 to 12 floats\nuse_rc : bool\n"
     "lmers_per_window, shift : int, at least 1\n"
     "out : writable float64 buffer, one value per window\n"
     "    Its length is the number of windows; the last must end within codes.\n\n"
     "Equal, bit for bit, to lmer_norms of each window. On an error out is left untouched."},
    {"lmer_mutant_norms", (PyCFunction)(void (*)(void))lmer_mutant_norms, METH_VARARGS | METH_KEYWORDS,
     "lmer_mutant_norms(bases, L, weights, use_rc, *, out)\n--\n\n"
     "Self-norms of every single-base substitution of one sequence.\n\n"
     "Parameters\n----------\n"
     "bases : int8 buffer of n base codes, 0..3, or -1 for a non-ACGT base\n"
     "    L-mers covering a -1 are left out; replacing it may make them count.\n"
     "L : int\nweights : sequence of 1 to 12 floats\nuse_rc : bool\n"
     "out : writable C-contiguous float64 buffer of shape (4, n), or flat of 4 * n values\n"
     "    out[b, i]: norm with base i replaced by b (the unmutated norm where b is base i).\n\n"
     "Equal, bit for bit, to lmer_norms of each mutant. On an error out is left untouched."},
    {NULL, NULL, 0, NULL},
};
