// include/orrinth_native/dict_hint.hpp: reading one key of a dict at a remembered position
// in its entry table, as the interpreter's own attribute caches do.
#pragma once

#include "lookups.hpp"

#include <native_layout.h>

namespace orrinth {

/// `dict[name]` for exact dicts and one exact, interned str name, read first at the entry
/// where the name was found last. The read takes the remembered entry only if its key is
/// `name` itself and its value is set; anything else (another kind of table, a position
/// past the end, another key, no value) falls back to the dict's own lookup. The position
/// is only a guess: a wrong one costs a lookup, never a wrong value, since a key sits at
/// most at one live entry of a table. Reads the table through native_layout.h; where no
/// layout is known, every read looks up.
class DictHint {
  public:
    /// The value in `dict`, or none when the remembered entry does not hold `name`. Runs
    /// no Python code.
    Borrowed peek(PyObject *dict, PyObject *name) const noexcept {
#if ORRINTH_DICT_LAYOUT_KNOWN
        const orrinth_str_table t = orrinth_dict_str_table(dict);
        if (!t.entries || index_ >= t.count) return Borrowed();
        return Borrowed(orrinth_str_table_get(t, index_, name));
#else
        (void)dict;
        (void)name;
        return Borrowed();
#endif
    }

    /// Remember where `name` sits in `dict`'s entries, if it is among the first few
    /// (searched by identity); else keep the old guess.
    void learn(PyObject *dict, PyObject *name) noexcept {
#if ORRINTH_DICT_LAYOUT_KNOWN
        const orrinth_str_table t = orrinth_dict_str_table(dict);
        if (!t.entries) return;
        const Py_ssize_t n = t.count < kSearched ? t.count : kSearched;
        for (Py_ssize_t i = 0; i < n; i++) {
            if (orrinth_str_table_key(t, i) == name) {
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
        if (Borrowed v = peek(dict, name)) return v.new_ref();
        Ref v = dict_get(dict, name);
        if (v) learn(dict, name);
        return v;
    }

  private:
#if ORRINTH_DICT_LAYOUT_KNOWN
    static constexpr Py_ssize_t kSearched = 32;
#endif
    Py_ssize_t index_ = 0;
};

}  // namespace orrinth
