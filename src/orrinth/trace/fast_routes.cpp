// src/orrinth/trace/fast_routes.cpp: when the trace file may be read and written without
// pydantic's Python-level wrappers. Reading a line is `TraceEvent.model_validate(
// json.loads(line))`; the fast route parses with pydantic-core's parser and validates with
// the class's validator directly. Writing an event is `event.model_dump_json()`; the fast
// route calls the class's serializer directly. Each applies only while nothing can tell
// the difference: orrinth._jsonl_routes checks the installed pydantic and probes both
// routes once per process, and the guards below hold per line and per event.
#include "trace.hpp"
#include "native_reader.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace orrinth::trace {
namespace {

/// int() refuses no integer literal of up to this many digits, whatever
/// sys.set_int_max_str_digits() was given (the smallest limit it accepts is 640).
constexpr Py_ssize_t kDigitsNeverRefused = 640;

/// Recursion levels kept in reserve for the frames of json.loads and model_validate
/// around the parser's own nesting.
constexpr int kFrameReserve = 50;

/// Recursion levels the current thread has left before RecursionError. A Python version
/// this code does not know gets 0: its lines take the plain route.
int recursion_room() {
    return orrinth_json_recursion_room(PyThreadState_Get());
}

/// No run of more than kDigitsNeverRefused digits, and fewer than `room` opening
/// brackets (an upper bound of the nesting, strings included).
template <class Ch>
bool within_limits(const Ch *s, Py_ssize_t n, Py_ssize_t room) {
    Py_ssize_t run = 0, opens = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        const Ch c = s[i];
        if (c >= '0' && c <= '9') {
            if (++run > kDigitsNeverRefused) return false;
            continue;
        }
        run = 0;
        if ((c == '[' || c == '{') && ++opens >= room) return false;
    }
    return true;
}

bool field_value_fits(TraceState &st, int index, PyObject *v) {
    switch (kEventFields[index].kind) {
    case FieldKind::event_kind:
        if (!PyUnicode_CheckExact(v)) return false;
        for (PyObject *kind : {st.str_message, st.str_state_change, st.str_fault_injected,
                               st.str_property_check})
            if (exact_str_equal(v, kind)) return true;
        return false;
    case FieldKind::integer:
        return PyLong_CheckExact(v);
    case FieldKind::optional_str:
        return v == Py_None || PyUnicode_CheckExact(v);
    case FieldKind::dict:
        return PyDict_CheckExact(v);
    case FieldKind::real:
        return PyFloat_CheckExact(v);
    }
    return false;
}

/// Leave `dict` tracked by the collector only if a value in it may need it, as the
/// validator's copy of a data dict is (built from the final values; the parsed dict stays
/// tracked where a duplicate key overwrote a container).
void track_as_copied(PyObject *dict) {
    if (!PyObject_GC_IsTracked(dict)) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (gc_tracks_dict_of(key) || gc_tracks_dict_of(value)) return;
    PyObject_GC_UnTrack(dict);
}

/// A new value for a field the line does not give (not for required fields).
Ref default_value(FieldDefault d) {
    switch (d) {
    case FieldDefault::none: return Ref::new_ref(Py_None);
    case FieldDefault::new_dict: return require(PyDict_New());
    case FieldDefault::zero_float: return require(PyFloat_FromDouble(0.0));
    case FieldDefault::zero_int:
    case FieldDefault::required: break;
    }
    assert(d == FieldDefault::zero_int);
    return require(PyLong_FromLong(0));
}

bool event_class_unchanged(TraceState &st) {
    auto *cls = reinterpret_cast<PyTypeObject *>(st.trace_event_cls);
    return st.from_json && cls && cls->tp_version_tag == st.event_tag &&
           Py_TYPE(cls)->tp_version_tag == st.event_meta_tag;
}

/// `dict[key]`, or none when missing.
Borrowed dict_item(PyObject *dict, PyObject *key) {
    PyObject *v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) throw PyErrSet{};
    return Borrowed(v);
}

