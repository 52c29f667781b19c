/* src/orrinth/dict_layout_check.c: holds dict_layout.h to the interpreter it is built for.
 * Compiled into each module; it fails the build when a field of the written-out layout is
 * not where the interpreter's own definition puts it, and reads an object's managed dict
 * pointer with the interpreter's own accessor. */
/* The interpreter's internal headers must see Python.h compiled as its own core. */
#define Py_BUILD_CORE 1
#include "orrinth_native/dict_layout.h"

#if ORRINTH_DICT_LAYOUT_KNOWN
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>

#include <stddef.h>

#define SAME_FIELD(mirror, real, field)                                                   \
    _Static_assert(offsetof(mirror, field) == offsetof(real, field) &&                    \
                       sizeof(((mirror *)0)->field) == sizeof(((real *)0)->field),        \
                   #field " of " #real " differs from dict_layout.h")

SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_refcnt);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_log2_size);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_log2_index_bytes);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_kind);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_nentries);
_Static_assert(sizeof(orrinth_dict_keys) == offsetof(struct _dictkeysobject, dk_indices),
               "the index table of a dict's keys does not follow dk_nentries");
SAME_FIELD(orrinth_unicode_entry, PyDictUnicodeEntry, me_key);
SAME_FIELD(orrinth_unicode_entry, PyDictUnicodeEntry, me_value);
_Static_assert(sizeof(orrinth_unicode_entry) == sizeof(PyDictUnicodeEntry),
               "a str-keyed dict entry differs from dict_layout.h");
_Static_assert((int)ORRINTH_DICT_KEYS_UNICODE == (int)DICT_KEYS_UNICODE &&
                   (int)ORRINTH_DICT_KEYS_SPLIT == (int)DICT_KEYS_SPLIT,
               "the kinds of dict keys differ from dict_layout.h");
#if ORRINTH_DICT_VALUES_CAPACITY
SAME_FIELD(orrinth_dict_values, struct _dictvalues, capacity);
SAME_FIELD(orrinth_dict_values, struct _dictvalues, values);
#endif

PyObject *orrinth_managed_dict(PyObject *obj) {
#if PY_VERSION_HEX >= 0x030D0000
    return (PyObject *)_PyObject_GetManagedDict(obj);
#elif PY_VERSION_HEX >= 0x030C0000
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    return _PyDictOrValues_IsValues(dorv) ? NULL : dorv.dict;
#else
    return *_PyObject_ManagedDictPointer(obj);
#endif
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
PyObject *orrinth_inline_value(PyObject *obj, PyObject *name, Py_ssize_t *hint) {
    PyTypeObject *tp = Py_TYPE(obj);
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT))
        return NULL;
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    PyDictKeysObject *keys = ((PyHeapTypeObject *)tp)->ht_cached_keys;
    if (!_PyDictOrValues_IsValues(dorv) || !keys || keys->dk_kind != DICT_KEYS_SPLIT)
        return NULL;
    /* The values were sized for every entry the shared keys can ever hold. */
    PyDictValues *values = _PyDictOrValues_GetValues(dorv);
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    Py_ssize_t ix = *hint;
    if (ix < 0 || ix >= keys->dk_nentries || entries[ix].me_key != name) {
        for (ix = 0; ix < keys->dk_nentries && entries[ix].me_key != name; ix++) {
        }
        if (ix == keys->dk_nentries) return NULL;
        *hint = ix;
    }
    return values->values[ix];
}
#endif
#endif
