// include/orrinth_native/thread_exit.hpp: native calls in threads that the interpreter
// ends while it exits.
//
// Once the interpreter finalises, a daemon thread that tries to take the GIL back is
// stopped where it stands. CPython 3.11 and 3.12 do it with pthread_exit(), which glibc
// carries out as a forced unwind (abi::__forced_unwind): the thread's stack is unwound
// through our C++ frames, running their destructors and catch blocks, without the GIL and
// while the main thread is tearing objects down. Hence three rules for the native layer:
//
//  - The entry boundary lets the forced unwind through (glibc aborts the process when a
//    catch block ends without rethrowing it), and no function between a call into Python
//    and the boundary is noexcept (a forced unwind leaving a noexcept function calls
//    std::terminate). It is told apart without naming abi::__forced_unwind, whose catch
//    clause binds a reference to no object: whatever reaches a catch block in a thread
//    that lost the GIL to the exiting interpreter is that unwind, since our code throws
//    only while it holds the GIL.
//  - An owning reference released during that unwind is left alone: a reference count
//    changed without the GIL races the finalising thread, and a dealloc run there would
//    run Python code on a dead thread. The process is exiting; the memory goes with it.
//  - A forced unwind that starts inside a release (a dealloc that runs Python code, whose
//    eval loop gives up the GIL) cannot leave the destructor it happens in: that thread
//    is parked for good instead, which is what later interpreters do to such threads.
//
// Telling the unwind apart costs a GIL test, so releases make it only once the
// interpreter has started to exit: each module that defines native functions sets a flag
// from an atexit hook, which runs before any thread can be ended.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <native_layout.h>

#include <atomic>
#include <exception>
#include <unistd.h>

namespace orrinth {
namespace detail {

/// A release of an object with more references than this is a plain decrement; the rest
/// go through release_slow(). 1 while the interpreter runs (the releases that may free
/// the object), the largest Py_ssize_t from its exit on (every release). Never set back:
/// a later interpreter in the same process only pays for the GIL test on every release.
/// One threshold instead of a flag and a count keeps the common release to one compare.
inline std::atomic<Py_ssize_t> plain_release_above{1};

inline bool interpreter_exiting() noexcept {
    return plain_release_above.load(std::memory_order_relaxed) != 1;
}

/// Whether the calling thread holds the GIL: it has a thread state and that state is the
/// one the interpreter runs (on 3.11 the GIL holder's, on 3.12+ none while detached).
inline bool holds_gil() noexcept {
    PyThreadState *current = orrinth_thread_state_unchecked();
    return current != nullptr && current == PyGILState_GetThisThreadState();
}

[[noreturn]] inline void park_thread() noexcept {
    for (;;) ::pause();
}

/// The release that may free the object (and so run arbitrary code), or any release
/// once the interpreter is exiting.
[[gnu::noinline, gnu::cold]] inline void release_slow(PyObject *o) noexcept {
    if (interpreter_exiting() && !holds_gil()) return;
    try {
        Py_DECREF(o);
    } catch (...) {
        // Only a forced unwind leaves a dealloc (C code throws nothing else), and it
        // cannot leave this destructor.
        if (interpreter_exiting() && !holds_gil()) park_thread();
        std::terminate();
    }
}

inline PyObject *note_interpreter_exit(PyObject *, PyObject *) {
    plain_release_above.store(PY_SSIZE_T_MAX, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

inline PyMethodDef note_interpreter_exit_def = {
    "_note_interpreter_exit", note_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace detail

/// Whether the exception being handled is the forced unwind of a thread that the exiting
/// interpreter ends. Call only from a catch block.
inline bool in_forced_unwind() noexcept {
    return detail::interpreter_exiting() && !detail::holds_gil();
}

/// Py_XDECREF for the owning references of the native layer, safe during a forced unwind.
/// A release that cannot free the object is Py_DECREF itself.
inline void release_ref(PyObject *o) noexcept {
    if (o == nullptr) return;
    if (__builtin_expect(Py_REFCNT(o) > detail::plain_release_above.load(std::memory_order_relaxed),
                         1)) {
        Py_DECREF(o);
        return;
    }
    detail::release_slow(o);
}

/// Register the atexit hook that switches releases to the checked path; returns -1 with
/// an exception set on failure.
inline int watch_interpreter_exit() {
    PyObject *atexit = PyImport_ImportModule("atexit");
    if (!atexit) return -1;
    PyObject *hook = PyCFunction_New(&detail::note_interpreter_exit_def, nullptr);
    PyObject *r = hook ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
    Py_XDECREF(hook);
    Py_DECREF(atexit);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

}  // namespace orrinth