/// The position of the field named `key` in TraceEvent's declaration order, or -1.
int field_index(TraceState &st, PyObject *key) {
    if (!PyUnicode_CheckExact(key)) return -1;
    for (int i = 0; i < kEventFieldCount; i++)
        if (exact_str_equal(key, st.event_field_order[i])) return i;
    return -1;
}

/// What TraceEvent's validator makes of `parsed` when it is a dict of the common exact
/// shape (event_from_fields() says which): an empty Ref for any other shape.
Ref build_exact_event(TraceState &st, PyObject *parsed) {
    if (!PyDict_CheckExact(parsed) || PyDict_GET_SIZE(parsed) > kEventFieldCount) return Ref();
    PyObject *given[kEventFieldCount] = {};  // borrowed from `parsed`, which the caller holds
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(parsed, &pos, &key, &value)) {
        const int i = field_index(st, key);
        if (i < 0 || given[i]) return Ref();
        given[i] = value;
    }
    return event_from_fields(st, given);
}

/// Whether build_exact_event() gives what the validator gives on every probe line of
/// the exact shape (and there is at least one).
bool building_agrees(TraceState &st, PyObject *routes) {
    Ref lines = getattr(routes, st.str_probe_lines);
    Ref same = getattr(routes, st.str_same);
    int compared = 0;
    bool agrees = true;
    for_each(lines.get(), [&](PyObject *line) {
        if (!agrees) return;
        auto parse = [&] { return require(PyObject_Vectorcall(st.from_json, &line, 1, nullptr)); };
        Ref mine = build_exact_event(st, parse().get());
        if (!mine) return;
        Ref parsed = parse();
        PyObject *arg = parsed.get();
        Ref theirs = require(PyObject_Vectorcall(st.validate_python, &arg, 1, nullptr));
        Ref verdict = require(PyObject_CallFunctionObjArgs(same.get(), mine.get(), theirs.get(),
                                                           nullptr));
        agrees = verdict.get() == Py_True;
        compared++;
    });
    return agrees && compared > 0;
}

/// Whether write_event_json() writes every probe event of orrinth._jsonl_routes (events
/// of plain JSON data, floats and strings of every form the format distinguishes) and
/// gives exactly the serializer's bytes for each.
bool writing_agrees(TraceState &st, PyObject *routes) {
    Ref events = call_method(routes, st.str_probe_events, st.trace_event_cls);
    int compared = 0;
    bool agrees = true;
    for_each(events.get(), [&](PyObject *event) {
        PyObject *fields[8];
        ByteBuffer mine;
        if (!agrees || !serializes_directly(st, event, fields) || !write_event_json(fields, mine)) {
            agrees = false;
            return;
        }
        Ref theirs = require(PyObject_Vectorcall(st.to_json, &event, 1, nullptr));
        agrees = PyBytes_CheckExact(theirs.get()) &&
                 static_cast<size_t>(PyBytes_GET_SIZE(theirs.get())) == mine.size() &&
                 std::memcmp(PyBytes_AS_STRING(theirs.get()), mine.data(), mine.size()) == 0;
        compared++;
    });
    return agrees && compared > 0;
}

/// Run `probe`; any error in it, a Python exception or any C++ one (the float formatter's
/// std::runtime_error, std::bad_alloc), counts as a disagreement: the route stays off and
/// the import goes on. A forced unwind passes through (thread_exit.hpp).
template <class F>
bool probe_agrees(F &&probe) {
    try {
        return probe();
    } catch (...) {
        if (in_forced_unwind()) throw;
        PyErr_Clear();
        return false;
    }
}

