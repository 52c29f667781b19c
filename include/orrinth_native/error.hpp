// include/orrinth_native/error.hpp: the error boundary between C++ and the interpreter.
// Inside, failures are C++ exceptions; every entry point catches them and returns NULL or -1.
#pragma once

#include "ref.hpp"

#include <exception>
#include <new>

namespace orrinth {

/// Thrown only while an exception is set in the interpreter (PyErr_Occurred()).
struct PyErrSet {};

/// A new reference from a C-API call, or throw if the call failed.
inline Ref require(PyObject *new_ref) {
    if (!new_ref) throw PyErrSet{};
    return Ref::steal(new_ref);
}

/// A status from a C-API call (negative means failure, exception set).
inline int require(int rc) {
    if (rc < 0) throw PyErrSet{};
    return rc;
}

/// Set an exception and return the marker to throw: `throw raise(PyExc_TypeError, "...")`.
inline PyErrSet raise(PyObject *type, const char *msg) {
    PyErr_SetString(type, msg);
    return PyErrSet{};
}

/// Turn whatever a C++ body threw into a Python exception. Called only from a catch block.
inline void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet &) {
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

/// Run a body that returns a Ref; NULL with an exception set on any failure.
template <class F>
PyObject *entry(F &&body) noexcept {
    try {
        return body().release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

/// The same for slots and module exec functions that report -1 on failure.
template <class F>
int entry_int(F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

/// Holds the currently raised exception while cleanup code runs, then raises it
/// again unchanged. Cleanup errors are dropped.
class SavedError {
  public:
    /// The exception is normalised here, while nothing else is pending: normalising
    /// calls the exception's constructor, which must not run with another error set.
    SavedError() noexcept {
        PyErr_Fetch(&type_, &value_, &tb_);
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;
    ~SavedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    /// Raise the saved exception again; with `context` the exception raised by the
    /// cleanup (if any) is kept instead and the saved one becomes its __context__,
    /// as a `finally:` block that fails would do.
    void restore(bool chain_cleanup_error) noexcept {
        if (chain_cleanup_error && PyErr_Occurred()) {
            PyObject *t2, *v2, *tb2;
            PyErr_Fetch(&t2, &v2, &tb2);
            PyErr_NormalizeException(&t2, &v2, &tb2);
            if (v2 && value_ && v2 != value_) {
                PyException_SetContext(v2, value_);  // steals value_
                value_ = nullptr;
            }
            PyErr_Restore(t2, v2, tb2);
            Py_CLEAR(type_);
            Py_CLEAR(value_);
            Py_CLEAR(tb_);
            return;
        }
        PyErr_Clear();
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }

  private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

/// The note that follows the argument type error when a subclass instance was given.
inline constexpr const char *kSubclassNote =
    "Instances of subclasses of built-in types are refused here. "
    "Convert the value to the exact built-in type first.";

/// `text` (UTF-8) cut to at most `max` bytes, never inside a character: "%.200s" would
/// cut a multi-byte character in two and show a replacement character in its place.
inline Ref utf8_prefix(const char *text, size_t max = 200) {
    size_t n = 0;
    while (n < max && text[n] != '\0') n++;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    return require(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), "replace"));
}

/// Raise the argument type error: "Argument 'param' has incorrect type (expected
/// `expected`, got `got`)", each name cut to 200 bytes; `subclass` adds the note.
[[noreturn]] inline void raise_incorrect_type(const char *param, const char *expected,
                                              const char *got, bool subclass) {
    Ref p = utf8_prefix(param), e = utf8_prefix(expected), g = utf8_prefix(got);
    if (subclass)
        PyErr_Format(PyExc_TypeError, "Argument '%U' has incorrect type (expected %U, got %U). %s",
                     p.get(), e.get(), g.get(), kSubclassNote);
    else
        PyErr_Format(PyExc_TypeError, "Argument '%U' has incorrect type (expected %U, got %U)",
                     p.get(), e.get(), g.get());
    throw PyErrSet{};
}

/// Argument type test for parameters declared with a built-in type: the object's
/// type must be exactly `expected` (or the object None, when `allow_none`).
inline void check_exact_type(PyObject *obj, PyTypeObject *expected, const char *param,
                             bool allow_none = false) {
    if (Py_IS_TYPE(obj, expected) || (allow_none && obj == Py_None)) return;
    raise_incorrect_type(param, expected->tp_name, Py_TYPE(obj)->tp_name,
                         PyObject_TypeCheck(obj, expected));
}

}  // namespace orrinth
