/* src/native_layout/native_layout.h: every read or write of the interpreter's private
 * structures that the native modules make, behind orrinth_* functions. The definitions are
 * inline, from the header of the version built for (layout_3_NN.h, chosen by version.h),
 * so a fast path costs what the read costs; layout_3_NN.c compiles that header against the
 * version's internal headers and stops the build where they disagree. Where no layout is
 * known (ORRINTH_LAYOUT_KNOWN is 0), the readers say "nothing here" and callers take the
 * plain route; the functions marked "layout known" are then not declared.
 *
 * Plain C, included by C++. */
#ifndef ORRINTH_NATIVE_LAYOUT_H
#define ORRINTH_NATIVE_LAYOUT_H

#include <Python.h>
#include <assert.h>
#include <stdint.h>
#include <string.h>

#include "version.h"

#if !ORRINTH_API_312
#include <structmember.h> /* T_OBJECT_EX, READONLY: part of Python.h from 3.12 on */
#endif

#if ORRINTH_LAYOUT_VERSION == 311
#include "layout_3_11.h"
#elif ORRINTH_LAYOUT_VERSION == 312
#include "layout_3_12.h"
#elif ORRINTH_LAYOUT_VERSION == 313
#include "layout_3_13.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Out of line (layout_3_NN.c, layout_none.c). */

/* The index of `name` (compared by identity) among the attribute names that instances of
 * `type` keep inline, or -1 when the type keeps none or the name is not among them. */
Py_ssize_t orrinth_shared_key_index(PyTypeObject *type, PyObject *name);

/* Whether the readers below find, for `obj` (an instance of a class with a managed
 * dict), what the interpreter's own accessors find: for assert()s in the readers' users.
 * Always 1 where no layout is known. */
int orrinth_layout_agrees(PyObject *obj);

#if ORRINTH_LAYOUT_KNOWN

/* The instance dict of `obj`, whose type keeps its dict pointer before the object
 * (Py_TPFLAGS_MANAGED_DICT), borrowed; NULL while the object has made none (its values
 * are still kept inline). orrinth_managed_dict is the version's own, in its header. */

/* The attribute values `obj` keeps inline, indexed as orrinth_shared_key_index gives for
 * the object's type, at least `count` of them (the largest index used plus one), each
 * NULL where the object holds no value; NULL when the object no longer keeps its values
 * inline. Valid until Python code runs. orrinth_inline_values is in the version's header. */

/* The version of an exact dict, as the interpreter changes it at every change made to the
 * dict (the watcher bits masked off), or 0 where it cannot be relied on. Layout known. */
static inline uint64_t orrinth_dict_version(PyObject *dict) {
    if (!ORRINTH_SPLIT_DICT_VERSIONED && ((PyDictObject *)dict)->ma_values) return 0;
    return orrinth_raw_dict_version(dict) & ~(((uint64_t)1 << ORRINTH_DICT_VERSION_LOW_BITS) - 1);
}

/* The entry table of an exact dict whose keys are all str: combined, or (where a split
 * table's values know their capacity) split. `entries` is NULL for any other table. */
typedef struct {
    const orrinth_unicode_entry *entries;
    PyObject *const *values; /* a split table's values, else NULL */
    Py_ssize_t count;        /* entries that may be read */
} orrinth_str_table;

static inline orrinth_str_table orrinth_dict_str_table(PyObject *dict) {
    const PyDictObject *d = (const PyDictObject *)dict;
    const orrinth_dict_keys *keys = orrinth_keys_of(dict);
    orrinth_str_table t = {NULL, NULL, keys->dk_nentries};
    if (!d->ma_values) {
        if (keys->dk_kind != ORRINTH_DICT_KEYS_UNICODE) return t;
    } else {
#if ORRINTH_DICT_VALUES_CAPACITY
        if (keys->dk_kind != ORRINTH_DICT_KEYS_SPLIT) return t;
        const orrinth_dict_values *values = (const orrinth_dict_values *)d->ma_values;
        if (values->capacity < t.count) t.count = values->capacity;
        t.values = values->values;
#else
        return t;
#endif
    }
    t.entries = orrinth_dict_entries(keys);
    return t;
}

/* The key of entry `i` of a table (NULL where deleted). */
static inline PyObject *orrinth_str_table_key(orrinth_str_table t, Py_ssize_t i) {
    assert(t.entries && i >= 0 && i < t.count);
    return t.entries[i].me_key;
}

