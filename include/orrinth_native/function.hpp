// include/orrinth_native/function.hpp: a native function type that looks and binds like a
// Python function (vectorcall, method descriptor, __code__, signature, ceval's argument errors).
#pragma once

#include "arguments.hpp"
#include "dict_memo.hpp"
#include "docstring.hpp"
#include "lookups.hpp"

#include <native_layout.h>

// The member type codes are part of Python.h from 3.12 on; before, structmember.h
// defines them under names it has since deprecated.
#if !ORRINTH_API_312
#include <structmember.h>
#endif

#include <cstddef>

namespace orrinth {

#if ORRINTH_API_312
inline constexpr int kSsizeMember = Py_T_PYSSIZET, kReadOnlyMember = Py_READONLY;
#else
inline constexpr int kSsizeMember = T_PYSSIZET, kReadOnlyMember = READONLY;
#endif

struct FnObject;

/// The body of a native function. `args` holds exactly `nparams` bound arguments,
/// borrowed from the caller (defaults filled in; valid for the whole call, see ref.hpp);
/// it returns the result or throws (error.hpp): the call trampoline (detail::run_body)
/// is the one place where a C++ exception becomes a Python one.
using Impl = Ref (*)(FnObject *fn, PyObject *const *args);

/// A parameter: its name and its annotation text (nullptr: not annotated).
struct Param {
    const char *name;
    const char *annotation;
};

/// Static description of one function; every parameter is positional-or-keyword.
struct FunctionDef {
    const char *name;
    const char *qualname;
    const char *doc;      // nullptr: no docstring
    const char *returns;  // return annotation text; nullptr: not annotated
    const Param *params;
    int nparams;
    Impl impl;
};

struct FnObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    int nparams;
    PyObject *names;        // tuple of interned parameter names
    PyObject *name;         // str
    PyObject *qualname;     // str
    PyObject *module;       // any object (normally the module's name)
    PyObject *doc;          // any object, None when there is no docstring
    PyObject *annotations;  // dict: parameter name -> annotation text
    PyObject *defaults;     // tuple, or NULL for none
    PyObject *code;         // a code object describing the parameters
    PyObject *globals;      // the defining module's namespace
    PyObject *owner;        // the defining module (for its state)
    void *state;            // the owner's state, which lives as long as the owner
    PyObject *dict;         // function attributes
    PyObject *weakreflist;
};

/// The module state of the module that defined `fn`.
template <class State>
inline State &state_of(FnObject *fn) {
    return *static_cast<State *>(fn->state);
}

