// include/orrinth_native/dict_memo.hpp: one dict lookup remembered until the dict changes.
#pragma once

#include "error.hpp"

#include <cstdint>

namespace orrinth {

/// `dict[name]` for an exact dict and an exact str name, remembered with the dict's
/// version tag. CPython 3.11 gives every dict a new tag, unique in the process, at its
/// creation and at every change, so while the same dict holds the same tag the value is
/// the one found then: still alive (the dict holds it) and still what a lookup would
/// find. The memo keeps nothing alive itself. Other versions look up every time.
class DictLookupMemo {
  public:
    /// The value (borrowed from `dict`), or nullptr when the name is missing; throws on
    /// a lookup error.
    PyObject *lookup(PyObject *dict, PyObject *name) {
#if PY_VERSION_HEX < 0x030C0000
        const uint64_t tag = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
        if (dict == dict_ && tag == tag_) return value_;
#endif
        PyObject *v = PyDict_GetItemWithError(dict, name);
        if (!v) {
            if (PyErr_Occurred()) throw PyErrSet{};
            return nullptr;
        }
#if PY_VERSION_HEX < 0x030C0000
        dict_ = dict;
        tag_ = tag;
        value_ = v;
#endif
        return v;
    }

  private:
    PyObject *dict_ = nullptr;  // compared only: never dereferenced
    uint64_t tag_ = 0;
    PyObject *value_ = nullptr;  // borrowed from dict_ while its tag is tag_
};

}  // namespace orrinth