/// Whether json.loads(text) still decodes as it did at import: the same default decoder,
/// its class unchanged (no decode or raw_decode replaced on it), and neither those nor
/// its scanner shadowed or replaced on the instance.
bool decoder_unchanged(TraceState &st) {
    PyObject *decoder = st.json_decoder;
    if (!decoder || !PyModule_CheckExact(st.json_module)) return false;
    if (dict_item(PyModule_GetDict(st.json_module), st.str_default_decoder) != decoder) return false;
    auto *cls = reinterpret_cast<PyTypeObject *>(st.decoder_cls);
    if (Py_TYPE(decoder) != cls) return false;
    if (cls->tp_version_tag != st.decoder_tag) {
        // Something on the class was set (a patch, perhaps undone since): it is as it
        // was if decode and raw_decode are the very functions, nothing named scan_once
        // can take the instance's place, and attribute lookup is the generic one.
        if (orrinth_type_lookup(cls, st.str_decode) != st.decoder_decode ||
            orrinth_type_lookup(cls, st.str_raw_decode) != st.decoder_raw_decode ||
            orrinth_type_lookup(cls, st.str_scan_once) || cls->tp_getattro != PyObject_GenericGetAttr ||
            cls->tp_version_tag == 0)
            return false;
        st.decoder_tag = cls->tp_version_tag;
    }
    Ref own = Ref::steal(PyObject_GenericGetDict(decoder, nullptr));
    if (!own) throw PyErrSet{};
    return PyDict_CheckExact(own.get()) && dict_item(own.get(), st.str_scan_once) == st.decoder_scanner &&
           !dict_item(own.get(), st.str_decode) && !dict_item(own.get(), st.str_raw_decode);
}

/// The decoder json.loads calls, as it is now: kept only when it is the standard one
/// (an exact json.JSONDecoder with the C scanner and nothing of its own shadowing the
/// class's decode and raw_decode), which is what the probes compare the fast route with.
void init_decoder_check(TraceState &st, PyObject *json) {
    Ref decoder = getattr(json, st.str_default_decoder);
    Ref cls = import_from(import_module("json.decoder").get(), "JSONDecoder");
    Ref c_scanner = import_from(import_module("json.scanner").get(), "c_make_scanner");
    Ref scanner = getattr(decoder.get(), st.str_scan_once);
    getattr(cls.get(), st.str_decode);  // a lookup gives the class a valid version tag
    const unsigned tag = reinterpret_cast<PyTypeObject *>(cls.get())->tp_version_tag;
    if (tag == 0 || Py_TYPE(decoder.get()) != reinterpret_cast<PyTypeObject *>(cls.get()) ||
        !PyType_Check(c_scanner.get()) ||
        Py_TYPE(scanner.get()) != reinterpret_cast<PyTypeObject *>(c_scanner.get()))
        return;
    st.json_decoder = decoder.release();
    st.decoder_cls = cls.release();
    st.decoder_scanner = scanner.release();
    st.decoder_tag = tag;
    st.decoder_decode = Py_XNewRef(orrinth_type_lookup(reinterpret_cast<PyTypeObject *>(st.decoder_cls), st.str_decode));
    st.decoder_raw_decode =
        Py_XNewRef(orrinth_type_lookup(reinterpret_cast<PyTypeObject *>(st.decoder_cls), st.str_raw_decode));
    if (!st.decoder_decode || !st.decoder_raw_decode ||
        reinterpret_cast<PyTypeObject *>(st.decoder_cls)->tp_getattro != PyObject_GenericGetAttr)
        Py_CLEAR(st.json_decoder);
    if (!decoder_unchanged(st)) Py_CLEAR(st.json_decoder);
}

/// Whether setting `__dict__` on an instance of `cls` runs the setter that the instances
/// of a plain class have.
bool sets_dict_plainly(TraceState &st, PyTypeObject *cls) {
    auto setter_of = [&](PyTypeObject *type) -> setter {
        PyObject *descr = orrinth_type_lookup(type, st.str_dunder_dict);
        if (!descr || Py_TYPE(descr) != &PyGetSetDescr_Type) return nullptr;
        return reinterpret_cast<PyGetSetDescrObject *>(descr)->d_getset->set;
    };
    Ref plain = require(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()N", "plain",
                                              PyDict_New()));
    const setter mine = setter_of(cls);
    return mine && mine == setter_of(reinterpret_cast<PyTypeObject *>(plain.get()));
}

