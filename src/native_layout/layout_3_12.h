/* src/native_layout/layout_3_12.h: CPython 3.12's private layout, as the fast paths read
 * it; layout_3_12.c checks it against 3.12's internal headers. Included by native_layout.h. */
#ifndef ORRINTH_LAYOUT_3_12_H
#define ORRINTH_LAYOUT_3_12_H

#include "dict_mirror.h"

/* The word before an object whose type has Py_TPFLAGS_MANAGED_DICT, counted back from the
 * object, that holds either its dict or, tagged with bit 0, a pointer to the values it
 * keeps inline (PyDictOrValues). */
#define ORRINTH_MANAGED_DICT_WORD 3
/* Low bits of ma_version_tag that are not the version: the dict's 8 watcher bits. */
#define ORRINTH_DICT_VERSION_LOW_BITS 8
/* Whether a split table's dict gets a new version at every change of its values. */
#define ORRINTH_SPLIT_DICT_VERSIONED 1
/* A dict's next version can be taken from its interpreter's counter
 * (orrinth_next_dict_version). */
#define ORRINTH_DICT_VERSION_COUNTER 1
/* The thread state counts Python calls and C calls apart. */
#define ORRINTH_PY_RECURSION_FIELD py_recursion_remaining
#define ORRINTH_C_RECURSION_FIELD c_recursion_remaining


static inline uintptr_t orrinth_dict_or_values(PyObject *obj) {
    assert(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    return ((const uintptr_t *)obj)[-ORRINTH_MANAGED_DICT_WORD];
}

static inline PyObject *orrinth_managed_dict(PyObject *obj) {
    const uintptr_t word = orrinth_dict_or_values(obj);
    return (word & 1) ? NULL : (PyObject *)word;
}

static inline PyObject *const *orrinth_inline_values(PyObject *obj, Py_ssize_t count) {
    (void)count;
    const uintptr_t word = orrinth_dict_or_values(obj);
    /* Tagged as the address minus one (odd, values being aligned); the values array
     * starts with the values (3.12's PyDictValues is just them). */
    return (word & 1) ? (PyObject *const *)(word + 1) : NULL;
}


/* Whether instances of `type` keep their dict in the managed dict word. */
static inline int orrinth_fresh_dict_settable(PyTypeObject *type) {
    return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
}

/* Give `obj`, just made by its type's tp_alloc (for which orrinth_fresh_dict_settable
 * holds), the instance dict `dict`, whose reference it takes: the state that setting
 * __dict__ on the object tp_new makes leaves, once the dict of its inline values has been
 * made and dropped (the word holds the dict, untagged). */
static inline void orrinth_set_fresh_dict(PyObject *obj, PyObject *dict) {
    uintptr_t *words = (uintptr_t *)obj;
    assert(words[-ORRINTH_MANAGED_DICT_WORD] == 0 && ((uintptr_t)dict & 1) == 0);
    words[-ORRINTH_MANAGED_DICT_WORD] = (uintptr_t)dict;
}

#endif
