// include/orrinth_native/ref.hpp: owning references to Python objects.
// Header-only; compiled into each extension module, nothing exported.
#pragma once

#include "thread_exit.hpp"

#include <utility>

namespace orrinth {

/// An owning (strong) reference. Move-only, and deliberately without an implicit
/// conversion to PyObject *, so that it can never be handed to Py_DECREF by mistake.
class Ref {
  public:
    Ref() noexcept = default;
    /// Take over a new reference (may be NULL).
    static Ref steal(PyObject *o) noexcept { return Ref(o); }
    /// Make our own reference to a borrowed object (may be NULL).
    static Ref borrow(PyObject *o) noexcept {
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
    Ref dup() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

}  // namespace orrinth
