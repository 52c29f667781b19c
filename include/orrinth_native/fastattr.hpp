// include/orrinth_native/fastattr.hpp: reading instance attributes straight from the
// instance dict, for exactly one class, when that cannot differ from `obj.name`.
#pragma once

#include "error.hpp"

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
                PyObject *v = PyDict_GetItemWithError(dict.get(), name);
                if (v) return Ref::borrow(v);
                if (PyErr_Occurred()) throw PyErrSet{};
            }
        }
        if (generic) *generic = true;
        return require(PyObject_GetAttr(obj, name));
    }

    /// Several attributes of one object, fetching its instance dict once. After a
    /// generic lookup (which may run Python code) the dict is fetched and the class
    /// checked again before the next read.
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
                PyObject *v = PyDict_GetItemWithError(dict_.get(), name);
                if (v) return Ref::borrow(v);
                if (PyErr_Occurred()) throw PyErrSet{};
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
    bool validate(PyTypeObject *t) {
        if (method_name_ && (!t->tp_dict || PyDict_GetItem(t->tp_dict, method_name_) != method_))
            return false;
        PyObject *mro = t->tp_mro;
        if (!mro || !PyTuple_Check(mro)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
            PyObject *base = PyTuple_GET_ITEM(mro, i);
            if (base == reinterpret_cast<PyObject *>(&PyBaseObject_Type)) continue;
            if (!PyType_Check(base)) return false;
            PyObject *dict = reinterpret_cast<PyTypeObject *>(base)->tp_dict;
            if (!dict || !PyDict_Check(dict)) return false;
            // Lookups of exact str keys in a class dict run no Python code.
            if (PyDict_GetItemString(dict, "__getattribute__")) return false;
            for (int k = 0; k < count_; k++) {
                PyObject *attr = PyDict_GetItem(dict, names_[k]);
                if (attr && Py_TYPE(attr)->tp_descr_set) return false;
            }
        }
        return true;
    }

    PyTypeObject *cls_ = nullptr;
    PyObject *const *names_ = nullptr;
    int count_ = 0;
    PyObject *method_name_ = nullptr;
    PyObject *method_ = nullptr;
    unsigned version_ = 0;
    bool ok_ = false;
};

/// Memory hints for a walk over a list of instances of one class: with large lists
/// the walk waits on cache misses (object, instance dict, dict entries) far more than
/// it computes. Prefetching only touches memory that is alive at the moment (the list
/// holds the objects, the objects hold their dicts); it changes no behaviour.
class ListPrefetcher {
  public:
    static constexpr Py_ssize_t kDistance = 8;

    explicit ListPrefetcher(PyTypeObject *cls) : cls_(cls) {}

    /// Call before handling item `i` of `list` (an exact list, re-read every step).
    /// Always inlined: GCC otherwise judges a function of prefetches alone to be free
    /// of effects and deletes its calls.
    __attribute__((always_inline)) void before(PyObject *list, Py_ssize_t i) const noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
        const Py_ssize_t n = PyList_GET_SIZE(list);
        PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
        if (i + 2 * kDistance < n) {
            char *obj = reinterpret_cast<char *>(items[i + 2 * kDistance]);
            __builtin_prefetch(obj);
            __builtin_prefetch(obj - 4 * sizeof(PyObject *));  // managed dict pointers
        }
        if (i + kDistance < n) {
            PyObject *obj = items[i + kDistance];
            if (Py_TYPE(obj) == cls_ && (cls_->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
                // 3.11 keeps a materialised instance dict three words before the object.
                PyObject *dict = reinterpret_cast<PyObject **>(obj)[-3];
                if (dict) __builtin_prefetch(dict);
            }
        }
        if (i + kDistance / 2 < n) {
            PyObject *obj = items[i + kDistance / 2];
            if (Py_TYPE(obj) == cls_ && (cls_->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
                PyObject *dict = reinterpret_cast<PyObject **>(obj)[-3];
                if (dict && PyDict_CheckExact(dict)) {
                    char *keys = reinterpret_cast<char *>(
                        reinterpret_cast<PyDictObject *>(dict)->ma_keys);
                    for (int line = 0; line < 6; line++) __builtin_prefetch(keys + 64 * line);
                }
            }
        }
#else
        (void)list;
        (void)i;
#endif
    }

  private:
    PyTypeObject *cls_;
};

}  // namespace orrinth
