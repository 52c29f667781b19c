// include/orrinth_native/mro.hpp: whether an attribute read on instances of a class takes
// object's generic path, which the fast readers rely on to read a dict directly.
#pragma once

#include "error.hpp"

namespace orrinth {

/// Whether, for instances of `t`, reading any of `names` takes the generic attribute
/// lookup: no class on `t`'s MRO defines `__getattribute__` (object's and type's own do
/// not count; the lookup they define is the generic one) and none holds a data descriptor
/// under one of `names` (it would win over the instance's own dict). Reads class dicts
/// with exact str keys only, so it runs no Python code. Fails closed on anything odd.
inline bool generic_lookup_applies(PyTypeObject *t, PyObject *const *names, int count) {
    PyObject *mro = t->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (base == reinterpret_cast<PyObject *>(&PyBaseObject_Type) ||
            base == reinterpret_cast<PyObject *>(&PyType_Type))
            continue;
        if (!PyType_Check(base)) return false;
        PyObject *dict = reinterpret_cast<PyTypeObject *>(base)->tp_dict;
        if (!dict || !PyDict_Check(dict)) return false;
        if (PyDict_GetItemString(dict, "__getattribute__")) return false;
        for (int k = 0; k < count; k++) {
            PyObject *attr = PyDict_GetItem(dict, names[k]);
            if (attr && Py_TYPE(attr)->tp_descr_set) return false;
        }
    }
    return true;
}

}  // namespace orrinth
