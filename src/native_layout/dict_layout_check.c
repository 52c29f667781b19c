/* src/native_layout/dict_layout_check.c: holds dict_layout.h to the interpreter it is built
 * for. Compiled into each module; it defines nothing, and fails the build when a field of
 * the written-out layout is not where the interpreter's own definition puts it. */
/* The interpreter's internal headers must see Python.h compiled as its own core. */
#define Py_BUILD_CORE 1
#include "orrinth_native/dict_layout.h"

#if ORRINTH_DICT_LAYOUT_KNOWN
/* The internal headers are the interpreter's, written for its own warning flags. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_dict.h>
#pragma GCC diagnostic pop

#include <stddef.h>

#define SAME_FIELD(mirror, real, field)                                                   \
    _Static_assert(offsetof(mirror, field) == offsetof(real, field) &&                    \
                       sizeof(((mirror *)0)->field) == sizeof(((real *)0)->field),        \
                   #field " of " #real " differs from dict_layout.h")

SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_refcnt);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_log2_size);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_log2_index_bytes);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_kind);
SAME_FIELD(orrinth_dict_keys, struct _dictkeysobject, dk_nentries);
_Static_assert(sizeof(orrinth_dict_keys) == offsetof(struct _dictkeysobject, dk_indices),
               "the index table of a dict's keys does not follow dk_nentries");
SAME_FIELD(orrinth_unicode_entry, PyDictUnicodeEntry, me_key);
SAME_FIELD(orrinth_unicode_entry, PyDictUnicodeEntry, me_value);
_Static_assert(sizeof(orrinth_unicode_entry) == sizeof(PyDictUnicodeEntry),
               "a str-keyed dict entry differs from dict_layout.h");
_Static_assert((int)ORRINTH_DICT_KEYS_UNICODE == (int)DICT_KEYS_UNICODE &&
                   (int)ORRINTH_DICT_KEYS_SPLIT == (int)DICT_KEYS_SPLIT,
               "the kinds of dict keys differ from dict_layout.h");
#if ORRINTH_DICT_VALUES_CAPACITY
SAME_FIELD(orrinth_dict_values, struct _dictvalues, capacity);
SAME_FIELD(orrinth_dict_values, struct _dictvalues, values);
#endif
#endif
