// include/orrinth_native/fastattr.hpp: reading instance attributes straight from the
// instance dict, for exactly one class, when that cannot differ from `obj.name`.
#pragma once

#include "dict_memo.hpp"
#include "mro.hpp"

namespace orrinth {

/// For instances whose type is exactly `cls`, `obj.name` is the value in the instance
/// dict whenever (a) no class on the MRO defines `__getattribute__` (object's own
/// generic lookup applies) and (b) no class on the MRO holds a data descriptor under
/// `name` (such a descriptor would win over the instance dict). The class's version tag
/// changes whenever the class or one of its bases is modified, so the verdict is cached
/// per tag. When the instance dict lacks the name, the generic lookup runs instead, so
/// class attributes, non-data descriptors and `__getattr__` keep working.
class InstanceDictReader {
  public:
    /// `cls` is borrowed: the owner keeps the class alive for as long as it uses us.
    /// With `method_name`, the verdict also requires that the class's own dict still
    /// holds `method` under that name (so callers may inline what the method does).
    void init(PyObject *cls, PyObject *const *names, int count, PyObject *method_name = nullptr,
              PyObject *method = nullptr) {
        cls_ = reinterpret_cast<PyTypeObject *>(cls);
        names_ = names;
        count_ = count;
        method_name_ = method_name;
        method_ = method;
        version_ = 0;
        ok_ = false;
    }

    /// Whether the fast read applies to `obj` (its type is exactly the class, unmodified
    /// in a way that matters).
    bool applies(PyObject *obj) {
        PyTypeObject *t = Py_TYPE(obj);
        if (t != cls_ || !cls_) return false;
        unsigned tag = t->tp_version_tag;
        if (tag == 0) return false;  // no valid tag: the generic lookup assigns one
        if (tag != version_) {
            ok_ = validate(t);
            version_ = tag;
        }
        return ok_;
    }

    /// `obj.name`, with `name` one of the names given to init(). Throws on error.
    /// `*generic` is set when the generic lookup ran (and with it, maybe Python code).
    Ref get(PyObject *obj, PyObject *name, bool *generic = nullptr) {
        if (applies(obj)) {
            Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
            if (!dict) throw PyErrSet{};
            if (PyDict_CheckExact(dict.get())) {
                if (Ref v = dict_get(dict.get(), name)) return v;
            }
        }
        if (generic) *generic = true;
        return require(PyObject_GetAttr(obj, name));
    }

    /// Several attributes of one object, fetching its instance dict once. After a
    /// generic lookup (which may run Python code) the dict is fetched and the class
    /// checked again before the next read (reentrancy.hpp).
    class Fields {
      public:
        Fields(InstanceDictReader &reader, PyObject *obj) : reader_(reader), obj_(obj) {}
        Ref get(PyObject *name) {
            if (!fetched_) {
                fetched_ = true;
                if (reader_.applies(obj_)) {
                    dict_ = Ref::steal(PyObject_GenericGetDict(obj_, nullptr));
                    if (!dict_) throw PyErrSet{};
                    if (!PyDict_CheckExact(dict_.get())) dict_ = Ref();
                }
            }
            if (dict_) {
                if (Ref v = dict_get(dict_.get(), name)) return v;
            }
            fetched_ = false;
            dict_ = Ref();
            return require(PyObject_GetAttr(obj_, name));
        }

      private:
        InstanceDictReader &reader_;
        PyObject *obj_;
        Ref dict_;
        bool fetched_ = false;
    };

  private:
    // Runs once per version tag; kept out of line so that applies() stays small enough
    // to be inlined into every walk.
    [[gnu::noinline]] bool validate(PyTypeObject *t) {
        // A metaclass's instances are classes, read through type's own lookup.
        if (PyType_IsSubtype(t, &PyType_Type)) return false;
        if (method_name_) {
            Ref dict = type_dict(t);
            if (!dict || dict_get(dict.get(), method_name_).get() != method_) return false;
        }
        return generic_lookup_applies(t, names_, count_);
    }

    PyTypeObject *cls_ = nullptr;
    PyObject *const *names_ = nullptr;
    int count_ = 0;
    PyObject *method_name_ = nullptr;
    PyObject *method_ = nullptr;
    unsigned version_ = 0;
    bool ok_ = false;
};

}  // namespace orrinth

namespace orrinth {

/// `obj.name` for one name of instances of exactly one class (as InstanceDictReader
/// reads it), remembered with the instance dict it came from (see DictLookupMemo).
/// On 3.12 and later, where the dict pointer is not public, the reader reads it.
class InstanceAttrCache {
  public:
    Ref get(InstanceDictReader &reader, PyObject *obj, PyObject *name) {
#if PY_VERSION_HEX < 0x030C0000
        if (reader.applies(obj)) {
            PyObject **slot = _PyObject_GetDictPtr(obj);
            PyObject *dict = slot ? *slot : nullptr;
            if (dict && PyDict_CheckExact(dict)) {
                if (PyObject *v = memo_.lookup(dict, name)) return Ref::borrow(v);
            }
        }
        return require(PyObject_GetAttr(obj, name));
#else
        return reader.get(obj, name);
#endif
    }

  private:
    DictLookupMemo memo_;
};

}  // namespace orrinth