/// The object slots that the validator sets on a new event, as TraceEvent's class holds
/// their descriptors now; the dict an event's fields go in, copied from a table.
void find_event_slots(TraceState &st, PyObject *routes) {
    auto *cls = reinterpret_cast<PyTypeObject *>(st.trace_event_cls);
    PyObject *const names[3] = {st.str_pydantic_extra, st.str_pydantic_fields_set,
                                st.str_pydantic_private};
    const bool direct = !truth(getattr(routes, st.str_setattr_event_slots).get());
    bool all_direct = direct;
    for (int i = 0; i < 3; i++) {
        PyObject *descr = orrinth_type_lookup(cls, names[i]);
        const Py_ssize_t offset = orrinth_object_slot_offset(descr);
        // The slot must be one of the object's own (inside its basic size, which
        // tp_new zeroes), and its descriptor's class one of the event's bases.
        const bool ok = offset > 0 && static_cast<size_t>(offset) + sizeof(PyObject *) <=
                                          static_cast<size_t>(cls->tp_basicsize) &&
                        PyType_IsSubtype(cls, PyDescr_TYPE(descr));
        st.event_slot_offsets[i] = direct && ok ? offset : 0;
        all_direct = all_direct && st.event_slot_offsets[i] != 0;
    }
    // The dict too, where a new event is what tp_alloc makes (object.__new__ adds only
    // the values kept inline, which setting __dict__ makes into a dict and drops) and
    // __dict__ is set by the descriptor every class with an instance dict has.
    st.event_fresh_dict = direct && cls->tp_new == PyBaseObject_Type.tp_new &&
                          cls->tp_alloc == PyType_GenericAlloc &&
                          !(cls->tp_flags & Py_TPFLAGS_IS_ABSTRACT) && orrinth_fresh_dict_settable(cls) &&
                          sets_dict_plainly(st, cls);
    all_direct = all_direct && st.event_fresh_dict;
    require(PyObject_SetAttr(routes, st.str_direct_event_slots, all_direct ? Py_True : Py_False));
    new (&st.event_dict) FixedKeysDict<kEventFieldCount>();
    st.event_dict.init(st.event_field_order, true);
}

}  // namespace

Ref event_from_fields(TraceState &st, PyObject *const given[kEventFieldCount]) {
    for (int i = 0; i < kEventFieldCount; i++) {
        if (given[i] ? !field_value_fits(st, i, given[i])
                     : kEventFields[i].default_value == FieldDefault::required)
            return Ref();
    }
    const bool all_given =
        std::all_of(given, given + kEventFieldCount, [](PyObject *v) { return v != nullptr; });
    // Every field given (what saves hold): the set is a copy of all the names, made at once.
    Ref fields_set = require(all_given ? orrinth_set_copy(st.all_field_names) : PySet_New(nullptr));
    Ref values[kEventFieldCount];
    for (int i = 0; i < kEventFieldCount; i++) {
        if (given[i]) {
            values[i] = Ref::new_ref(given[i]);
            if (kEventFields[i].kind == FieldKind::dict) track_as_copied(given[i]);
            if (!all_given) require(PySet_Add(fields_set.get(), st.event_field_order[i]));
        } else {
            values[i] = default_value(kEventFields[i].default_value);
        }
    }
    // The dict the validator fills by inserting the fields in order, which gives the
    // template's keys, order and table.
    Ref fields = st.event_dict.make(values);
    auto *cls = reinterpret_cast<PyTypeObject *>(st.trace_event_cls);
    Ref event;
    if (st.event_fresh_dict) {
        event = require(cls->tp_alloc(cls, 0));
        orrinth_set_fresh_dict(event.get(), fields.release());
    } else {
        event = require(cls->tp_new(cls, st.empty_tuple, nullptr));
        require(PyObject_GenericSetAttr(event.get(), st.str_dunder_dict, fields.get()));
    }
    PyObject *const names[3] = {st.str_pydantic_extra, st.str_pydantic_fields_set,
                                st.str_pydantic_private};
    PyObject *const slot_values[3] = {Py_None, fields_set.get(), Py_None};
    for (int i = 0; i < 3; i++) {
        // The class's tags are as when the offsets were found (the callers check them),
        // so its slot descriptors are those, and the new event's slots are empty.
        if (const Py_ssize_t offset = st.event_slot_offsets[i]) {
            PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(event.get()) + offset);
            assert(*slot == nullptr);
            *slot = Py_NewRef(slot_values[i]);
        } else {
            require(PyObject_GenericSetAttr(event.get(), names[i], slot_values[i]));
        }
    }
    return event;
}

