// include/orrinth_native/inline_attrs.hpp: instance attributes of objects of a plain
// class, read where the interpreter's own lookup finds them: in the values the object
// keeps inline (native_layout.h), at the name's index among the class's shared names.
#pragma once

#include "lookups.hpp"
#include "objects.hpp"

#include <native_layout.h>

#include <atomic>

namespace orrinth {

namespace detail {
/// Whether this module checked, at import, that inline reads give what getattr gives.
inline std::atomic<bool> &inline_reads_checked() {
    static std::atomic<bool> on{false};
    return on;
}
}  // namespace detail

/// Whether attributes may be read from the values an object keeps inline in this process
/// (InlineAttrReader<N>::self_check() passed). Every user of orrinth_inline_values asks.
inline bool inline_reads_enabled() {
    return detail::inline_reads_checked().load(std::memory_order_relaxed);
}

/// `obj.name` for a fixed set of names, for objects of whatever class comes (the verdict
/// for the class last seen is kept per version tag). The inline read applies when the
/// class takes object's generic attribute lookup (tp_getattro), no class on its MRO has
/// any attribute of the name (so nothing could win over the instance's own value), and
/// the name is among the names its instances keep inline; then the generic lookup would
/// return exactly the inline value. Whenever the object keeps no inline value under the
/// name (its dict was made, the attribute was deleted), the generic lookup runs, so its
/// errors are the interpreter's. Reads take the inline route only after the process-wide
/// check at import (self_check) has found them equal to getattr.
template <int N>
class InlineAttrReader {
  public:
    /// `names` are interned names the caller keeps alive.
    void init(PyObject *const (&names)[N]) {
        for (int i = 0; i < N; i++) names_[i] = names[i];
        type_ = nullptr;
        tag_ = 0;
    }

    /// `out[i] = obj.names[i]` for every name, read in order. Throws what getattr raises.
    void get_all(PyObject *obj, Ref (&out)[N]) {
        PyObject *const *values = inline_values(obj);
        for (int i = 0; i < N; i++) {
            if (values && index_[i] >= 0 && values[index_[i]]) {
                out[i] = Ref::new_ref(values[index_[i]]);
                continue;
            }
            out[i] = getattr(obj, names_[i]);
            values = inline_values(obj);  // that read may have run Python code
        }
    }

    /// Check, once per process, that inline reads give what getattr gives on objects of
    /// a class made here by a class statement: fresh ones, one whose dict was made, one
    /// with an attribute deleted. Until it passes, every read is generic.
    static void self_check() {
        if (inline_reads_enabled()) return;
        Ref globals = run_in_fresh_namespace("class Probe:\n"
                                             "    def __init__(self, a, b):\n"
                                             "        self.a = a\n"
                                             "        self.b = b\n"
                                             "p = Probe(1, 'x')\n"
                                             "q = Probe(None, [])\n"
                                             "q.__dict__['b'] = 2.5\n"
                                             "r = Probe(3, 4)\n"
                                             "del r.a\n");
        Ref a = require(PyUnicode_InternFromString("a"));
        Ref b = require(PyUnicode_InternFromString("b"));
        PyObject *const two[2] = {a.get(), b.get()};
        InlineAttrReader<2> reader;
        reader.init(two);
        reader.checking_ = true;
        bool same = true;
        int inline_reads = 0;
        for (const char *name : {"p", "q", "r"}) {
            Ref obj = dict_get(globals.get(), name);
            if (!obj) return;
            PyObject *const *values = reader.inline_values(obj.get());
            for (int i = 0; values && i < 2; i++) {
                PyObject *fast = reader.index_[i] >= 0 ? values[reader.index_[i]] : nullptr;
                if (!fast) continue;
                PyObject *plain = PyObject_GetAttr(obj.get(), two[i]);
                if (!plain) {
                    // A value read inline where getattr finds none: the layout read is
                    // not this interpreter's, so the route stays off (import goes on).
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
                    PyErr_Clear();
                    same = false;
                    continue;
                }
                inline_reads++;
                same = same && fast == plain;
                Py_DECREF(plain);
            }
        }
        // p's two values at least must have been read inline, or nothing was tested.
        if (same && inline_reads >= 2)
            detail::inline_reads_checked().store(true, std::memory_order_relaxed);
    }


  private:
    template <int>
    friend class InlineAttrReader;

    PyObject *const *inline_values(PyObject *obj) {
        PyTypeObject *t = Py_TYPE(obj);
        if (t != type_ || t->tp_version_tag != tag_) validate(t);
        return count_ > 0 ? orrinth_inline_values(obj, count_) : nullptr;
    }

    // Once per class and version tag; fails closed (every index -1) on anything else.
    [[gnu::noinline]] void validate(PyTypeObject *t) {
        type_ = t;  // compared only, with the tag: no two classes are given the same tag
        for (int i = 0; i < N; i++) index_[i] = -1;
        const bool on = checking_ || inline_reads_enabled();
        bool plain = on && t->tp_getattro == PyObject_GenericGetAttr;
        for (int i = 0; plain && i < N; i++) {
            if (orrinth_type_lookup(t, names_[i])) continue;  // borrowed; runs no Python code
            index_[i] = orrinth_shared_key_index(t, names_[i]);
        }
        tag_ = t->tp_version_tag;  // given by the lookups; 0 when the class has none
        if (tag_ == 0 || !plain)
            for (int i = 0; i < N; i++) index_[i] = -1;
        count_ = 0;
        for (int i = 0; i < N; i++)
            if (index_[i] + 1 > count_) count_ = index_[i] + 1;
    }

    PyObject *names_[N] = {};
    PyTypeObject *type_ = nullptr;
    unsigned tag_ = 0;
    Py_ssize_t index_[N] = {};
    Py_ssize_t count_ = 0;  // values read: the largest index used plus one (0: none)
    bool checking_ = false;
};

}  // namespace orrinth