/* The value of entry `i` of a table when its key is `name` itself, else NULL. */
static inline PyObject *orrinth_str_table_get(orrinth_str_table t, Py_ssize_t i, PyObject *name) {
    assert(t.entries && i >= 0 && i < t.count);
    if (t.entries[i].me_key != name) return NULL;
    return t.values ? t.values[i] : t.entries[i].me_value;
}

#ifndef ORRINTH_DICT_VERSION_COUNTER
#define ORRINTH_DICT_VERSION_COUNTER 0
#endif
#if ORRINTH_DICT_VERSION_COUNTER
/* A dict version never used before in `interp` (the watcher bits zero), as the
 * interpreter takes one for a change; layout_3_NN.c. */
uint64_t orrinth_next_dict_version(PyInterpreterState *interp);

/* Give `dict`, which has no watcher bits set, a version never used before. */
static inline void orrinth_renew_dict_version(PyObject *dict, PyInterpreterState *interp) {
    orrinth_set_raw_dict_version(dict, orrinth_next_dict_version(interp));
}
#endif

/* Put `values` (new references taken) into `dict`, a copy just made of `tmpl`, the dict
 * of `keys` (N distinct str keys, in order) with None for each value, when the copy is
 * the template's image in a combined str-keyed table that it alone holds: the keys and
 * None values in the template's order and table size. Returns 1 when done, 0 (the dict
 * unchanged) otherwise. Layout known. */
static inline int orrinth_fill_fresh_copy(PyObject *dict, PyObject *tmpl, PyObject *const *keys,
                                          PyObject *const *values, Py_ssize_t n) {
    const PyDictObject *d = (const PyDictObject *)dict;
    const orrinth_dict_keys *k = orrinth_keys_of(dict);
    if (d->ma_values || d->ma_used != n || k->dk_refcnt != 1 ||
        k->dk_kind != ORRINTH_DICT_KEYS_UNICODE || k->dk_nentries != n ||
        k->dk_log2_size != orrinth_keys_of(tmpl)->dk_log2_size)
        return 0;
    orrinth_unicode_entry *entries = orrinth_dict_entries(k);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (entries[i].me_key != keys[i] || entries[i].me_value != Py_None) return 0;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        assert(values[i] != NULL);
        entries[i].me_value = Py_NewRef(values[i]);
        Py_DECREF(Py_None);
    }
    return 1;
}

/* Make `dict`, which the caller alone holds and which orrinth_fill_fresh_copy filled from
 * `tmpl`, ready to be filled again: when it is still the template's image in keys, order
 * and table (whatever its values are now) and nothing but
 * the version sits in its version tag (no watcher, no count of watched changes), its
 * values are replaced by None and handed to `old` (new references, for the caller to
 * release once the dict is consistent; it must also give the dict a new version), and 1
 * is returned. Returns 0 (the dict unchanged) otherwise. Layout known. */
static inline int orrinth_take_values_for_refill(PyObject *dict, PyObject *tmpl,
                                                 PyObject *const *keys, PyObject **old,
                                                 Py_ssize_t n) {
    const PyDictObject *d = (const PyDictObject *)dict;
    const orrinth_dict_keys *k = orrinth_keys_of(dict);
    const uint64_t low_bits = ((uint64_t)1 << ORRINTH_DICT_VERSION_LOW_BITS) - 1;
    if (d->ma_values || d->ma_used != n || k->dk_refcnt != 1 ||
        k->dk_kind != ORRINTH_DICT_KEYS_UNICODE || k->dk_nentries != n ||
        k->dk_log2_size != orrinth_keys_of(tmpl)->dk_log2_size ||
        (orrinth_raw_dict_version(dict) & low_bits) != 0)
        return 0;
    orrinth_unicode_entry *entries = orrinth_dict_entries(k);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (entries[i].me_key != keys[i] || entries[i].me_value == NULL) return 0;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        old[i] = entries[i].me_value;
        entries[i].me_value = Py_NewRef(Py_None);
    }
    return 1;
}

/* The thread state's count of C calls still allowed (3.11: of all calls), which native
 * calls count down directly while it is above zero. Layout known. */
static inline int *orrinth_c_recursion_remaining(PyThreadState *ts) {
    return &ts->ORRINTH_C_RECURSION_FIELD;
}

/* How deep json's C scanner may still recurse: the smaller of the Python and C counts. */
static inline int orrinth_json_recursion_room(PyThreadState *ts) {
    const int py = ts->ORRINTH_PY_RECURSION_FIELD, c = ts->ORRINTH_C_RECURSION_FIELD;
    return py < c ? py : c;
}

