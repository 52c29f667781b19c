/* src/native_layout/layout_shared.h: what every layout_3_NN.c holds to its version's
 * internal headers in the same way, included by the one of them that is built (after the
 * internal headers). Not a public header: it defines functions. */
#ifndef ORRINTH_LAYOUT_SHARED_H
#define ORRINTH_LAYOUT_SHARED_H

#include <stddef.h>

#define ORRINTH_SAME_FIELD(mirror, real, field)                                          \
    _Static_assert(offsetof(mirror, field) == offsetof(real, field) &&                   \
                       sizeof(((mirror *)0)->field) == sizeof(((real *)0)->field),       \
                   #field " of " #real " differs from the layout written out")

/* dict_mirror.h, field by field. */
ORRINTH_SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_refcnt);
ORRINTH_SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_log2_size);
ORRINTH_SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_log2_index_bytes);
ORRINTH_SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_kind);
ORRINTH_SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_nentries);
_Static_assert(sizeof(orrinth_dict_keys) == offsetof(struct _dictkeysobject, dk_indices),
               "the index table of a dict's keys does not follow dk_nentries");
ORRINTH_SAME_FIELD(orrinth_unicode_entry, PyDictUnicodeEntry, me_key);
ORRINTH_SAME_FIELD(orrinth_unicode_entry, PyDictUnicodeEntry, me_value);
_Static_assert(sizeof(orrinth_unicode_entry) == sizeof(PyDictUnicodeEntry),
               "a str-keyed dict entry differs from the layout written out");
_Static_assert((int)ORRINTH_DICT_KEYS_UNICODE == (int)DICT_KEYS_UNICODE &&
                   (int)ORRINTH_DICT_KEYS_SPLIT == (int)DICT_KEYS_SPLIT,
               "the kinds of dict keys differ from the layout written out");

/* The version tag, read at its offset (the field is deprecated from 3.12 on). */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
_Static_assert(offsetof(PyDictObject, ma_version_tag) == ORRINTH_DICT_VERSION_OFFSET &&
                   sizeof(((PyDictObject *)0)->ma_version_tag) == sizeof(uint64_t),
               "ma_version_tag is not where the layout written out reads it");
#pragma GCC diagnostic pop

/* The recursion counters the native calls count down directly. */
_Static_assert(sizeof(((PyThreadState *)0)->ORRINTH_C_RECURSION_FIELD) == sizeof(int) &&
                   sizeof(((PyThreadState *)0)->ORRINTH_PY_RECURSION_FIELD) == sizeof(int),
               "the thread state's recursion counters are not ints");

Py_ssize_t
orrinth_shared_key_index(PyTypeObject *type, PyObject *name)
{
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return -1;
    }
#ifdef Py_TPFLAGS_INLINE_VALUES
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) {
        return -1;
    }
#endif
    PyDictKeysObject *keys = ((PyHeapTypeObject *)type)->ht_cached_keys;
    if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) {
        return -1;
    }
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; i++) {
        if (entries[i].me_key == name) {
            return i;
        }
    }
    return -1;
}

#endif
