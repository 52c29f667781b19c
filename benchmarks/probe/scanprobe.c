/* benchmarks/probe/scanprobe.c: how fast can a scan over stored events be?
 *
 * A measurement probe, not part of the package: it answers "what would the filter
 * queries cost if they read the fields of exact TraceEvent objects straight from the
 * instance dict instead of through the generic attribute machinery", with and without
 * software prefetching of the events ahead. It does none of the checks that make such a
 * fast path safe (type version guard, fallback), so it is a lower bound, not a design.
 *
 *   cc -O2 -shared -fPIC $(python3-config --includes) benchmarks/probe/scanprobe.c \
 *      -o benchmarks/probe/scanprobe$(python3-config --extension-suffix)
 *   (add -DPROBE_DICT_HINT for mode 3, which uses the interpreter's private dict layout)
 *   PYTHONPATH=src:benchmarks/probe python3 benchmarks/probe/run_probe.py
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#ifdef PROBE_DICT_HINT
/* Mode 3 reads the dict's entry table at a remembered index, as the interpreter's own
 * attribute caches do; that needs the interpreter's private dict layout. */
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#endif

/* filter(events, name, value, mode): events whose attribute `name` (an interned str) is
 * `value` (an exact str), read through the generic getattr (mode 0), straight from the
 * instance dict (mode 1), from the dict with prefetching (mode 2), or from the dict's
 * entry table at the field's index with prefetching (mode 3, PROBE_DICT_HINT only), or
 * as mode 2 while holding a strong reference to each event (mode 4). */
static PyObject *probe_filter(PyObject *self, PyObject *args) {
    PyObject *events, *name, *value;
    int mode;
    if (!PyArg_ParseTuple(args, "O!UUi", &PyList_Type, &events, &name, &value, &mode)) return NULL;
    Py_INCREF(name);
    PyUnicode_InternInPlace(&name);
    PyObject *out = PyList_New(0);
    if (!out) goto fail;
    Py_ssize_t n = PyList_GET_SIZE(events);
    Py_ssize_t hint = 0;  /* `type` is the first field of a TraceEvent */
    (void)hint;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *e = PyList_GET_ITEM(events, i);
        PyObject *field;
        /* Mode 4 is mode 2 holding a strong reference to each event while it is read,
         * which writes to every event's header. */
        if (mode == 4) Py_INCREF(e);
        if (mode == 0) {
            field = PyObject_GetAttr(e, name);
            if (!field) goto fail;
        } else {
            /* A three-stage pipeline: the object 12 ahead, its dict 8 ahead (the object
             * is in cache by then), the dict's key table 4 ahead. */
            if (mode >= 2) {
                if (i + 12 < n) {
                    PyObject *far = PyList_GET_ITEM(events, i + 12);
                    __builtin_prefetch((char *)far - 32);
                    __builtin_prefetch(far);
                }
                if (i + 8 < n) {
                    PyObject **mid = _PyObject_GetDictPtr(PyList_GET_ITEM(events, i + 8));
                    if (mid && *mid) __builtin_prefetch(*mid);
                }
                if (i + 4 < n) {
                    PyObject **near = _PyObject_GetDictPtr(PyList_GET_ITEM(events, i + 4));
                    if (near && *near && PyDict_CheckExact(*near)) {
                        char *keys = (char *)((PyDictObject *)*near)->ma_keys;
                        __builtin_prefetch(keys);
                        __builtin_prefetch(keys + 64);
                    }
                }
            }
            /* For a type with a managed dict (3.11) this is the pointer in front of the
             * object's header; pydantic models always have their dict materialized. */
            PyObject **dictptr = _PyObject_GetDictPtr(e);
            if (!dictptr) {
                PyErr_SetString(PyExc_TypeError, "no instance dict");
                goto fail;
            }
            PyObject *dict = *dictptr;
            field = NULL;
#ifdef PROBE_DICT_HINT
            if (mode == 3 && dict && PyDict_CheckExact(dict)) {
                PyDictKeysObject *keys = ((PyDictObject *)dict)->ma_keys;
                if (((PyDictObject *)dict)->ma_values == NULL && DK_IS_UNICODE(keys) &&
                    hint < keys->dk_nentries) {
                    PyDictUnicodeEntry *entry = DK_UNICODE_ENTRIES(keys) + hint;
                    if (entry->me_key == name) field = entry->me_value;
                }
            }
#endif
            if (!field && dict) field = PyDict_GetItemWithError(dict, name);
            if (!field) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
                goto fail;
            }
            Py_INCREF(field);
        }
        int eq = field == value;
        if (!eq && PyUnicode_CheckExact(field)) eq = PyUnicode_Compare(field, value) == 0;
        Py_DECREF(field);
        if (eq && PyList_Append(out, e) < 0) goto fail;
        if (mode == 4) Py_DECREF(e);
    }
    Py_DECREF(name);
    return out;
fail:
    Py_DECREF(name);
    Py_XDECREF(out);
    return NULL;
}

static PyMethodDef methods[] = {
    {"filter", probe_filter, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "scanprobe", NULL, -1, methods};

PyMODINIT_FUNC PyInit_scanprobe(void) {
    PyObject *m = PyModule_Create(&moddef);
#ifdef PROBE_DICT_HINT
    if (m && PyModule_AddObject(m, "HINT", Py_NewRef(Py_True)) < 0) Py_CLEAR(m);
#endif
    return m;
}