/* orrinth_fresh_dict_settable(type): whether instances of `type` may be given their dict
 * by orrinth_set_fresh_dict(obj, dict) straight after tp_alloc, with what setting __dict__
 * after tp_new would leave. Both are the version's own, in its header. */

#else /* no layout known: every reader finds nothing */

static inline int orrinth_fresh_dict_settable(PyTypeObject *type) {
    (void)type;
    return 0;
}

static inline void orrinth_set_fresh_dict(PyObject *obj, PyObject *dict) {
    (void)obj;
    (void)dict;
    assert(0 && "orrinth_fresh_dict_settable is false without a known layout");
}

static inline PyObject *orrinth_managed_dict(PyObject *obj) {
    (void)obj;
    return NULL;
}

static inline PyObject *const *orrinth_inline_values(PyObject *obj, Py_ssize_t count) {
    (void)obj;
    (void)count;
    return NULL;
}

static inline int orrinth_json_recursion_room(PyThreadState *ts) {
    (void)ts;
    return 0;
}

#endif /* ORRINTH_LAYOUT_KNOWN */

/* A new set of the keys of `tmpl`, an exact set or frozenset: what set(tmpl) makes. Where
 * set(tmpl) would grow the new set's table to tmpl's size and copy the entries to the same
 * places (tmpl's own table grown, with no dummies in it), the table is copied whole;
 * otherwise set(tmpl) makes it. NULL with an error set on failure. */
static inline PyObject *orrinth_set_copy(PyObject *tmpl) {
#if ORRINTH_LAYOUT_KNOWN
    const PySetObject *t = (const PySetObject *)tmpl;
    Py_ssize_t grown = PySet_MINSIZE; /* the size set_merge grows an empty table to */
    while (grown <= 2 * t->used) grown <<= 1;
    if (PyAnySet_CheckExact(tmpl) && t->table != t->smalltable && t->fill == t->used &&
        t->used * 5 >= (PySet_MINSIZE - 1) * 3 && grown == t->mask + 1) {
        PyObject *set = PySet_New(NULL);
        if (!set) return NULL;
        PySetObject *s = (PySetObject *)set;
        setentry *table = PyMem_New(setentry, grown);
        if (!table) {
            Py_DECREF(set);
            return PyErr_NoMemory();
        }
        assert(s->table == s->smalltable && s->fill == 0);
        memcpy(table, t->table, sizeof(setentry) * (size_t)grown);
        for (Py_ssize_t i = 0; i < grown; i++) Py_XINCREF(table[i].key);
        s->table = table;
        s->mask = grown - 1;
        s->fill = s->used = t->used;
        return set;
    }
#endif
    return PySet_New(tmpl);
}

/* The interpreter's private functions the modules call, on every version (a new version
 * may drop them: check here first). */

/* The attribute `name` found on `type`'s MRO (borrowed), or NULL; runs no Python code. */
static inline PyObject *orrinth_type_lookup(PyTypeObject *type, PyObject *name) {
    return _PyType_Lookup(type, name);
}

/* A new empty dict with room for `n` items. */
static inline PyObject *orrinth_dict_new_presized(Py_ssize_t n) {
    return _PyDict_NewPresized(n);
}

/* The address of `obj`'s instance dict pointer, making the dict from values kept inline
 * (3.11; errors cleared), or NULL. */
static inline PyObject **orrinth_object_dict_ptr(PyObject *obj) {
    return _PyObject_GetDictPtr(obj);
}

/* The offset of the object slot that `descr` sets, when it is a member descriptor of a
 * writable object slot that may be unset (what `__slots__` makes): storing through it is
 * what the descriptor's __set__ does on an object of its class whose slot is still empty.
 * -1 for anything else. */
static inline Py_ssize_t orrinth_object_slot_offset(PyObject *descr) {
    if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type) return -1;
    const PyMemberDef *m = ((PyMemberDescrObject *)descr)->d_member;
#if ORRINTH_API_312
    const int object_ex = Py_T_OBJECT_EX, read_only = Py_READONLY;
#else
    const int object_ex = T_OBJECT_EX, read_only = READONLY;
#endif
    if (!m || m->type != object_ex || (m->flags & read_only) || m->offset <= 0) return -1;
    return m->offset;
}

/* The current thread's state, NULL when it holds none (no check, no error). */
static inline PyThreadState *orrinth_thread_state_unchecked(void) {
#if ORRINTH_API_313
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

#ifdef __cplusplus
}
#endif

#endif
