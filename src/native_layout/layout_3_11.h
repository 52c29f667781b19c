/* src/native_layout/layout_3_11.h: CPython 3.11's private layout, as the fast paths read
 * it; layout_3_11.c checks it against 3.11's internal headers. Included by native_layout.h. */
#ifndef ORRINTH_LAYOUT_3_11_H
#define ORRINTH_LAYOUT_3_11_H

#include "dict_mirror.h"

/* The words before an object whose type has Py_TPFLAGS_MANAGED_DICT, counted back from
 * the object: the dict pointer, and before it the pointer to the values kept inline
 * (NULL once the dict is made). */
#define ORRINTH_MANAGED_DICT_WORD 3
#define ORRINTH_INLINE_VALUES_WORD 4
/* Low bits of ma_version_tag that are not the version: none. */
#define ORRINTH_DICT_VERSION_LOW_BITS 0
/* Whether a split table's dict gets a new version at every change of its values. */
#define ORRINTH_SPLIT_DICT_VERSIONED 1
/* 3.11 counts every call, Python or C, in one counter of the thread state. */
#define ORRINTH_PY_RECURSION_FIELD recursion_remaining
#define ORRINTH_C_RECURSION_FIELD recursion_remaining


static inline PyObject *orrinth_managed_dict(PyObject *obj) {
    assert(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    return ((PyObject **)obj)[-ORRINTH_MANAGED_DICT_WORD];
}

static inline PyObject *const *orrinth_inline_values(PyObject *obj, Py_ssize_t count) {
    (void)count;
    assert(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    /* The values array starts with the values (3.11's PyDictValues is just them). */
    return ((PyObject *const **)obj)[-ORRINTH_INLINE_VALUES_WORD];
}

/* Whether instances of `type` keep their dict in the managed dict word. */
static inline int orrinth_fresh_dict_settable(PyTypeObject *type) {
    return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
}

/* Give `obj`, just made by its type's tp_alloc (for which orrinth_fresh_dict_settable
 * holds), the instance dict `dict`, whose reference it takes: the state that setting
 * __dict__ on the object tp_new makes leaves, once the dict of its inline values has been
 * made and dropped (values pointer NULL, dict pointer the dict). */
static inline void orrinth_set_fresh_dict(PyObject *obj, PyObject *dict) {
    PyObject **words = (PyObject **)obj;
    assert(words[-ORRINTH_INLINE_VALUES_WORD] == NULL && words[-ORRINTH_MANAGED_DICT_WORD] == NULL);
    words[-ORRINTH_MANAGED_DICT_WORD] = dict;
}

#endif
