/* src/native_layout/layout_3_12.c: layout_3_12.h held to CPython 3.12's own definitions.
 * Built into each module on every version; only on 3.12 (with the GIL) does it compile to
 * anything. Every offset the inline readers rely on is checked here at build time where
 * the internal headers give it as a constant, and at run time (orrinth_layout_agrees, for
 * the readers' assert()s and the tests) where they give it only as an accessor. */
#include "version.h"
#if ORRINTH_LAYOUT_VERSION == 312

#define Py_BUILD_CORE 1
#include <Python.h>
/* The internal headers are the interpreter's, written for its own warning flags. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>
#pragma GCC diagnostic pop

#include "native_layout.h"
#include "layout_shared.h"

_Static_assert(sizeof(PyDictOrValues) == sizeof(uintptr_t), "3.12's dict-or-values is not one word");
_Static_assert(MANAGED_WEAKREF_OFFSET == -(ORRINTH_MANAGED_DICT_WORD + 1) * (Py_ssize_t)sizeof(PyObject *),
               "3.12 keeps the managed dict elsewhere (its word follows the weak references')");
_Static_assert(offsetof(PyDictValues, values) == 0, "3.12's values do not start the values array");
_Static_assert(DICT_VERSION_INCREMENT == 1 << ORRINTH_DICT_VERSION_LOW_BITS,
               "3.12 keeps another number of bits below a dict's version");

int
orrinth_layout_agrees(PyObject *obj)
{
    if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return 1;
    }
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    const int is_values = _PyDictOrValues_IsValues(dorv);
    return orrinth_managed_dict(obj) == (is_values ? NULL : dorv.dict) &&
           orrinth_inline_values(obj, 0) ==
               (is_values ? _PyDictOrValues_GetValues(dorv)->values : NULL);
}


uint64_t
orrinth_next_dict_version(PyInterpreterState *interp)
{
    return DICT_NEXT_VERSION(interp);
}

#endif