Py_ssize_t nesting_room() { return recursion_room() - kFrameReserve; }

void init_fast_routes(TraceState &st) {
    Ref routes = import_module("orrinth._jsonl_routes");
    st.routes_module = routes.dup().release();
    st.textio_type = import_from(import_module("io").get(), "TextIOWrapper").release();
    st.codecs_lookup = import_from(import_module("codecs").get(), "lookup").release();
#define ORRINTH_FIELD_NAME(name, annotation, kind, dflt) st.event_field_order[kField_##name] = st.str_##name;
    ORRINTH_TRACE_EVENT_FIELDS(ORRINTH_FIELD_NAME)
#undef ORRINTH_FIELD_NAME
    Ref names = require(PyTuple_New(kEventFieldCount));
    for (int i = 0; i < kEventFieldCount; i++)
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(st.event_field_order[i]));
    st.all_field_names = require(PyFrozenSet_New(names.get())).release();
    st.empty_tuple = require(PyTuple_New(0)).release();
    Ref json = import_module("json");
    st.json_module = json.dup().release();
    st.json_loads = getattr(json.get(), st.str_loads).release();
    init_decoder_check(st, json.get());

    Ref calls = call_method(routes.get(), st.str_fast_calls, st.trace_event_cls);
    bool on = PyTuple_CheckExact(calls.get()) && PyTuple_GET_SIZE(calls.get()) == 3;
    if (on) {
        // A lookup on the class gives it and its metaclass valid version tags.
        getattr(st.trace_event_cls, st.str_model_validate);
        auto *cls = reinterpret_cast<PyTypeObject *>(st.trace_event_cls);
        st.event_tag = cls->tp_version_tag;
        st.event_meta_tag = Py_TYPE(cls)->tp_version_tag;
        find_event_slots(st, routes.get());
        on = st.event_tag != 0 && st.event_meta_tag != 0;
    }
    if (on) {
        st.from_json = Py_NewRef(PyTuple_GET_ITEM(calls.get(), 0));
        st.validate_python = Py_NewRef(PyTuple_GET_ITEM(calls.get(), 1));
        st.to_json = Py_NewRef(PyTuple_GET_ITEM(calls.get(), 2));
        st.builds_events = probe_agrees([&] { return building_agrees(st, routes.get()); });
        st.reads_natively = st.builds_events && probe_agrees([&] {
            return init_native_reader(st) && parsing_agrees(st, routes.get());
        });
        st.writes_events = probe_agrees([&] { return writing_agrees(st, routes.get()); });
        if (!st.writes_events) {
            // The serializer no longer writes what this module knows of it: the installed
            // pydantic is not the one checked, whatever its version says.
            Py_CLEAR(st.from_json);
            Py_CLEAR(st.validate_python);
            Py_CLEAR(st.to_json);
            on = st.builds_events = st.reads_natively = false;
        }
    }
    require(PyObject_SetAttr(routes.get(), st.str_enabled, on ? Py_True : Py_False));
    require(PyObject_SetAttr(routes.get(), st.str_builds_events,
                             on && st.builds_events ? Py_True : Py_False));
    require(PyObject_SetAttr(routes.get(), st.str_reads_natively,
                             on && st.reads_natively ? Py_True : Py_False));
    require(PyObject_SetAttr(routes.get(), st.str_writes_events,
                             on && st.writes_events ? Py_True : Py_False));
}

bool fast_routes_on(TraceState &st) {
    if (!st.from_json || !PyModule_CheckExact(st.routes_module)) return false;
    PyObject *dict = PyModule_GetDict(st.routes_module);
    return dict && dict_item(dict, st.str_force_plain) == Py_False;
}

bool line_calls_unchanged(FnObject *fn, TraceState &st) {
    if (!event_class_unchanged(st)) return false;
    PyObject *json = dict_item(fn->globals, st.str_json).get();
    if (json != st.json_module || !PyModule_CheckExact(json)) return false;
    if (dict_item(PyModule_GetDict(json), st.str_loads) != st.json_loads) return false;
    if (!decoder_unchanged(st)) return false;
    return dict_item(fn->globals, st.str_TraceEvent) == st.trace_event_cls;
}