/// Look a name up as LOAD_GLOBAL would: the module namespace first, then the builtins.
inline Ref load_global(FnObject *fn, PyObject *name) {
    if (Ref v = dict_get(fn->globals, name)) return v;
    if (Ref builtins = current_builtins()) {
        if (Ref v = dict_get(builtins.get(), name)) return v;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrSet{};
}

/// load_global() for one name, remembered while the namespace is unchanged (see
/// DictLookupMemo). A name found only among the builtins is looked up every time.
class CachedGlobal {
  public:
    explicit CachedGlobal(PyObject *name = nullptr) : name_(name) {}

    Ref get(FnObject *fn) {
        if (PyDict_CheckExact(fn->globals)) {
            if (Borrowed v = memo_.lookup(fn->globals, name_)) return v.new_ref();
        }
        return load_global(fn, name_);
    }

  private:
    PyObject *name_;
    DictLookupMemo memo_;
};

namespace detail {

/// The error boundary of every native function: the body's result, or NULL with the
/// Python exception set for whatever it threw (a forced unwind passes through).
[[gnu::always_inline]] inline PyObject *run_body(FnObject *fn, PyObject *const *slots) {
    return entry([&] { return fn->impl(fn, slots); });
}

/// Run the body with bound arguments. A body may call Python code that calls a native
/// function again with no Python frame in between, so the call counts towards the
/// recursion limit as the interpreter's own built-in functions do: endless recursion
/// raises RecursionError instead of overflowing the C stack.
inline PyObject *call_body(FnObject *fn, PyObject *const *slots) {
#if ORRINTH_DIRECT_RECURSION_COUNT
    // 3.11 to 3.13 count calls down in the thread state (3.11 all calls, 3.12 and 3.13 C
    // calls), and Py_EnterRecursiveCall only decrements the count while it is above zero
    // (the interpreter's shared-library builds pay two calls and two thread-state lookups
    // for that). Done here while the count has room; at the limit, the interpreter's own
    // call raises its error.
    int &remaining = *orrinth_c_recursion_remaining(orrinth_thread_state_unchecked());
    if (remaining > 0) {
        remaining--;
        PyObject *result = run_body(fn, slots);
        remaining++;
        return result;
    }
#endif
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject *result = run_body(fn, slots);
    Py_LeaveRecursiveCall();
    return result;
}

/// Binding for any call but the plainest: keywords, defaults, or an argument error.
[[gnu::noinline]] inline PyObject *bind_and_call(FnObject *fn, PyObject *const *args,
                                                 Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[kMaxParams] = {};
    const Signature sig{fn->qualname, fn->names, fn->defaults, fn->nparams};
    if (!bind_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    return call_body(fn, slots);
}

}  // namespace detail

/// The vectorcall of every native function: bind the arguments as the interpreter binds
/// a Python function's, then run the body (detail::call_body). A call that passes every
/// parameter by position hands the caller's own array to the body, with nothing to copy or
/// check. The arguments stay borrowed: the caller keeps them alive for the whole call.
/// Not noexcept: a forced unwind passes through (thread_exit.hpp).
inline PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    FnObject *fn = reinterpret_cast<FnObject *>(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == fn->nparams) [[likely]]
        return detail::call_body(fn, args);
    return detail::bind_and_call(fn, args, nargs, kwnames);
}

namespace detail {

inline int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    FnObject *fn = reinterpret_cast<FnObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->names);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->code);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->owner);
    Py_VISIT(fn->dict);
    return 0;
}

inline int fn_clear(PyObject *self) {
    FnObject *fn = reinterpret_cast<FnObject *>(self);
    Py_CLEAR(fn->names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->owner);
    Py_CLEAR(fn->dict);
    return 0;
}

inline void fn_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<FnObject *>(self)->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

/// As funcobject.c func_descr_get: a function found on an instance binds to it.
inline PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *fn_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>",
                                reinterpret_cast<FnObject *>(self)->qualname, self);
}

inline PyObject *get_name(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->name);
}
inline PyObject *get_qualname(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->qualname);
}
inline PyObject *get_doc(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->doc);
}
inline PyObject *get_module(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->module);
}
inline PyObject *get_annotations(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->annotations);
}
inline PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = reinterpret_cast<FnObject *>(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
inline PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
inline PyObject *get_code(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->code);
}
inline PyObject *get_globals(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->globals);
}

/// Setters follow funcobject.c: names must be str, and nothing may be deleted.
inline int set_str_field(PyObject *&field, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}
inline int set_name(PyObject *self, PyObject *value, void *) {
    return set_str_field(reinterpret_cast<FnObject *>(self)->name, value, "__name__");
}
inline int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str_field(reinterpret_cast<FnObject *>(self)->qualname, value, "__qualname__");
}
inline int set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<FnObject *>(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
inline int set_module(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<FnObject *>(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}
inline int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == nullptr || value == Py_None) {
        value = PyDict_New();
        if (!value) return -1;
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    } else {
        Py_INCREF(value);
    }
    Py_XSETREF(reinterpret_cast<FnObject *>(self)->annotations, value);
    return 0;
}

/// Functions pickle and copy by reference, as Python functions do.
inline PyObject *fn_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<FnObject *>(self)->qualname);
}

