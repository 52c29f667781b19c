/* src/native_layout/dict_mirror.h: the parts of a dict's private layout that the fast
 * paths read, the same on 3.11, 3.12 and 3.13 (with the GIL). Each layout_3_NN.c compares
 * every field here with that version's internal/pycore_dict.h; a difference stops the
 * build. Included only through native_layout.h, for a version whose layout is known. */
#ifndef ORRINTH_DICT_MIRROR_H
#define ORRINTH_DICT_MIRROR_H

#include <Python.h>
#include <assert.h>
#include <stdint.h>

/* A dict's keys object (PyDictKeysObject); the index table follows it, then the entries. */
typedef struct {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
} orrinth_dict_keys;

/* An entry of a table whose keys are all str (combined: key and value; split: the key,
 * the value being in the dict's values array). */
typedef struct {
    PyObject *me_key;
    PyObject *me_value;
} orrinth_unicode_entry;

enum { ORRINTH_DICT_KEYS_UNICODE = 1, ORRINTH_DICT_KEYS_SPLIT = 2 };

/* ma_version_tag's offset in PyDictObject, read without naming the field (deprecated
 * from 3.12 on); the layout files check it. */
#define ORRINTH_DICT_VERSION_OFFSET (2 * sizeof(void *) + sizeof(Py_ssize_t))

static inline const orrinth_dict_keys *orrinth_keys_of(PyObject *dict) {
    return (const orrinth_dict_keys *)((PyDictObject *)dict)->ma_keys;
}

/* The entries of a str-keyed table: after the keys object and its index table. */
static inline orrinth_unicode_entry *orrinth_dict_entries(const orrinth_dict_keys *keys) {
    assert(keys->dk_kind == ORRINTH_DICT_KEYS_UNICODE || keys->dk_kind == ORRINTH_DICT_KEYS_SPLIT);
    const char *indices = (const char *)(keys + 1);
    return (orrinth_unicode_entry *)(indices + ((size_t)1 << keys->dk_log2_index_bytes));
}

static inline uint64_t orrinth_raw_dict_version(PyObject *dict) {
    return *(const uint64_t *)((const char *)dict + ORRINTH_DICT_VERSION_OFFSET);
}

static inline void orrinth_set_raw_dict_version(PyObject *dict, uint64_t version) {
    *(uint64_t *)((char *)dict + ORRINTH_DICT_VERSION_OFFSET) = version;
}

#endif /* ORRINTH_DICT_MIRROR_H */
