// include/orrinth_native/lookups.hpp: lookups that hand back strong references and report
// errors, through the newest call the running interpreter has for each (3.13's *Ref
// calls, 3.12's type dict access) and the older ones only where those are missing.
#pragma once

#include "error.hpp"

namespace orrinth {

/// `dict[key]` for an exact dict, or an empty Ref when the key is absent. Throws when the
/// lookup fails (a key whose __hash__ or __eq__ raises).
inline Ref dict_get(PyObject *dict, PyObject *key) {
#if ORRINTH_API_313
    PyObject *value;
    if (PyDict_GetItemRef(dict, key, &value) < 0) throw PyErrSet{};
    return Ref::steal(value);
#else
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw PyErrSet{};
    return Ref::new_ref(value);
#endif
}

/// `dict[key]` for a key given as UTF-8 text; as dict_get().
inline Ref dict_get(PyObject *dict, const char *key) {
#if ORRINTH_API_313
    PyObject *value;
    if (PyDict_GetItemStringRef(dict, key, &value) < 0) throw PyErrSet{};
    return Ref::steal(value);
#else
    Ref k = require(PyUnicode_FromString(key));
    return dict_get(dict, k.get());
#endif
}

/// `getattr(obj, name)`, or an empty Ref when that raises AttributeError; other errors throw.
inline Ref optional_attr(PyObject *obj, const char *name) {
#if ORRINTH_API_313
    PyObject *value;
    if (PyObject_GetOptionalAttrString(obj, name, &value) < 0) throw PyErrSet{};
    return Ref::steal(value);
#else
    PyObject *value = PyObject_GetAttrString(obj, name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    return Ref();
#endif
}

/// The dict of a class. From 3.12 on the static built-in types keep theirs per
/// interpreter and their tp_dict is NULL; PyType_GetDict finds it. Empty when none.
inline Ref type_dict(PyTypeObject *type) {
#if ORRINTH_API_312
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::new_ref(type->tp_dict);
#endif
}

/// The builtins namespace that a global name falls back to in the running code.
inline Ref current_builtins() {
#if ORRINTH_API_313
    return require(PyEval_GetFrameBuiltins());
#else
    return Ref::new_ref(PyEval_GetBuiltins());  // borrowed; NULL only without an interpreter
#endif
}

/// The namespace left by running `source` (module-level statements) in a fresh dict with
/// the running code's builtins: for probing, at import, what the interpreter itself builds.
inline Ref run_in_fresh_namespace(const char *source) {
    Ref globals = require(PyDict_New());
    require(PyDict_SetItemString(globals.get(), "__builtins__", current_builtins().get()));
    require(PyRun_String(source, Py_file_input, globals.get(), globals.get()));
    return globals;
}

}  // namespace orrinth