inline PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    // Function attributes live in the instance dict (tp_dictoffset); a heap type made
    // from a PyType_Spec gets no __dict__ descriptor of its own, so vars(fn) needs this one.
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", kSsizeMember, offsetof(FnObject, vectorcall), kReadOnlyMember, nullptr},
    {"__dictoffset__", kSsizeMember, offsetof(FnObject, dict), kReadOnlyMember, nullptr},
    {"__weaklistoffset__", kSsizeMember, offsetof(FnObject, weakreflist), kReadOnlyMember, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
    {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

}  // namespace detail

/// Create this module's function type; `qualified_name` must be a string literal
/// ("package.module.native_function"), since the type keeps pointing at it.
inline Ref make_function_type(PyObject *module, const char *qualified_name) {
    static_assert(offsetof(FnObject, vectorcall) > 0, "vectorcall slot after the header");
    PyType_Spec type_desc = {
        qualified_name,
        static_cast<int>(sizeof(FnObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        detail::fn_slots,
    };
    return require(PyType_FromModuleAndSpec(module, &type_desc, nullptr));
}

/// A code object that describes the parameters, for inspect and help().
inline Ref make_code(PyObject *names, PyObject *name, PyObject *qualname, PyObject *filename) {
    Ref empty = require(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(PyUnicode_AsUTF8(filename), PyUnicode_AsUTF8(name), 0)));
    Ref replace = require(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = require(PyDict_New());
    Ref argcount = require(PyLong_FromSsize_t(PyTuple_GET_SIZE(names)));
    Ref flags = require(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    require(PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()));
    require(PyDict_SetItemString(kwargs.get(), "co_nlocals", argcount.get()));
    require(PyDict_SetItemString(kwargs.get(), "co_varnames", names));
    require(PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()));
    require(PyDict_SetItemString(kwargs.get(), "co_qualname", qualname));
    Ref noargs = require(PyTuple_New(0));
    return require(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

namespace detail {

/// The interned parameter names of `def` into `names` (a new tuple) and its annotations
/// into `annotations` (a new dict, "return" last), as a def statement records them.
inline void describe_parameters(const FunctionDef &def, Ref &names, Ref &annotations) {
    names = require(PyTuple_New(def.nparams));
    annotations = require(PyDict_New());
    for (int i = 0; i < def.nparams; i++) {
        Ref pname = require(PyUnicode_InternFromString(def.params[i].name));
        if (def.params[i].annotation) {
            Ref text = require(PyUnicode_FromString(def.params[i].annotation));
            require(PyDict_SetItem(annotations.get(), pname.get(), text.get()));
        }
        PyTuple_SET_ITEM(names.get(), i, pname.release());
    }
    if (def.returns) {
        Ref text = require(PyUnicode_FromString(def.returns));
        require(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
}

}  // namespace detail

/// Create one function from its static description. `defaults` (may be nullptr) is a
/// tuple for the last parameters, as a Python function's __defaults__.
inline Ref make_function(PyTypeObject *fn_type, const FunctionDef &def, PyObject *module,
                         PyObject *defaults = nullptr) {
    if (def.nparams > kMaxParams) throw raise(PyExc_SystemError, "too many parameters");
    PyObject *globals = PyModule_GetDict(module);  // borrowed
    if (!globals) throw PyErrSet{};
    Ref module_name = require(PyModule_GetNameObject(module));
    Ref names, annotations;
    detail::describe_parameters(def, names, annotations);
    Ref name = require(PyUnicode_InternFromString(def.name));
    Ref qualname = require(PyUnicode_FromString(def.qualname));
    Ref doc = def.doc ? compiled_docstring(def.doc) : Ref::new_ref(Py_None);
    Ref filename = require(PyUnicode_FromFormat("<%U>", module_name.get()));
    Ref code = make_code(names.get(), name.get(), qualname.get(), filename.get());

    FnObject *fn = PyObject_GC_New(FnObject, fn_type);
    if (!fn) throw PyErrSet{};
    fn->vectorcall = fn_vectorcall;
    fn->impl = def.impl;
    fn->nparams = def.nparams;
    fn->names = names.release();
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module = module_name.release();
    fn->doc = doc.release();
    fn->annotations = annotations.release();
    fn->defaults = defaults ? Py_NewRef(defaults) : nullptr;
    fn->code = code.release();
    fn->globals = Py_NewRef(globals);
    fn->owner = Py_NewRef(module);
    fn->state = PyModule_GetState(module);
    fn->dict = nullptr;
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject *>(fn));
}

}  // namespace orrinth
