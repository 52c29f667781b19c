/* src/native_layout/layout_3_13.h: CPython 3.13's private layout (with the GIL), as the
 * fast paths read it; layout_3_13.c checks it against 3.13's internal headers. Included by
 * native_layout.h. */
#ifndef ORRINTH_LAYOUT_3_13_H
#define ORRINTH_LAYOUT_3_13_H

#include "dict_mirror.h"

/* The word before an object whose type has Py_TPFLAGS_MANAGED_DICT, counted back from the
 * object, that holds its dict (NULL until made); the values it keeps inline follow the
 * object's header (Py_TPFLAGS_INLINE_VALUES) and stay there, marked valid, while the dict
 * shares them. */
#define ORRINTH_MANAGED_DICT_WORD 3
/* Low bits of ma_version_tag that are not the version: 8 watcher bits and a 4-bit count
 * of changes to watched dicts. */
#define ORRINTH_DICT_VERSION_LOW_BITS 12
/* Whether a split table's dict gets a new version at every change of its values: not on
 * 3.13, which writes an attribute into the values an object keeps inline without giving
 * the instance dict that shares them a new version (only combined tables count). */
#define ORRINTH_SPLIT_DICT_VERSIONED 0
/* A dict's next version can be taken from its interpreter's counter
 * (orrinth_next_dict_version). */
#define ORRINTH_DICT_VERSION_COUNTER 1
/* The thread state counts Python calls and C calls apart. */
#define ORRINTH_PY_RECURSION_FIELD py_recursion_remaining
#define ORRINTH_C_RECURSION_FIELD c_recursion_remaining

/* PyDictValues: its size and flags, then the values. */
typedef struct {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject *values[1];
} orrinth_dict_values;


static inline PyObject *orrinth_managed_dict(PyObject *obj) {
    assert(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    return ((PyObject **)obj)[-ORRINTH_MANAGED_DICT_WORD];
}

static inline PyObject *const *orrinth_inline_values(PyObject *obj, Py_ssize_t count) {
    assert(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_INLINE_VALUES);
    assert(Py_TYPE(obj)->tp_basicsize == sizeof(PyObject));
    const orrinth_dict_values *values = (const orrinth_dict_values *)((char *)obj + sizeof(PyObject));
    if (!values->valid || count > values->capacity) return NULL;
    return values->values;
}


/* Whether instances of `type` keep their dict in the managed dict word and no values
 * inline (whose validity a dict set from outside would have to end). */
static inline int orrinth_fresh_dict_settable(PyTypeObject *type) {
    return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && !(type->tp_flags & Py_TPFLAGS_INLINE_VALUES);
}

/* Give `obj`, just made by its type's tp_alloc (for which orrinth_fresh_dict_settable
 * holds), the instance dict `dict`, whose reference it takes: what setting __dict__ on
 * the object tp_new makes leaves. */
static inline void orrinth_set_fresh_dict(PyObject *obj, PyObject *dict) {
    PyObject **words = (PyObject **)obj;
    assert(words[-ORRINTH_MANAGED_DICT_WORD] == NULL);
    words[-ORRINTH_MANAGED_DICT_WORD] = dict;
}

#endif
