// include/orrinth_native/dict_memo.hpp: one dict lookup remembered until the dict changes.
#pragma once

#include "error.hpp"

#include <native_layout.h>

#include <cstdint>

namespace orrinth {

/// `dict[name]` for an exact dict and an exact str name, remembered with the dict's
/// version. CPython 3.11 to 3.13 give every dict a new version, unique in the
/// interpreter, at its creation and at every change (tests/test_dict_reads.py checks
/// this on the running interpreter), so while the same dict holds the same version the
/// value is the one found then: still alive (the dict holds it) and still what a lookup
/// would find. The memo keeps nothing alive itself. Dicts without a usable version (see
/// orrinth_dict_version) and other versions of Python are looked up every time.
class DictLookupMemo {
  public:
    /// The value remembered for `dict` in its present version, or none.
    Borrowed peek(PyObject *dict) const noexcept {
#if ORRINTH_DICT_VERSION_KNOWN
        const uint64_t version = orrinth_dict_version(dict);
        if (dict == dict_ && version == version_ && version != 0) return Borrowed(value_);
#else
        (void)dict;
#endif
        return Borrowed();
    }

    /// The value in `dict`, or none when the name is missing; throws on a lookup error.
    Borrowed lookup(PyObject *dict, PyObject *name) {
        if (Borrowed v = peek(dict)) return v;
#if ORRINTH_DICT_VERSION_KNOWN
        const uint64_t version = orrinth_dict_version(dict);
#endif
        PyObject *v = PyDict_GetItemWithError(dict, name);
        if (!v) {
            if (PyErr_Occurred()) throw PyErrSet{};
            return Borrowed();
        }
#if ORRINTH_DICT_VERSION_KNOWN
        dict_ = dict;
        version_ = version;
        value_ = v;
#endif
        return Borrowed(v);
    }

  private:
    PyObject *dict_ = nullptr;  // compared only: never dereferenced
    uint64_t version_ = 0;
    PyObject *value_ = nullptr;  // borrowed from dict_ while its version is version_
};

}  // namespace orrinth
