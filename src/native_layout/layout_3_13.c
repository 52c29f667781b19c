/* src/native_layout/layout_3_13.c: layout_3_13.h held to CPython 3.13's own definitions.
 * Built into each module on every version; only on 3.13 (with the GIL) does it compile to
 * anything. Every offset the inline readers rely on is checked here at build time where
 * the internal headers give it as a constant, and at run time (orrinth_layout_agrees, for
 * the readers' assert()s and the tests) where they give it only as an accessor. */
#include "version.h"
#if ORRINTH_LAYOUT_VERSION == 313

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

_Static_assert(MANAGED_DICT_OFFSET == -ORRINTH_MANAGED_DICT_WORD * (Py_ssize_t)sizeof(PyObject *),
               "3.13 keeps the managed dict elsewhere");
_Static_assert(sizeof(PyManagedDictPointer) == sizeof(PyObject *), "3.13's managed dict is not one word");
ORRINTH_SAME_FIELD(orrinth_dict_values, struct _dictvalues, capacity);
ORRINTH_SAME_FIELD(orrinth_dict_values, struct _dictvalues, size);
ORRINTH_SAME_FIELD(orrinth_dict_values, struct _dictvalues, embedded);
ORRINTH_SAME_FIELD(orrinth_dict_values, struct _dictvalues, valid);
ORRINTH_SAME_FIELD(orrinth_dict_values, struct _dictvalues, values);
_Static_assert(DICT_VERSION_INCREMENT == 1 << ORRINTH_DICT_VERSION_LOW_BITS,
               "3.13 keeps another number of bits below a dict's version");

int
orrinth_layout_agrees(PyObject *obj)
{
    PyTypeObject *type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return 1;
    }
    if (orrinth_managed_dict(obj) != (PyObject *)_PyObject_GetManagedDict(obj)) {
        return 0;
    }
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) {
        return 1;
    }
    PyDictValues *values = _PyObject_InlineValues(obj);
    return orrinth_inline_values(obj, 0) == (values->valid ? values->values : NULL);
}


uint64_t
orrinth_next_dict_version(PyInterpreterState *interp)
{
    return DICT_NEXT_VERSION(interp);
}

#endif
