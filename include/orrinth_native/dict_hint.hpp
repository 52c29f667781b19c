// include/orrinth_native/dict_hint.hpp: reading one key of a dict at a remembered position
// in its entry table, as the interpreter's own attribute caches do.
#pragma once

#include "dict_layout.h"
#include "lookups.hpp"

namespace orrinth {

/// `dict[name]` for exact dicts and one exact, interned str name, read first at the entry
/// where the name was found last. The read takes the remembered entry only if its key is
/// `name` itself and its value is set; anything else (another kind of table, a position
/// past the end, another key, no value) falls back to the dict's own lookup. The position
/// is only a guess: a wrong one costs a lookup, never a wrong value, since a key sits at
/// most at one live entry of a table. Uses the layout in dict_layout.h, which the build
/// checks against the interpreter's; other versions always look up.
class DictHint {
  public:
    /// The value, borrowed from `dict`, or nullptr when the remembered entry does not
    /// hold `name`. Runs no Python code.
    PyObject *peek(PyObject *dict, PyObject *name) const noexcept {
#if ORRINTH_DICT_LAYOUT_KNOWN
        const Table t = table(dict);
        if (!t.entries || index_ >= t.count) return nullptr;
        const orrinth_unicode_entry &e = t.entries[index_];
        if (e.me_key != name) return nullptr;
        return t.values ? t.values[index_] : e.me_value;
#else
        (void)dict;
        (void)name;
        return nullptr;
#endif
    }

    /// Remember where `name` sits in `dict`'s entries, if it is among the first few
    /// (searched by identity); else keep the old guess.
    void learn(PyObject *dict, PyObject *name) noexcept {
#if ORRINTH_DICT_LAYOUT_KNOWN
        const Table t = table(dict);
        const Py_ssize_t n = t.count < kSearched ? t.count : kSearched;
        for (Py_ssize_t i = 0; i < n; i++) {
            if (t.entries[i].me_key == name) {
                index_ = i;
                return;
            }
        }
#else
        (void)dict;
        (void)name;
#endif
    }

    /// `dict[name]` (a strong reference, empty when missing); throws on a lookup error.
    Ref get(PyObject *dict, PyObject *name) {
        if (PyObject *v = peek(dict, name)) return Ref::new_ref(v);
        Ref v = dict_get(dict, name);
        if (v) learn(dict, name);
        return v;
    }

  private:
#if ORRINTH_DICT_LAYOUT_KNOWN
    struct Table {
        const orrinth_unicode_entry *entries = nullptr;
        PyObject *const *values = nullptr;  // a split table's values, else nullptr
        Py_ssize_t count = 0;               // entries that may be read
    };

    /// The entry table of a dict whose keys are all str, combined or (3.13, where the
    /// values know their capacity) split; an empty Table for any other.
    static Table table(PyObject *dict) noexcept {
        auto *d = reinterpret_cast<PyDictObject *>(dict);
        auto *keys = reinterpret_cast<const orrinth_dict_keys *>(d->ma_keys);
        Table t;
        t.count = keys->dk_nentries;
        if (!d->ma_values) {
            if (keys->dk_kind != ORRINTH_DICT_KEYS_UNICODE) return Table{};
        } else {
#if ORRINTH_DICT_VALUES_CAPACITY
            if (keys->dk_kind != ORRINTH_DICT_KEYS_SPLIT) return Table{};
            auto *values = reinterpret_cast<const orrinth_dict_values *>(d->ma_values);
            if (values->capacity < t.count) t.count = values->capacity;
            t.values = values->values;
#else
            return Table{};
#endif
        }
        t.entries = orrinth_dict_entries(keys);
        return t;
    }

    static constexpr Py_ssize_t kSearched = 32;
#endif
    Py_ssize_t index_ = 0;
};

}  // namespace orrinth
