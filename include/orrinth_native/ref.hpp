// include/orrinth_native/ref.hpp: owning references to Python objects.
// Header-only; compiled into each extension module, nothing exported.
#pragma once

#include "thread_exit.hpp"

#include <utility>

namespace orrinth {

// Ownership rules of the native layer:
//
// 1. A new reference goes into a Ref at once: Ref::steal on what a C-API call returns
//    (require() does it and throws on NULL), Ref::new_ref on a borrowed result that is
//    kept. A Ref is released only into an API that steals it or as a return value.
// 2. A bare PyObject * is borrowed, and only for the length of a call that runs no Python
//    code (reentrancy.hpp says which calls run it); across anything that may, it is held
//    by a Ref. Arguments are the exception below.
// 3. Module-state fields and the fields of our own objects own their references; each
//    one is visited by the collector (tp_traverse / m_traverse) and dropped by clear.
//    A field that only borrows from another says so next to its declaration.
//
// Where the hot path deviates: the binder (arguments.hpp) fills its slots with bare
// pointers borrowed from the caller's argument vector and from the function's defaults,
// and every function body receives them so. The vectorcall protocol has the caller keep
// its arguments alive for the whole call, and the function owns its defaults, so the
// slots stay valid across Python code too; taking a reference to each would only add an
// increment and a decrement per argument on every call.

/// An owning (strong) reference. Move-only, and deliberately without an implicit
/// conversion to PyObject *, so that it can never be handed to Py_DECREF by mistake.
class Ref {
  public:
    Ref() noexcept = default;
    /// Take over a new reference (may be NULL).
    static Ref steal(PyObject *o) noexcept { return Ref(o); }
    /// Make our own reference to a borrowed object (may be NULL).
    static Ref new_ref(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&r) noexcept : p_(std::exchange(r.p_, nullptr)) {}
    /// The field is set before the old value dies, as Py_SETREF does: the old
    /// object's destructor may run arbitrary code that looks at us.
    Ref &operator=(Ref &&r) noexcept {
        Ref old(std::exchange(p_, std::exchange(r.p_, nullptr)));
        return *this;
    }
    ~Ref() { release_ref(p_); }

    /// Borrowed view; valid as long as this Ref holds it.
    PyObject *get() const noexcept { return p_; }
    /// Give up ownership: only into stealing APIs or as a return value.
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    /// A second owning reference to the same object.
    Ref dup() const noexcept { return new_ref(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

/// A borrowed reference: a view of an object that something else holds (a container, an
/// object's dict), valid only while nothing runs that could drop it (rule 2). It owns
/// nothing, so it has no release() and no destructor that could decrement; new_ref()
/// makes an owning Ref of it for anything that must outlive that.
class Borrowed {
  public:
    constexpr Borrowed() noexcept = default;
    constexpr explicit Borrowed(PyObject *o) noexcept : p_(o) {}
    PyObject *get() const noexcept { return p_; }
    Ref new_ref() const noexcept { return Ref::new_ref(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    friend bool operator==(Borrowed a, const PyObject *b) noexcept { return a.p_ == b; }
    friend bool operator!=(Borrowed a, const PyObject *b) noexcept { return a.p_ != b; }

  private:
    PyObject *p_ = nullptr;
};

}  // namespace orrinth