bool LineCallsMemo::unchanged(FnObject *fn, TraceState &st) {
    if (valid_ && still(fn, st)) return true;
    valid_ = false;
    if (!line_calls_unchanged(fn, st)) return false;
    record(fn, st);
    return true;
}

#if ORRINTH_DICT_VERSION_KNOWN
namespace {
/// The decoder's own dict, borrowed, or null.
PyObject *decoder_dict(TraceState &st) {
    PyObject **slot = orrinth_object_dict_ptr(st.json_decoder);
    return slot && *slot && PyDict_CheckExact(*slot) ? *slot : nullptr;
}
}  // namespace
#endif

bool LineCallsMemo::still(FnObject *fn, TraceState &st) const {
#if ORRINTH_DICT_VERSION_KNOWN
    // What no dict version shows: the classes (their tags), the decoder's class and the
    // json module's (both can be assigned), and which dict the decoder has.
    if (!event_class_unchanged(st) || !st.json_decoder || !PyModule_CheckExact(st.json_module) ||
        Py_TYPE(st.json_decoder) != reinterpret_cast<PyTypeObject *>(st.decoder_cls) ||
        reinterpret_cast<PyTypeObject *>(st.decoder_cls)->tp_version_tag != st.decoder_tag)
        return false;
    PyObject *own = decoder_dict(st);
    return own == decoder_dict_ && decoder_still(st, own) &&
           orrinth_dict_version(fn->globals) == globals_version_ &&
           orrinth_dict_version(PyModule_GetDict(st.json_module)) == json_version_;
#else
    (void)fn, (void)st;
    return false;
#endif
}

bool LineCallsMemo::decoder_still(TraceState &st, PyObject *own) const {
#if ORRINTH_DICT_VERSION_KNOWN
    if (decoder_version_ != 0) return orrinth_dict_version(own) == decoder_version_;
    // The same split table (its keys are only ever appended to), the same number of keys,
    // so still none named decode or raw_decode; scan_once's value read at its entry.
    const orrinth_str_table t = orrinth_dict_str_table(own);
    return t.entries && t.values && orrinth_keys_of(own) == decoder_keys_ &&
           orrinth_keys_of(own)->dk_nentries == decoder_entries_ && scan_entry_ < t.count &&
           orrinth_str_table_get(t, scan_entry_, st.str_scan_once) == st.decoder_scanner;
#else
    (void)st, (void)own;
    return false;
#endif
}

void LineCallsMemo::record(FnObject *fn, TraceState &st) {
#if ORRINTH_DICT_VERSION_KNOWN
    decoder_dict_ = decoder_dict(st);
    if (!decoder_dict_ || !PyDict_CheckExact(fn->globals)) return;
    decoder_version_ = orrinth_dict_version(decoder_dict_);
    globals_version_ = orrinth_dict_version(fn->globals);
    json_version_ = orrinth_dict_version(PyModule_GetDict(st.json_module));
    valid_ = (decoder_version_ != 0 || record_split_decoder(st, decoder_dict_)) &&
             globals_version_ != 0 && json_version_ != 0;
#else
    (void)fn, (void)st;
#endif
}

bool LineCallsMemo::record_split_decoder(TraceState &st, PyObject *own) {
#if ORRINTH_DICT_VERSION_KNOWN
    const orrinth_str_table t = orrinth_dict_str_table(own);
    if (!t.entries || !t.values || t.count != orrinth_keys_of(own)->dk_nentries) return false;
    scan_entry_ = -1;
    for (Py_ssize_t i = 0; i < t.count; i++) {
        PyObject *key = orrinth_str_table_key(t, i);
        if (!key || !PyUnicode_CheckExact(key)) return false;
        if (key == st.str_scan_once) scan_entry_ = i;
        // Compared by value: an entry made through the dict itself need not be interned.
        else if (PyUnicode_Compare(key, st.str_decode) == 0 || PyUnicode_Compare(key, st.str_raw_decode) == 0 ||
                 PyUnicode_Compare(key, st.str_scan_once) == 0)
            return false;
    }
    if (scan_entry_ < 0 || orrinth_str_table_get(t, scan_entry_, st.str_scan_once) != st.decoder_scanner)
        return false;
    decoder_keys_ = orrinth_keys_of(own);
    decoder_entries_ = t.count;
    return true;
#else
    (void)st, (void)own;
    return false;
#endif
}

