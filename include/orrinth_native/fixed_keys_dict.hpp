// include/orrinth_native/fixed_keys_dict.hpp: new dicts of one fixed set of str keys, such
// as a display `{"a": x, "b": y}` makes, built by copying a table instead of inserting.
#pragma once

#include "objects.hpp"

#include <native_layout.h>

#include <utility>

namespace orrinth {

/// The garbage collector's own test of whether a value put into a dict makes the dict
/// tracked.
inline bool gc_tracks_dict_of(PyObject *v) noexcept {
    if (!PyObject_IS_GC(v)) return false;
    return !PyTuple_CheckExact(v) || PyObject_GC_IsTracked(v);
}

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
///
/// A dict handed back through recycle() once its user has let go of it (the caller holds
/// the only reference) and that is still the template's image in keys and table has its
/// values dropped at once, None put in their place and a new version given, exactly as
/// if it had been freed and a fresh copy made; the next make() fills it instead of
/// copying, so a call saves the copy's allocation and the dict's deallocation. It waits
/// untracked by the collector and holding only None, out of reach of any Python code,
/// and is taken out while in use, so a make() while it is out (a nested call, another
/// thread) copies the template as before.
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
        interp_ = PyInterpreterState_Get();  // module state is per interpreter
    }

    /// The one reference this owns (the template), for the module's traversal and
    /// clearing; once it is cleared, make() raises SystemError.
    PyObject *&template_ref() { return template_; }

    /// The dict kept for the next make() (or NULL), the other reference this owns.
    PyObject *&spare_ref() { return spare_; }

    /// Whether values are put into the copied table directly where it allows.
    bool direct() const { return direct_; }

    Ref make(const Ref (&values)[N]) {
        if (!template_) throw raise(PyExc_SystemError, "module state was cleared");
        // The spare (if any) leaves the slot before anything can run.
        Ref d = spare_ ? Ref::steal(std::exchange(spare_, nullptr))
                       : require(PyDict_Copy(template_));
#if ORRINTH_DICT_LAYOUT_KNOWN
        if (direct_) {
            PyObject *raw[N];
            for (int i = 0; i < N; i++) raw[i] = values[i].get();
            if (orrinth_fill_fresh_copy(d.get(), template_, keys_, raw, N)) {
                assert(PyDict_GET_SIZE(d.get()) == N);
                bool track = false;
                for (int i = 0; i < N; i++) track = track || gc_tracks_dict_of(raw[i]);
                if (track && !PyObject_GC_IsTracked(d.get())) PyObject_GC_Track(d.get());
                return d;
            }
        }
#endif
        for (int i = 0; i < N; i++) require(PyDict_SetItem(d.get(), keys_[i], values[i].get()));
        return d;
    }

    /// Hand back a dict make() gave, at the point where it would be released. Releases it
    /// (and so its values, in entry order, as its deallocation would) and, when it may be
    /// filled again, keeps it for the next make(). Any doubt: it is simply released.
    void recycle(Ref d) {
#if ORRINTH_DICT_LAYOUT_KNOWN
        PyObject *old[N] = {};
        if (!direct_ || !template_ || Py_REFCNT(d.get()) != 1 || !PyDict_CheckExact(d.get()) ||
            !orrinth_take_values_for_refill(d.get(), template_, keys_, old, N))
            return;  // `d` is released here, as before
        // Holding only None from here on: nothing the collector need look at.
        if (PyObject_GC_IsTracked(d.get())) PyObject_GC_UnTrack(d.get());
        // The dict gets a version never used before, as a change made by the interpreter
        // gives it: from the interpreter's counter where it can be reached, else the one
        // a new empty dict was just given (freed before anything saw it). Then the old
        // values are released in entry order; that may run code, which cannot reach this
        // dict.
#if ORRINTH_DICT_VERSION_COUNTER
        orrinth_renew_dict_version(d.get(), interp_);
#else
        PyObject *fresh = PyDict_New();
        if (fresh) {
            orrinth_set_raw_dict_version(d.get(), orrinth_raw_dict_version(fresh));
            Py_DECREF(fresh);
        } else {
            PyErr_Clear();  // no memory for it: this dict is released below, not kept
        }
#endif
        for (int i = 0; i < N; i++) Py_DECREF(old[i]);
#if !ORRINTH_DICT_VERSION_COUNTER
        if (!fresh) return;
#endif
        // Code run by the releases cannot reach this dict, but may have filled the slot (a
        // nested call finishing) or cleared the module: then this one is simply released.
        if (!spare_ && template_) spare_ = d.release();
#else
        (void)d;
#endif
    }

  private:
    PyObject *keys_[N] = {};
    PyObject *template_ = nullptr;
    PyObject *spare_ = nullptr;
    PyInterpreterState *interp_ = nullptr;
    bool direct_ = false;
};

}  // namespace orrinth
