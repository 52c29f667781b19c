/* src/native_layout/layout_3_11.c: layout_3_11.h held to CPython 3.11's own definitions.
 * Built into each module on every version; only on 3.11 (with the GIL) does it compile to
 * anything. Every offset the inline readers rely on is checked here at build time where
 * the internal headers give it as a constant, and at run time (orrinth_layout_agrees, for
 * the readers' assert()s and the tests) where they give it only as an accessor. */
#include "version.h"
#if ORRINTH_LAYOUT_VERSION == 311

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

_Static_assert(MANAGED_DICT_OFFSET == -ORRINTH_MANAGED_DICT_WORD * (int)sizeof(PyObject *),
               "3.11 keeps the managed dict elsewhere");
_Static_assert(offsetof(PyDictValues, values) == 0, "3.11's values do not start the values array");

int
orrinth_layout_agrees(PyObject *obj)
{
    if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return 1;
    }
    PyDictValues *values = *_PyObject_ValuesPointer(obj);
    return orrinth_managed_dict(obj) == *_PyObject_ManagedDictPointer(obj) &&
           orrinth_inline_values(obj, 0) == (values ? values->values : NULL);
}

#endif
