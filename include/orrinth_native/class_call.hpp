// include/orrinth_native/class_call.hpp: calling a plain Python class, as the interpreter
// does, without packing the keyword arguments into a dict and out again.
#pragma once

#include "lookups.hpp"

#include <atomic>

namespace orrinth {

/// `cls(*args, **kwargs)` for a class that a plain class statement made: its metaclass is
/// exactly `type`, `__new__` is object's own and `__init__` a Python function. The
/// interpreter's route for such a call (type's tp_call, then the `__init__` slot) packs
/// the keyword arguments into a dict, looks `__init__` up on the class, and unpacks the
/// dict again to call it. Here the same two steps run with the caller's arguments as they
/// are: object's `__new__` with no arguments (which it ignores when `__init__` is
/// overridden), then `__init__` with the instance first, its result checked for None as
/// the slot checks it. The verdict and the `__init__` found are kept per class version
/// tag; any other class, or a class whose call could take another route (a metaclass, a
/// `__new__` of its own, a vectorcall of its own, an `__init__` that is not a Python
/// function), goes through PyObject_Vectorcall.
class ClassCall {
  public:
    /// Learn the tp_init that a class statement gives a class whose `__init__` is a
    /// Python function (the slot that looks `__init__` up and calls it), from a class
    /// made here for that purpose. Until then no call takes the direct route.
    static void learn_init_slot() {
        if (init_slot().load(std::memory_order_relaxed)) return;
        Ref globals =
            run_in_fresh_namespace("class Probe:\n    def __init__(self):\n        pass\n");
        Ref probe = dict_get(globals.get(), "Probe");
        if (probe && PyType_Check(probe.get()))
            init_slot().store(reinterpret_cast<PyTypeObject *>(probe.get())->tp_init,
                              std::memory_order_relaxed);
    }

    /// `cls(*args)`, with the last `len(kwnames)` of the `nargs + len(kwnames)` values
    /// passed by keyword. At most kMaxArgs values.
    Ref call(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        if (total <= kMaxArgs && applies(cls)) return construct(cls, args, nargs, total, kwnames);
        return require(PyObject_Vectorcall(cls, args, static_cast<size_t>(nargs), kwnames));
    }

    static constexpr Py_ssize_t kMaxArgs = 6;

    /// Whether calls may take the direct route in this process (learn_init_slot ran).
    static bool is_enabled() { return init_slot().load(std::memory_order_relaxed) != nullptr; }

  private:
    // The same function in every interpreter of the process.
    static std::atomic<initproc> &init_slot() {
        static std::atomic<initproc> slot{nullptr};
        return slot;
    }

    bool applies(PyObject *cls) {
        if (!PyType_Check(cls)) return false;
        auto *t = reinterpret_cast<PyTypeObject *>(cls);
        // A class without a tag keeps its verdict (false) until it gets one.
        if (cls != cls_ || t->tp_version_tag != tag_) validate(t);
        return ok_;
    }

    // Once per class and version tag. Fails closed on anything but the plainest class.
    [[gnu::noinline]] void validate(PyTypeObject *t) {
        // Compared only, with the tag: no two classes are ever given the same tag.
        cls_ = reinterpret_cast<PyObject *>(t);
        ok_ = false;
        init_ = nullptr;
        Ref name = require(PyUnicode_InternFromString("__init__"));
        PyObject *init = orrinth_type_lookup(t, name.get());  // borrowed; runs no Python code
        tag_ = t->tp_version_tag;  // given by the lookup; 0 when the class has none
        const initproc slot = init_slot().load(std::memory_order_relaxed);
        if (Py_TYPE(t) != &PyType_Type || !slot || t->tp_new != PyBaseObject_Type.tp_new ||
            t->tp_init != slot || t->tp_vectorcall != nullptr ||
            (t->tp_flags & Py_TPFLAGS_IS_ABSTRACT) || !init || !PyFunction_Check(init))
            return;
        init_ = init;
        ok_ = tag_ != 0;
    }

    Ref construct(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, Py_ssize_t total,
                  PyObject *kwnames) {
        // The class dict holds `__init__` while the tag is unchanged, and no code has run
        // since the tag was compared; held from here on, since allocating may collect
        // garbage and so run finalizers that change the class.
        Ref init = Ref::new_ref(init_);
        // As type's tp_call is entered from a vectorcall: one level of the recursion
        // limit. Left on the way out by hand, not by a destructor: a thread that the
        // exiting interpreter ends unwinds through here without its thread state
        // (thread_exit.hpp), and must not touch it.
        if (Py_EnterRecursiveCall(" while calling a Python object")) throw PyErrSet{};
        PyObject *obj = nullptr;
        try {
            obj = construct_within(reinterpret_cast<PyTypeObject *>(cls), init.get(), args, nargs,
                                   total, kwnames)
                      .release();
        } catch (const PyErrSet &) {
        }
        Py_LeaveRecursiveCall();
        if (!obj) throw PyErrSet{};
        return Ref::steal(obj);
    }

    static Ref construct_within(PyTypeObject *t, PyObject *init, PyObject *const *args,
                                Py_ssize_t nargs, Py_ssize_t total, PyObject *kwnames) {
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) throw PyErrSet{};
        Ref obj = require(t->tp_new(t, empty.get(), nullptr));
        PyObject *stack[kMaxArgs + 1];
        stack[0] = obj.get();
        for (Py_ssize_t i = 0; i < total; i++) stack[i + 1] = args[i];
        Ref result =
            require(PyObject_Vectorcall(init, stack, static_cast<size_t>(nargs + 1), kwnames));
        if (result.get() != Py_None) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                         Py_TYPE(result.get())->tp_name);
            throw PyErrSet{};
        }
        return obj;
    }

    PyObject *cls_ = nullptr;
    unsigned tag_ = 0;
    bool ok_ = false;
    PyObject *init_ = nullptr;  // borrowed from the class dict while its tag is tag_
};

}  // namespace orrinth
