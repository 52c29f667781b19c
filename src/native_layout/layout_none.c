/* src/native_layout/layout_none.c: the out-of-line readers where no layout is known
 * (version.h): nothing is read, every caller takes the plain route. */
#include "version.h"
#if !ORRINTH_LAYOUT_KNOWN

#include "native_layout.h"

Py_ssize_t
orrinth_shared_key_index(PyTypeObject *type, PyObject *name)
{
    (void)type;
    (void)name;
    return -1;
}

int
orrinth_layout_agrees(PyObject *obj)
{
    (void)obj;
    return 1;
}

#endif
