// include/orrinth_native/objects.hpp: small operations on Python objects that are safe
// against callbacks (comparisons, truth tests, iteration that tolerates mutation); the
// rules they keep are in reentrancy.hpp.
#pragma once

#include "error.hpp"

#include <cstring>

namespace orrinth {

/// Equality of two exact str objects by their characters (what str.__eq__ does).
inline bool exact_str_equal(PyObject *a, PyObject *b) noexcept {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

/// The truth value of `left OP right`, as an `if left OP right:` statement takes it.
/// No identity shortcut: the operator's own result decides.
inline bool compare(PyObject *left, PyObject *right, int op) {
    Ref r = require(PyObject_RichCompare(left, right, op));
    if (r.get() == Py_True) return true;
    if (r.get() == Py_False) return false;
    return require(PyObject_IsTrue(r.get())) != 0;
}

/// `value == text` where `text` is an exact str: characters compared directly when
/// `value` is an exact str too, the interpreter's operator otherwise.
inline bool equals_str(PyObject *value, PyObject *text) {
    if (PyUnicode_CheckExact(value)) return exact_str_equal(value, text);
    return compare(value, text, Py_EQ);
}

/// The truth value of an object (`if obj:`).
inline bool truth(PyObject *obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    if (PyUnicode_CheckExact(obj)) return PyUnicode_GET_LENGTH(obj) != 0;
    return require(PyObject_IsTrue(obj)) != 0;
}

/// `list.append(item)` for an exact list. While the list has room, the item is stored in
/// place, as the interpreter's own list building does; a store that would make the list
/// give memory back (3.11's PyList_Append shrinks a list under half full) or grow it goes
/// through PyList_Append.
inline void list_append(PyObject *list, PyObject *item) {
#ifndef Py_GIL_DISABLED
    auto *l = reinterpret_cast<PyListObject *>(list);
    const Py_ssize_t n = Py_SIZE(l);
    if (n < l->allocated && n + 1 >= (l->allocated >> 1)) {
        l->ob_item[n] = Py_NewRef(item);
        Py_SET_SIZE(l, n + 1);
        return;
    }
#endif
    require(PyList_Append(list, item));
}

/// The hint of a walk that prefetches nothing.
struct NoHint {
    void before(PyObject *, Py_ssize_t) const noexcept {}
};

/// `for item in seq:` over any iterable. For an exact list it walks by index and
/// re-reads the size on every step (as the list iterator does), since `body` may run
/// code that mutates the list; each item is held by a strong reference while in use.
/// The caller must own a reference to `seq` for the whole walk (see reentrancy.hpp).
/// `hint.before(list, i)` runs before each step of an exact-list walk (prefetching).
template <class F, class Hint = NoHint>
void for_each(PyObject *seq, F &&body, const Hint &hint = Hint{}) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); i++) {
            hint.before(seq, i);
            Ref item = Ref::new_ref(PyList_GET_ITEM(seq, i));
            body(item.get());
        }
        return;
    }
    Ref it = require(PyObject_GetIter(seq));
    while (PyObject *next = PyIter_Next(it.get())) {
        Ref item = Ref::steal(next);
        body(item.get());
    }
    if (PyErr_Occurred()) throw PyErrSet{};
}

/// Call `obj.name(*args)` (name an interned str), as a method call statement would.
template <class... Args>
inline Ref call_method(PyObject *obj, PyObject *name, Args... args) {
    PyObject *stack[] = {obj, args...};
    return require(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) |
                                                            PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

/// `obj.name` (name an interned str).
inline Ref getattr(PyObject *obj, PyObject *name) {
    return require(PyObject_GetAttr(obj, name));
}

}  // namespace orrinth
