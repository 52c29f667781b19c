// include/orrinth_native/dict_memo.hpp: one dict lookup remembered until the dict changes.
#pragma once

#include "error.hpp"

#include <cstdint>

// Where the dict version tag can be trusted (see DictLookupMemo): 3.11 to 3.13 with the
// GIL. 3.14 removes the field.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define ORRINTH_DICT_VERSION_KNOWN 1
#else
#define ORRINTH_DICT_VERSION_KNOWN 0
#endif

namespace orrinth {

#if ORRINTH_DICT_VERSION_KNOWN
namespace detail {

// The low bits of the tag that are not the version: 3.12 keeps the dict's watchers in
// the low 8 bits, 3.13 also a 4-bit count of changes to watched dicts; watching a dict
// sets a bit without giving it a new version. The version proper is the rest.
#if PY_VERSION_HEX >= 0x030D0000
inline constexpr uint64_t kDictVersionMask = ~uint64_t{(1u << 12) - 1};
#elif PY_VERSION_HEX >= 0x030C0000
inline constexpr uint64_t kDictVersionMask = ~uint64_t{(1u << 8) - 1};
#else
inline constexpr uint64_t kDictVersionMask = ~uint64_t{0};
#endif

/// The version of an exact dict whose version the interpreter keeps for every change
/// made to it, or 0. The field is deprecated from 3.12 on (not removed before 3.14).
inline uint64_t dict_version(PyObject *dict) noexcept {
    auto *d = reinterpret_cast<PyDictObject *>(dict);
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 writes an attribute into the values an object keeps inline without giving the
    // instance dict that shares them a new version: only combined tables count there.
    if (d->ma_values) return 0;
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return d->ma_version_tag & kDictVersionMask;
#pragma GCC diagnostic pop
}

}  // namespace detail
#endif

/// `dict[name]` for an exact dict and an exact str name, remembered with the dict's
/// version. CPython 3.11 to 3.13 give every dict a new version, unique in the
/// interpreter, at its creation and at every change (tests/test_dict_reads.py checks
/// this on the running interpreter), so while the same dict holds the same version the
/// value is the one found then: still alive (the dict holds it) and still what a lookup
/// would find. The memo keeps nothing alive itself. Dicts without a usable version (see
/// detail::dict_version) and other versions of Python are looked up every time.
class DictLookupMemo {
  public:
    /// The value remembered for `dict` in its present version (borrowed from it), or
    /// nullptr.
    PyObject *peek(PyObject *dict) const noexcept {
#if ORRINTH_DICT_VERSION_KNOWN
        const uint64_t version = detail::dict_version(dict);
        if (dict == dict_ && version == version_ && version != 0) return value_;
#else
        (void)dict;
#endif
        return nullptr;
    }

    /// The value (borrowed from `dict`), or nullptr when the name is missing; throws on
    /// a lookup error.
    PyObject *lookup(PyObject *dict, PyObject *name) {
        if (PyObject *v = peek(dict)) return v;
#if ORRINTH_DICT_VERSION_KNOWN
        const uint64_t version = detail::dict_version(dict);
#endif
        PyObject *v = PyDict_GetItemWithError(dict, name);
        if (!v) {
            if (PyErr_Occurred()) throw PyErrSet{};
            return nullptr;
        }
#if ORRINTH_DICT_VERSION_KNOWN
        dict_ = dict;
        version_ = version;
        value_ = v;
#endif
        return v;
    }

  private:
    PyObject *dict_ = nullptr;  // compared only: never dereferenced
    uint64_t version_ = 0;
    PyObject *value_ = nullptr;  // borrowed from dict_ while its version is version_
};

}  // namespace orrinth
