/* src/native_layout/version.h: the interpreter version the modules are built for, and every
 * switch that depends on it, named once. Nothing outside src/native_layout/ tests the
 * version itself: code asks for the switch that says what it relies on.
 *
 * Plain C (the layout files include it too); it needs only pyconfig.h and patchlevel.h. */
#ifndef ORRINTH_VERSION_H
#define ORRINTH_VERSION_H

#include <patchlevel.h>
#include <pyconfig.h>

/* The interpreter's private object and dict layout is written out (and checked at build
 * time) for these versions with the GIL: 311, 312 or 313, matching one layout_3_NN.h and
 * layout_3_NN.c. 0: no layout is known (another version, a free-threaded build, where
 * another thread may be rewriting the words read); every fast path that reads it is off
 * and layout_none.h gives the stubs. Adding a version means one layout header, one C file
 * and one line here. */
#if defined(Py_GIL_DISABLED)
#define ORRINTH_LAYOUT_VERSION 0
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define ORRINTH_LAYOUT_VERSION 311
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define ORRINTH_LAYOUT_VERSION 312
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define ORRINTH_LAYOUT_VERSION 313
#else
#define ORRINTH_LAYOUT_VERSION 0
#endif
#define ORRINTH_LAYOUT_KNOWN (ORRINTH_LAYOUT_VERSION != 0)

/* Reads of the private layout, each on wherever the layout is known. */
/* A dict's keys object and str-keyed entries (the remembered-entry reads, the message dict). */
#define ORRINTH_DICT_LAYOUT_KNOWN ORRINTH_LAYOUT_KNOWN
/* The version bits of ma_version_tag (the remembered lookups); 3.14 removes the field. */
#define ORRINTH_DICT_VERSION_KNOWN ORRINTH_LAYOUT_KNOWN
/* The managed-dict word before an object (prefetching, the managed-dict accessor). */
#define ORRINTH_OBJECT_LAYOUT_KNOWN ORRINTH_LAYOUT_KNOWN
/* The thread state's C recursion counter, counted down directly by native calls. */
#define ORRINTH_DIRECT_RECURSION_COUNT ORRINTH_LAYOUT_KNOWN
/* 3.13: a split table's values array knows its capacity (read through it, bounded). */
#define ORRINTH_DICT_VALUES_CAPACITY (ORRINTH_LAYOUT_VERSION == 313)

/* Where an instance attribute of a plain class is read from (InstanceAttrCache). */
#define ORRINTH_INSTANCE_READ_DICT_PTR 1     /* 3.11: the dict pointer, made from the values if need be */
#define ORRINTH_INSTANCE_READ_NO_DICT 2      /* 3.12: the dict if made, else the inline values */
#define ORRINTH_INSTANCE_READ_VALUES_FIRST 3 /* 3.13: the inline values while valid, then the dict */
#define ORRINTH_INSTANCE_READ_GENERIC 4      /* elsewhere: the dict, made by the generic getter */
#if ORRINTH_LAYOUT_VERSION == 313
#define ORRINTH_INSTANCE_READ ORRINTH_INSTANCE_READ_VALUES_FIRST
#elif ORRINTH_LAYOUT_VERSION == 312
#define ORRINTH_INSTANCE_READ ORRINTH_INSTANCE_READ_NO_DICT
#elif PY_VERSION_HEX < 0x030C0000
#define ORRINTH_INSTANCE_READ ORRINTH_INSTANCE_READ_DICT_PTR
#else
#define ORRINTH_INSTANCE_READ ORRINTH_INSTANCE_READ_GENERIC
#endif

/* The public C API: what exists from which version on. */
/* 3.12: PyErr_GetRaisedException, PyType_GetDict, Py_T_* member codes,
 * Py_mod_multiple_interpreters; every str is ready (no PyUnicode_READY). */
#define ORRINTH_API_312 (PY_VERSION_HEX >= 0x030C0000)
/* 3.13: PyDict_GetItemRef, PyObject_GetOptionalAttrString, PyEval_GetFrameBuiltins,
 * PyThreadState_GetUnchecked. */
#define ORRINTH_API_313 (PY_VERSION_HEX >= 0x030D0000)

/* What the running interpreter's compiler and argument binding do, reproduced. */
/* 3.13: "Did you mean 'x'?" after an unknown keyword argument. */
#define ORRINTH_KEYWORD_SUGGESTIONS (PY_VERSION_HEX >= 0x030D0000)
/* 3.13: docstrings are stored with their common indentation removed. */
#define ORRINTH_DOCSTRINGS_DEDENTED (PY_VERSION_HEX >= 0x030D0000)
/* 3.13: a class namespace gets __firstlineno__ and __static_attributes__. */
#define ORRINTH_CLASS_STATIC_ATTRIBUTES (PY_VERSION_HEX >= 0x030D0000)

#endif /* ORRINTH_VERSION_H */
