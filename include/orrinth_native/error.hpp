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
    /// Raise the saved exception again. With `chain_cleanup_error`, an exception raised
    /// by the cleanup (if any) is kept instead and the saved one becomes its __context__,
    /// as a `finally:` block that fails would do; without it the cleanup's is dropped.
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

    /// The saved exception object (normalised), or NULL.
    PyObject *value() const noexcept { return value_; }

  private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

/// Attach a note to the exception being raised, as `exc.add_note(note)` does: type,
/// message, traceback, __cause__ and __context__ stay as they are. `make_note(exc)` runs
/// with no exception pending (it may call into Python) and returns a str; when it fails,
/// or the note cannot be attached, the exception is raised again without it.
template <class F>
void add_note_to_raised(F &&make_note) noexcept {
    SavedError saved;
    if (PyObject *exc = saved.value()) {
        try {
            Ref note = make_note(exc);
            Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        } catch (...) {
        }
    }
    saved.restore(/*chain_cleanup_error=*/false);
}

}  // namespace orrinth
