// include/orrinth_native/prefetch.hpp: memory prefetching for walks over long lists of
// instances of one class. It reads the interpreter's object layout, which differs from one
// minor version to the next, so each layout is guarded by the version it was written for.
#pragma once

#include <Python.h>

#include <cstdint>

// The versions whose object layout the prefetcher below was written for, and checked
// against. Any other version (or a free-threaded build, where another thread may be
// replacing the very words read here) gets no prefetching, never a guessed layout.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define ORRINTH_OBJECT_LAYOUT_KNOWN 1
#else
#define ORRINTH_OBJECT_LAYOUT_KNOWN 0
#endif

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
                char *keys =
                    reinterpret_cast<char *>(reinterpret_cast<PyDictObject *>(dict)->ma_keys);
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
        // Three words before the object, after the two of the garbage collector's header.
        const uintptr_t word = reinterpret_cast<const uintptr_t *>(obj)[-3];
#if PY_VERSION_HEX < 0x030C0000
        // 3.11: the dict pointer (the values pointer is the word before it).
        return reinterpret_cast<PyObject *>(word);
#elif PY_VERSION_HEX < 0x030D0000
        // 3.12: a dict pointer, or a values pointer tagged by its low bit.
        return (word & 1) ? nullptr : reinterpret_cast<PyObject *>(word);
#else
        // 3.13: the dict pointer (the values, when not in a dict, follow the object).
        return reinterpret_cast<PyObject *>(word);
#endif
    }
#endif

    PyTypeObject *cls_;
};

}  // namespace orrinth
