/* include/orrinth_native/dict_layout.h: the parts of the interpreter's private dict layout
 * that the hinted reads (dict_hint.hpp) use, written out per version. Plain C, so that
 * src/orrinth/dict_layout_check.c can compare it field by field with the interpreter's own
 * definitions (internal/pycore_dict.h) when the modules are built: a layout that differs
 * from the one written here stops the build. Versions not listed get no hinted reads. */
#ifndef ORRINTH_DICT_LAYOUT_H
#define ORRINTH_DICT_LAYOUT_H

#include <Python.h>
#include <stdint.h>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define ORRINTH_DICT_LAYOUT_KNOWN 1

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

/* The entries of a str-keyed table: after the keys object and its index table. */
static inline orrinth_unicode_entry *orrinth_dict_entries(const orrinth_dict_keys *keys) {
    const char *indices = (const char *)(keys + 1);
    return (orrinth_unicode_entry *)(indices + ((size_t)1 << keys->dk_log2_index_bytes));
}

#if PY_VERSION_HEX >= 0x030D0000
/* 3.13: the values array of a split table knows its own capacity. */
#define ORRINTH_DICT_VALUES_CAPACITY 1
typedef struct {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject *values[1];
} orrinth_dict_values;
#else
#define ORRINTH_DICT_VALUES_CAPACITY 0
#endif

#else
#define ORRINTH_DICT_LAYOUT_KNOWN 0
#endif

#endif /* ORRINTH_DICT_LAYOUT_H */
