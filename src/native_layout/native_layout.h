/* src/native_layout/native_layout.h: reads that need the running interpreter's private
 * object layout, built in C against its internal headers (instance_values.c). */
#ifndef ORRINTH_NATIVE_LAYOUT_H
#define ORRINTH_NATIVE_LAYOUT_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The index of `name` (compared by identity) among the attribute names that instances of
 * `type` keep inline, or -1 when the type keeps none or the name is not among them. */
Py_ssize_t orrinth_shared_key_index(PyTypeObject *type, PyObject *name);

/* The attribute values `obj` keeps inline, indexed as orrinth_shared_key_index gives for
 * the object's type, at least `count` of them (the largest index used plus one), each
 * NULL where the object holds no value; NULL when the object no longer keeps its values
 * inline (on some versions, once its dict was made). Valid until Python code runs. */
PyObject *const *orrinth_inline_values(PyObject *obj, Py_ssize_t count);

#ifdef __cplusplus
}
#endif

#endif
