// include/orrinth_native/fastattr.hpp: reading instance attributes straight from the
// instance dict, for exactly one class, when that cannot differ from `obj.name`.
#pragma once

#include "dict_hint.hpp"
#include "dict_memo.hpp"
#include "inline_attrs.hpp"
#include "mro.hpp"

#include <native_layout.h>

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

    /// `obj.name`, in the object's dict, where it can be read at its remembered entry in a
    /// dict the object already has, else none. Runs no code, so the value stays valid
    /// until the caller runs some.
    __attribute__((always_inline)) Borrowed peek(PyObject *obj, PyObject *name) {
#if ORRINTH_DICT_LAYOUT_KNOWN
        if (applies(obj) && (cls_->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
            assert(orrinth_layout_agrees(obj));
            PyObject *dict = orrinth_managed_dict(obj);
            if (dict && PyDict_CheckExact(dict)) return hint_for(name).peek(dict, name);
        }
#else
        (void)obj;
        (void)name;
#endif
        return Borrowed();
    }

    /// `obj.name`, with `name` one of the names given to init(). Throws on error.
    /// `*generic` is set when the generic lookup ran (and with it, maybe Python code).
    /// Inlined into the walks: peek(); everything else (no dict yet, another entry, a
    /// lookup) out of line.
    __attribute__((always_inline)) Ref get(PyObject *obj, PyObject *name,
                                           bool *generic = nullptr) {
        if (Borrowed v = peek(obj, name)) return v.new_ref();
        return get_looked_up(obj, name, generic);
    }

    /// The instance dict of `obj`, an instance of exactly the class: read from the object
    /// when the class keeps it before the object and it has been made, else made and
    /// fetched by PyObject_GenericGetDict. Throws on failure.
    Ref instance_dict(PyObject *obj) {
#if ORRINTH_DICT_LAYOUT_KNOWN
        if (cls_->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
            if (PyObject *dict = orrinth_managed_dict(obj)) return Ref::new_ref(dict);
        }
#endif
        return require(PyObject_GenericGetDict(obj, nullptr));
    }

  private:
    static constexpr int kMaxNames = 8;

    [[gnu::noinline]] Ref get_looked_up(PyObject *obj, PyObject *name, bool *generic) {
        if (applies(obj)) {
            Ref dict = instance_dict(obj);
            if (PyDict_CheckExact(dict.get())) {
                if (Ref v = hint_for(name).get(dict.get(), name)) return v;
            }
        }
        if (generic) *generic = true;
        return require(PyObject_GetAttr(obj, name));
    }

    /// Where `name` (one of the names given to init(), compared by identity) was found
    /// last in an instance dict; any other name gets a slot that is only ever a guess.
    DictHint &hint_for(PyObject *name) noexcept {
        for (int k = 0; k < count_ && k < kMaxNames; k++) {
            if (names_[k] == name) return hints_[k];
        }
        return spare_hint_;
    }

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
    DictHint hints_[kMaxNames];
    DictHint spare_hint_;
};

}  // namespace orrinth

namespace orrinth {

/// `obj.name` for one name of instances of exactly one class (as InstanceDictReader
/// reads it), remembered with the instance dict it came from (see DictLookupMemo); where
/// the dict's version cannot be used (3.13's split tables), read at its remembered entry
/// (DictHint).
class InstanceAttrCache {
  public:
    Ref get(InstanceDictReader &reader, PyObject *obj, PyObject *name) {
        if (reader.applies(obj)) {
            if (Ref v = fast_get(reader, obj, name)) return v;
        }
        return require(PyObject_GetAttr(obj, name));
    }

  private:
    /// `obj.name` read without the generic lookup, or empty when that has to run. Where
    /// the value is looked for depends on the version (version.h, ORRINTH_INSTANCE_READ).
    Ref fast_get(InstanceDictReader &reader, PyObject *obj, PyObject *name) {
        (void)reader;  // only where the dict may have to be made
        switch (ORRINTH_INSTANCE_READ) {
        case ORRINTH_INSTANCE_READ_DICT_PTR: {
            // 3.11: the dict pointer, the dict made from the values if need be.
            PyObject **slot = orrinth_object_dict_ptr(obj);
            PyObject *dict = slot ? *slot : nullptr;
            return dict ? from_dict(dict, name) : Ref();
        }
        case ORRINTH_INSTANCE_READ_VALUES_FIRST:
            // 3.13 keeps the values inline even once a dict was made (the dict shares them,
            // until it becomes a table of its own and marks them invalid): read there first,
            // as the interpreter's specialised attribute load does.
            if (Ref v = inline_get(obj, name)) return v;
            [[fallthrough]];
        case ORRINTH_INSTANCE_READ_NO_DICT:
            // Borrowed: the object holds its dict, and no Python code runs before the value
            // is taken.
            if (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
                assert(orrinth_layout_agrees(obj));
                if (PyObject *dict = orrinth_managed_dict(obj)) return from_dict(dict, name);
            }
            // 3.12 specialises method loads on an instance only while it has no dict
            // (LOAD_ATTR_METHOD_WITH_VALUES): an instance that has none keeps it so, its
            // attributes read where the object keeps them (inline_attrs.hpp).
            if (ORRINTH_INSTANCE_READ == ORRINTH_INSTANCE_READ_NO_DICT) return inline_get(obj, name);
            [[fallthrough]];
        default: {
            Ref dict = reader.instance_dict(obj);
            return from_dict(dict.get(), name);
        }
        }
    }

    /// `obj.name` from the values the object keeps inline, or empty. The class is exactly
    /// the reader's; a name's index among its shared keys never changes.
    Ref inline_get(PyObject *obj, PyObject *name) {
        if (!ORRINTH_LAYOUT_KNOWN || !inline_reads_enabled()) return Ref();
        if (inline_index_ < 0) inline_index_ = orrinth_shared_key_index(Py_TYPE(obj), name);
        if (inline_index_ < 0) return Ref();
        PyObject *const *values = orrinth_inline_values(obj, inline_index_ + 1);
        return Ref::new_ref(values ? values[inline_index_] : nullptr);
    }

    /// `dict[name]` for an instance dict (held by its object or by the caller), or empty.
    Ref from_dict(PyObject *dict, PyObject *name) {
        if (!PyDict_CheckExact(dict)) return Ref();
        if (Borrowed v = memo_.peek(dict)) return v.new_ref();
        if (Borrowed v = hint_.peek(dict, name)) return v.new_ref();
        if (Borrowed v = memo_.lookup(dict, name)) {
            hint_.learn(dict, name);
            return v.new_ref();
        }
        return Ref();
    }

    DictHint hint_;
    DictLookupMemo memo_;
    Py_ssize_t inline_index_ = -1;  // of the name among the class's shared keys
};

}  // namespace orrinth
