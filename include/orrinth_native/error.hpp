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

/// Run a body that returns a Ref; NULL with an exception set on any failure. A forced
/// unwind (a thread ended at interpreter exit) passes through: see thread_exit.hpp, which
/// is also why neither this nor any caller on the way up may be noexcept.
template <class F>
[[gnu::always_inline]] inline PyObject *entry(F &&body) {
    try {
        return body().release();
    } catch (...) {
        if (in_forced_unwind()) throw;
        translate_current_exception();
        return nullptr;
    }
}

/// The same for slots and module exec functions that report -1 on failure.
template <class F>
int entry_int(F &&body) {
    try {
        return body();
    } catch (...) {
        if (in_forced_unwind()) throw;
        translate_current_exception();
        return -1;
    }
}

/// Holds the currently raised exception while cleanup code runs, then raises it
/// again unchanged. Cleanup errors are dropped.
class SavedError {
  public:
    /// The exception is taken as a normalised object here, while nothing else is pending:
    /// normalising (before 3.12) calls the exception's constructor, which must not run
    /// with another error set.
    SavedError() : exc_(take_raised()) {}
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;
    ~SavedError() { release_ref(exc_); }
    /// Raise the saved exception again. With `chain_cleanup_error`, an exception raised
    /// by the cleanup (if any) is kept instead and the saved one becomes its __context__,
    /// as a `finally:` block that fails would do; without it the cleanup's is dropped.
    void restore(bool chain_cleanup_error) {
        if (chain_cleanup_error && PyErr_Occurred()) {
            PyObject *cleanup = take_raised();
            if (cleanup && exc_ && cleanup != exc_) {
                PyException_SetContext(cleanup, exc_);  // steals exc_
                exc_ = nullptr;
            }
            raise_again(cleanup);
            Py_CLEAR(exc_);
            return;
        }
        PyErr_Clear();
        raise_again(exc_);
        exc_ = nullptr;
    }

    /// The saved exception object (normalised), or NULL.
    PyObject *value() const noexcept { return exc_; }

  private:
    /// The raised exception as a normalised object (a new reference), clearing it. From
    /// 3.12 on a raised exception is always one, carrying its own traceback.
    static PyObject *take_raised() noexcept {
#if ORRINTH_API_312
        return PyErr_GetRaisedException();
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb && value) PyException_SetTraceback(value, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        return value;
#endif
    }
    /// Raise `exc` (stolen; nullptr raises nothing).
    static void raise_again(PyObject *exc) noexcept {
#if ORRINTH_API_312
        PyErr_SetRaisedException(exc);
#else
        if (!exc) return;
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
        Py_INCREF(type);
        PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
    }

    PyObject *exc_ = nullptr;
};

/// Attach a note to the exception being raised, as `exc.add_note(note)` does: type,
/// message, traceback, __cause__ and __context__ stay as they are. `make_note(exc)` runs
/// with no exception pending (it may call into Python) and returns a str; when it fails,
/// or the note cannot be attached, the exception is raised again without it.
/// Not noexcept, and a forced unwind passes through (thread_exit.hpp): `make_note` and
/// add_note run Python code.
template <class F>
void add_note_to_raised(F &&make_note) {
    SavedError saved;
    if (PyObject *exc = saved.value()) {
        try {
            Ref note = make_note(exc);
            Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        } catch (...) {
            if (in_forced_unwind()) throw;
        }
    }
    saved.restore(/*chain_cleanup_error=*/false);
}

}  // namespace orrinth
