/* src/native_layout/instance_values.c: an instance attribute read from the values an
 * object keeps inline, where the running interpreter's own attribute lookup would read
 * it from.
 *
 * Instances of a class made by a class statement keep their attributes in an array laid
 * out by the attribute names all instances of the class share (the class's cached keys):
 * the value of a name sits at the index of that name among the keys, which never changes
 * while the class exists. Where that array is and how an object marks that it has
 * switched to a real dict differ per version, and are the interpreter's private layout;
 * this file is therefore C, built against the running version's internal headers, which
 * define both. Nothing here is guessed: every access is the one the internal headers
 * spell out, and orrinth's modules check at import that reads through here give what
 * getattr gives (see inline_attrs.hpp).
 */
/* The layouts below are those of CPython 3.11 to 3.13 with the GIL. Any other build reads
 * nothing inline: every read takes the generic lookup. */
#include <patchlevel.h>
#include <pyconfig.h>
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)

#define Py_BUILD_CORE 1
#include <Python.h>
/* The internal headers are the interpreter's, written for its own warning flags. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>
#pragma GCC diagnostic pop

#include "native_layout.h"


Py_ssize_t
orrinth_shared_key_index(PyTypeObject *type, PyObject *name)
{
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return -1;
    }
#if PY_VERSION_HEX >= 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) {
        return -1;
    }
#endif
    PyDictKeysObject *keys = ((PyHeapTypeObject *)type)->ht_cached_keys;
    if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) {
        return -1;
    }
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; i++) {
        if (entries[i].me_key == name) {
            return i;
        }
    }
    return -1;
}

PyObject *const *
orrinth_inline_values(PyObject *obj, Py_ssize_t count)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyDictValues *values = _PyObject_InlineValues(obj);
    if (!values->valid || count > values->capacity) {
        return NULL;
    }
#elif PY_VERSION_HEX >= 0x030C0000
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    if (!_PyDictOrValues_IsValues(dorv)) {
        return NULL;
    }
    PyDictValues *values = _PyDictOrValues_GetValues(dorv);
    (void)count;
#else
    PyDictValues *values = *_PyObject_ValuesPointer(obj);
    if (values == NULL) {
        return NULL;
    }
    (void)count;
#endif
    return values->values;
}

#else

#include <Python.h>

#include "native_layout.h"

Py_ssize_t
orrinth_shared_key_index(PyTypeObject *type, PyObject *name)
{
    (void)type;
    (void)name;
    return -1;
}

PyObject *const *
orrinth_inline_values(PyObject *obj, Py_ssize_t count)
{
    (void)obj;
    (void)count;
    return NULL;
}

#endif
