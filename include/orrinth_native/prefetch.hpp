// include/orrinth_native/prefetch.hpp: memory prefetching for walks over long lists of
// instances of one class. It reads where an object keeps its instance dict, which differs
// from one minor version to the next, through native_layout.h; where no layout is known
// (another version, or a free-threaded build, where another thread may be replacing the
// very words read) there is no prefetching, never a guessed layout.
#pragma once

#include <native_layout.h>

#include <cstdint>

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
#if ORRINTH_OBJECT_LAYOUT_KNOWN
        const Py_ssize_t n = PyList_GET_SIZE(list);
        PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
        if (i + 2 * kDistance < n) {
            char *obj = reinterpret_cast<char *>(items[i + 2 * kDistance]);
            __builtin_prefetch(obj);
            __builtin_prefetch(obj - 4 * sizeof(PyObject *));  // the words before the object
        }
        if (i + kDistance < n) {
            if (PyObject *dict = instance_dict(items[i + kDistance])) __builtin_prefetch(dict);
        }
        if (i + kDistance / 2 < n) {
            PyObject *dict = instance_dict(items[i + kDistance / 2]);
            if (dict && PyDict_CheckExact(dict)) {
                const char *keys = reinterpret_cast<const char *>(orrinth_keys_of(dict));
#pragma GCC unroll 6
                for (int line = 0; line < 6; line++) __builtin_prefetch(keys + 64 * line);
            }
        }
#else
        (void)list;
        (void)i;
#endif
    }

  private:
#if ORRINTH_OBJECT_LAYOUT_KNOWN
    /// The materialised instance dict of `obj` when it is an instance of the class (whose
    /// instances keep their dict in the words before the object), else nullptr.
    __attribute__((always_inline)) PyObject *instance_dict(PyObject *obj) const noexcept {
        if (Py_TYPE(obj) != cls_ || !(cls_->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return nullptr;
        PyObject *dict = orrinth_managed_dict(obj);
        assert(orrinth_layout_agrees(obj));
        return dict;
    }
#endif

    PyTypeObject *cls_;
};

}  // namespace orrinth
