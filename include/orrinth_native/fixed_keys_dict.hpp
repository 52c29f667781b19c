// include/orrinth_native/fixed_keys_dict.hpp: new dicts of one fixed set of str keys, such
// as a display `{"a": x, "b": y}` makes, built by copying a table instead of inserting.
#pragma once

#include "objects.hpp"

#include <native_layout.h>

namespace orrinth {

/// `{keys[0]: values[0], ..., keys[N-1]: values[N-1]}` for N distinct interned str keys.
///
/// A display inserts its keys one by one into an empty dict, which grows a table of
/// the smallest size for them. Here a dict built that way once, with None for every value
/// (the template, never shared), is copied with PyDict_Copy, which for a small
/// combined table copies the table whole; the values are then put into the copy's
/// entries. The copy has the display's keys, order and table size; nothing else has
/// seen it yet, so its values may be put in place without the dict's own insertion.
/// Whatever the copy turns out to be when it is not the exact image of the template
/// (another layout, shared keys, another table), the values go in through
/// PyDict_SetItem, which is the plain route and gives the same dict. As the insertions
/// would, the dict is tracked by the garbage collector once a value may hold references.
template <int N>
class FixedKeysDict {
  public:
    /// `keys` are interned names the caller keeps alive. With `direct` false, every dict
    /// takes the plain route.
    void init(PyObject *const (&keys)[N], bool direct) {
        direct_ = direct && ORRINTH_DICT_LAYOUT_KNOWN;
        for (int i = 0; i < N; i++) {
            assert(PyUnicode_CheckExact(keys[i]) && PyUnicode_CHECK_INTERNED(keys[i]));
            keys_[i] = keys[i];
        }
        Ref tmpl = require(PyDict_New());
        for (int i = 0; i < N; i++) require(PyDict_SetItem(tmpl.get(), keys_[i], Py_None));
        // Only str keys and None: nothing it holds can form a cycle, so the collector need
        // not track it, and untracked, no gc walk hands it to Python code (the module's
        // traversal skips untracked containers).
        if (PyObject_GC_IsTracked(tmpl.get())) PyObject_GC_UnTrack(tmpl.get());
        template_ = tmpl.release();
    }

    /// The one reference this owns (the template), for the module's traversal and
    /// clearing; once it is cleared, make() raises SystemError.
    PyObject *&template_ref() { return template_; }

    /// Whether values are put into the copied table directly where it allows.
    bool direct() const { return direct_; }

    Ref make(const Ref (&values)[N]) const {
        if (!template_) throw raise(PyExc_SystemError, "module state was cleared");
        Ref d = require(PyDict_Copy(template_));
#if ORRINTH_DICT_LAYOUT_KNOWN
        if (direct_) {
            PyObject *raw[N];
            for (int i = 0; i < N; i++) raw[i] = values[i].get();
            if (orrinth_fill_fresh_copy(d.get(), template_, keys_, raw, N)) {
                assert(PyDict_GET_SIZE(d.get()) == N);
                bool track = false;
                for (int i = 0; i < N; i++) track = track || may_be_tracked(raw[i]);
                if (track && !PyObject_GC_IsTracked(d.get())) PyObject_GC_Track(d.get());
                return d;
            }
        }
#endif
        for (int i = 0; i < N; i++) require(PyDict_SetItem(d.get(), keys_[i], values[i].get()));
        return d;
    }

  private:
#if ORRINTH_DICT_LAYOUT_KNOWN
    /// The garbage collector's own test of whether a value makes its container tracked.
    static bool may_be_tracked(PyObject *v) noexcept {
        if (!PyObject_IS_GC(v)) return false;
        return !PyTuple_CheckExact(v) || PyObject_GC_IsTracked(v);
    }
#endif

    PyObject *keys_[N] = {};
    PyObject *template_ = nullptr;
    bool direct_ = false;
};

}  // namespace orrinth
