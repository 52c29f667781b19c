// include/orrinth_native/classes.hpp: module-body helpers: imports as the import statement
// does them, and classes built the way a class statement builds them.
#pragma once

#include "docstring.hpp"
#include "error.hpp"
#include "lookups.hpp"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

namespace orrinth {

/// `import name` (absolute): the module itself.
inline Ref import_module(const char *name) { return require(PyImport_ImportModule(name)); }

/// `from module import name` (absolute), with the interpreter's ImportError when the
/// module lacks the name (after looking for a submodule of that name, as it does).
inline Ref import_from(PyObject *module, const char *name) {
    if (Ref v = optional_attr(module, name)) return v;
    Ref modname = Ref::steal(PyModule_Check(module) ? PyModule_GetNameObject(module) : nullptr);
    if (!modname) {
        PyErr_Clear();
        modname = Ref::steal(PyUnicode_FromString("<unknown module name>"));
        if (!modname) throw PyErrSet{};
    } else {
        Ref full = require(PyUnicode_FromFormat("%U.%s", modname.get(), name));
        PyObject *sub = PyImport_GetModule(full.get());
        if (sub) return Ref::steal(sub);
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    Ref path = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr);
    if (!path) PyErr_Clear();
    Ref msg = path && PyUnicode_Check(path.get())
                  ? require(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name,
                                                 modname.get(), path.get()))
                  : require(PyUnicode_FromFormat(
                        "cannot import name '%s' from %R (unknown location)", name,
                        modname.get()));
    PyErr_SetImportError(msg.get(), modname.get(), path ? path.get() : Py_None);
    throw PyErrSet{};
}

/// Bind `value` under `name` in a module's namespace.
inline void bind(PyObject *module, const char *name, const Ref &value) {
    require(PyModule_AddObjectRef(module, name, value.get()));
}

/// The most derived metaclass of the bases, as a class statement computes it.
inline PyTypeObject *calculate_metaclass(PyObject *bases) {
    PyTypeObject *winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); i++) {
        PyTypeObject *t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        throw raise(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                    "subclass of the metaclasses of all its bases");
    }
    return winner;
}

/// A class statement in two halves: `prepare` computes the metaclass and asks its
/// __prepare__ for the namespace; the caller fills it in order; `create` calls the
/// metaclass with (name, bases, namespace).
struct ClassBuilder {
    Ref name;
    Ref bases;
    Ref meta;
    Ref ns;

    ClassBuilder(const char *class_name, Ref base_tuple)
        : name(require(PyUnicode_FromString(class_name))), bases(std::move(base_tuple)) {
        meta = Ref::new_ref(reinterpret_cast<PyObject *>(calculate_metaclass(bases.get())));
        Ref prepare = optional_attr(meta.get(), "__prepare__");
        if (!prepare) {
            ns = require(PyDict_New());
        } else {
            ns = require(PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(),
                                                      nullptr));
            if (!PyMapping_Check(ns.get())) {
                PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                             reinterpret_cast<PyTypeObject *>(meta.get())->tp_name,
                             Py_TYPE(ns.get())->tp_name);
                throw PyErrSet{};
            }
        }
    }

    void set(const char *key, const Ref &value) {
        Ref k = require(PyUnicode_InternFromString(key));
        require(PyObject_SetItem(ns.get(), k.get(), value.get()));
    }

    /// What a class statement puts first: __module__, __qualname__, (from 3.13 on)
    /// __firstlineno__, and __doc__ as the compiler stores a docstring (nullptr: None).
    /// A built class has no source lines; it reports line 1, where its module begins.
    void header(PyObject *module_name, const char *qualname, const char *doc) {
        set("__module__", Ref::new_ref(module_name));
        set("__qualname__", require(PyUnicode_FromString(qualname)));
#if ORRINTH_CLASS_STATIC_ATTRIBUTES
        set("__firstlineno__", require(PyLong_FromLong(1)));
#endif
        set("__doc__", doc ? compiled_docstring(doc) : Ref::new_ref(Py_None));
    }

    /// Call the metaclass. `static_attributes` are the names the class's methods assign
    /// as `self.NAME`: from 3.13 on, the class statement ends by storing them, sorted, as
    /// the tuple __static_attributes__.
    Ref create(std::initializer_list<const char *> static_attributes = {}) {
#if ORRINTH_CLASS_STATIC_ATTRIBUTES
        std::vector<std::string> sorted(static_attributes.begin(), static_attributes.end());
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        Ref names = require(PyTuple_New(static_cast<Py_ssize_t>(sorted.size())));
        for (size_t i = 0; i < sorted.size(); i++)
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i),
                             require(PyUnicode_FromString(sorted[i].c_str())).release());
        set("__static_attributes__", names);
#else
        (void)static_attributes;
#endif
        return require(PyObject_CallFunctionObjArgs(meta.get(), name.get(), bases.get(),
                                                    ns.get(), nullptr));
    }
};

/// Wrap with a built-in descriptor type (staticmethod, classmethod, property).
inline Ref wrap(PyTypeObject *type, const Ref &fn) {
    return require(PyObject_CallOneArg(reinterpret_cast<PyObject *>(type), fn.get()));
}

}  // namespace orrinth
