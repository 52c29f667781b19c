// include/orrinth_native/prefetch.hpp: memory prefetching for walks over long lists of
// instances of one class. It reads the interpreter's object layout, which differs from one
// minor version to the next, so each layout is guarded by the version it was written for.
#pragma once

#include <Python.h>

namespace orrinth {

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
