// include/orrinth_native/class_attr_cache.hpp: an attribute of a class, looked up once and
// used again while neither the class nor its metaclass has changed.
#pragma once

#include "mro.hpp"
#include "objects.hpp"

#include <utility>

namespace orrinth {

/// `cls.name` for a class that is read anew on every use (a module global, say): the value
/// found last time is used again while the same class object comes back, the lookup on its
/// metaclass is the generic one, and neither the class nor its metaclass (nor any of their
/// bases) has changed since, as their version tags tell. Anything else looks it up again.
class ClassAttrCache {
  public:
    explicit ClassAttrCache(PyObject *name) : name_(name) {}

    /// `cls.name`, borrowed from the cache: valid until the next get().
    PyObject *get(PyObject *cls) {
        if (cls_.get() == cls && valid_ && tags_now(cls) == tags_) return value_.get();
        const auto before = tags_now(cls);
        Ref value = getattr(cls, name_);  // may run Python code
        cls_ = Ref::new_ref(cls);
        value_ = std::move(value);
        valid_ = PyType_Check(cls) && before.first && before.second && tags_now(cls) == before &&
                 generic_lookup_applies(Py_TYPE(cls), &name_, 1);
        tags_ = before;
        return value_.get();
    }

  private:
    static std::pair<unsigned, unsigned> tags_now(PyObject *cls) {
        if (!PyType_Check(cls)) return {0, 0};
        return {reinterpret_cast<PyTypeObject *>(cls)->tp_version_tag, Py_TYPE(cls)->tp_version_tag};
    }
    PyObject *name_;  // an interned name the caller keeps alive
    Ref cls_, value_;
    std::pair<unsigned, unsigned> tags_{0, 0};
    bool valid_ = false;
};

}  // namespace orrinth