bool line_reads_fast(FnObject *fn, TraceState &st, PyObject *text) {
    if (!PyUnicode_CheckExact(text) || !line_calls_unchanged(fn, st)) return false;

    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t room = nesting_room();
    if (room <= 0) return false;
    if (n <= kDigitsNeverRefused && n < room) return true;  // neither limit can be reached
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return within_limits(static_cast<const Py_UCS1 *>(data), n, room);
    case PyUnicode_2BYTE_KIND: return within_limits(static_cast<const Py_UCS2 *>(data), n, room);
    default: return within_limits(static_cast<const Py_UCS4 *>(data), n, room);
    }
}

Ref read_event_fast(TraceState &st, PyObject *text) {
    Ref value = Ref::steal(PyObject_Vectorcall(st.from_json, &text, 1, nullptr));
    if (value) {
        PyObject *arg = value.get();
        Ref event;
        if (st.builds_events) {
            try {
                event = build_exact_event(st, arg);
            } catch (const PyErrSet &) {
            }
        }
        if (!event && !PyErr_Occurred())
            event = Ref::steal(PyObject_Vectorcall(st.validate_python, &arg, 1, nullptr));
        if (event) return event;
    }
    // Whatever went wrong, the plain route decides what the line gives. Only what is
    // not an error of the line itself (KeyboardInterrupt, SystemExit) goes on as it is.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
    PyErr_Clear();
    return Ref();
}

bool serializes_directly(TraceState &st, PyObject *event, PyObject *fields[kEventFieldCount]) {
    if (Py_TYPE(event) != reinterpret_cast<PyTypeObject *>(st.trace_event_cls) ||
        !event_class_unchanged(st))
        return false;
    // Exactly the fields, in order, each of the type validation gives it: nothing
    // in the instance dict shadows the class's serializer or model_dump_json, and no
    // field holds a value that the serializer would warn about.
    Ref dict = Ref::steal(PyObject_GenericGetDict(event, nullptr));
    if (!dict) throw PyErrSet{};
    if (!PyDict_CheckExact(dict.get()) || PyDict_GET_SIZE(dict.get()) != kEventFieldCount) return false;
    PyObject *const *names = st.event_field_order;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (int i = 0; PyDict_Next(dict.get(), &pos, &key, &value); i++) {
        if (!PyUnicode_CheckExact(key) || !exact_str_equal(key, names[i]) ||
            !field_value_fits(st, i, value))
            return false;
        fields[i] = value;
    }
    return true;
}

bool takes_utf8_bytes(TraceState &st, PyObject *file) {
    if (Py_TYPE(file) != reinterpret_cast<PyTypeObject *>(st.textio_type)) return false;
    Ref errors = getattr(file, st.str_errors);
    if (!PyUnicode_Check(errors.get()) || PyUnicode_CompareWithASCIIString(errors.get(), "strict"))
        return false;
    Ref encoding = getattr(file, st.str_encoding);
    Ref codec = require(PyObject_CallOneArg(st.codecs_lookup, encoding.get()));
    Ref name = getattr(codec.get(), st.str_name);
    return PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "utf-8") == 0;
}

void publish_route_counts(TraceState &st, Py_ssize_t fast, Py_ssize_t plain, Py_ssize_t native) {
    Ref counts = require(Py_BuildValue("(nn)", fast, plain));
    require(PyObject_SetAttr(st.routes_module, st.str_last_counts, counts.get()));
    if (native >= 0) {
        Ref n = require(PyLong_FromSsize_t(native));
        require(PyObject_SetAttr(st.routes_module, st.str_last_native_writes, n.get()));
    }
}

}  // namespace orrinth::trace
