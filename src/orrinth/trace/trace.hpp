// src/orrinth/trace/trace.hpp: module state and the function tables of orrinth.trace.
#pragma once

#include <orrinth_native/classes.hpp>
#include <orrinth_native/fastattr.hpp>
#include <orrinth_native/fixed_keys_dict.hpp>
#include <orrinth_native/function.hpp>
#include <orrinth_native/module.hpp>
#include <orrinth_native/objects.hpp>
#include <orrinth_native/prefetch.hpp>

#include "event_fields.hpp"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

namespace orrinth::trace {

// Interned names used at call time: X(field, text).
#define ORRINTH_TRACE_STRINGS(X)            \
    X(events_attr, "_events")               \
    X(results, "results")                   \
    X(append, "append")                     \
    X(type, "type")                         \
    X(turn, "turn")                         \
    X(agent, "agent")                       \
    X(message, "message")                   \
    X(property_check, "property_check")     \
    X(add_event, "add_event")               \
    X(get_messages, "get_messages")         \
    X(input_tokens, "input_tokens")         \
    X(output_tokens, "output_tokens")       \
    X(cost_usd, "cost_usd")                 \
    X(turns, "turns")                       \
    X(unknown, "__unknown__")               \
    X(total_input_tokens, "total_input_tokens")   \
    X(total_output_tokens, "total_output_tokens") \
    X(total_cost_usd, "total_cost_usd")     \
    X(per_agent, "per_agent")               \
    X(parent, "parent")                     \
    X(mkdir, "mkdir")                       \
    X(parents, "parents")                   \
    X(exist_ok, "exist_ok")                 \
    X(open, "open")                         \
    X(st_mode, "st_mode")                   \
    X(st_uid, "st_uid")                     \
    X(st_gid, "st_gid")                     \
    X(write, "write")                       \
    X(close, "close")                       \
    X(w, "w")                               \
    X(newline, "\n")                        \
    X(model_dump_json, "model_dump_json")   \
    X(model_validate, "model_validate")     \
    X(strip, "strip")                       \
    X(loads, "loads")                       \
    X(json, "json")                         \
    X(Trace, "Trace")                       \
    X(TraceEvent, "TraceEvent")             \
    X(CostSummary, "CostSummary")           \
    X(data, "data")                         \
    X(timestamp, "timestamp")               \
    X(state_change, "state_change")         \
    X(fault_injected, "fault_injected")     \
    X(force_plain, "force_plain")           \
    X(last_counts, "last_counts")           \
    X(buffer, "buffer")                     \
    X(encoding, "encoding")                 \
    X(errors, "errors")                     \
    X(flush, "flush")                       \
    X(name, "name")                         \
    X(fast_calls, "fast_calls")             \
    X(enabled, "enabled")                   \
    X(probe_lines, "PROBE_LINES")           \
    X(same, "same")                         \
    X(builds_events, "builds_events")       \
    X(writes_events, "writes_events")       \
    X(last_native_writes, "last_native_writes") \
    X(probe_events, "probe_events")         \
    X(dunder_dict, "__dict__")              \
    X(pydantic_extra, "__pydantic_extra__") \
    X(pydantic_private, "__pydantic_private__") \
    X(pydantic_fields_set, "__pydantic_fields_set__") \
    X(native_reads, "native_reads")         \
    X(reads_natively, "reads_natively")     \
    X(last_native_reads, "last_native_reads") \
    X(native_probe_lines, "NATIVE_PROBE_LINES") \
    X(raw, "raw")                           \
    X(fileno, "fileno")                     \
    X(default_decoder, "_default_decoder")  \
    X(scan_once, "scan_once")               \
    X(decode, "decode")                     \
    X(raw_decode, "raw_decode")             \
    X(setattr_event_slots, "setattr_event_slots") \
    X(direct_event_slots, "direct_event_slots")

struct TraceState {
    static constexpr const char *kModuleName = "orrinth.trace";
    static constexpr const char *kFunctionType = "orrinth.trace.native_function";
    // pydantic-core, which the records are built on, refuses interpreters with a GIL of
    // their own, so that claim could not be tested here.
    static constexpr bool kOwnGil = false;

    PyObject *fn_type;     // this module's native function type
    PyObject *path_type;   // pathlib.Path as imported (decides atomic saving)
    PyObject *realpath;    // os.path.realpath
    PyObject *stat;        // os.stat
    // The classes as created at import, and Trace's own add_event: the fast paths apply
    // to instances of exactly these classes while they stay as created.
    PyObject *trace_event_cls;
    PyObject *trace_cls;
    PyObject *add_event_fn;
    PyObject *event_field_names[6];  // borrowed from the str_ fields below
    PyObject *trace_field_names[2];
    InstanceDictReader event_fields;  // TraceEvent: type, turn, agent, tokens, cost
    InstanceDictReader trace_fields;  // Trace: _events, add_event
    InstanceAttrCache events_attr;    // Trace._events, as add_event reads it
    // The fast JSON Lines routes (fast_routes.cpp). `from_json` is null while they are off.
    PyObject *routes_module;    // orrinth._jsonl_routes: the switch and the counts
    PyObject *json_module;      // json, and its loads, as bound at import
    PyObject *json_loads;
    // What json.loads decodes with: json._default_decoder, an exact JSONDecoder whose
    // class keeps its version tag and whose scan_once is the C scanner it was made with.
    // Null when the decoder was not in that state at import: lines then read plainly.
    PyObject *json_decoder;
    PyObject *decoder_cls;
    PyObject *decoder_scanner;
    PyObject *decoder_decode;      // JSONDecoder.decode and raw_decode, the functions
    PyObject *decoder_raw_decode;
    unsigned decoder_tag;
    PyObject *from_json;        // pydantic_core.from_json
    PyObject *validate_python;  // TraceEvent's validator's validate_python, bound
    PyObject *to_json;          // TraceEvent's serializer's to_json, bound
    PyObject *textio_type;      // io.TextIOWrapper
    PyObject *codecs_lookup;    // codecs.lookup
    PyObject *empty_tuple;      // the arguments TraceEvent's tp_new is called with
    unsigned event_tag;         // version tags of TraceEvent and its metaclass when checked
    unsigned event_meta_tag;
    bool builds_events;         // whether exact-shape lines are turned into events here
    bool writes_events;         // whether events of plain JSON data are written here
    PyObject *event_field_order[kEventFieldCount];  // TraceEvent's fields in order (borrowed)
    PyObject *all_field_names;       // the same names, as a frozenset
    FixedKeysDict<kEventFieldCount> event_dict;  // an event's __dict__, copied from a table
    // Where an event keeps __pydantic_extra__, __pydantic_fields_set__ and
    // __pydantic_private__ (its class's slots, as TraceEvent's tags were checked), or 0
    // where a slot is not a plain object slot: those are set through setattr.
    Py_ssize_t event_slot_offsets[3];
    // Whether a new event is made by tp_alloc and given its dict directly (as the slots,
    // under the same tags), not by tp_new and setting __dict__.
    bool event_fresh_dict;
    // The native reader (line_reader.cpp, event_parser.cpp).
    bool reads_natively;        // whether lines of the exact shape are parsed here
    PyObject *json_constants;   // the dict json.loads takes NaN and the infinities from
    PyObject *bufreader_type;   // io.BufferedReader, io.FileIO
    PyObject *fileio_type;
    PyObject *path_open;        // pathlib.Path.open, as the class holds it
    ORRINTH_INTERNED_NAMES(ORRINTH_TRACE_STRINGS)

    /// The module body (module.cpp): imports, the classes, the fast readers.
    void exec(PyObject *module);

    /// The references the body stores (ModuleDefinition adds fn_type and the names).
    template <class F>
    void for_each_ref(F &&f) {
        f(path_type);
        f(realpath);
        f(stat);
        f(trace_event_cls);
        f(trace_cls);
        f(add_event_fn);
        f(event_dict.template_ref());
        f(event_dict.spare_ref());  // never filled: events' dicts are not handed back
        for (PyObject **ref : {&routes_module, &json_module, &json_loads, &json_decoder, &decoder_cls, &decoder_scanner, &decoder_decode,
                               &decoder_raw_decode, &from_json,
                               &validate_python, &to_json, &textio_type, &codecs_lookup,
                               &empty_tuple, &all_field_names, &json_constants, &bufreader_type, &fileio_type,
                               &path_open})
            f(*ref);
    }

    /// The readers only compare against the classes and names; made inapplicable here,
    /// they never look at a class or name that clearing has dropped.
    void forget_borrowed() {
        event_fields.init(nullptr, nullptr, 0);
        trace_fields.init(nullptr, nullptr, 0);
    }
};

inline TraceState &state(FnObject *fn) { return state_of<TraceState>(fn); }

/// `trace.add_event(event)`. For a trace of exactly the class Trace (with add_event its
/// own, nothing shadowing it, `_events` an exact list in the instance dict) this is
/// `trace._events.append(event)`, done directly; otherwise the method is called.
void add_event_to(TraceState &st, PyObject *trace, PyObject *event);

/// The list that add_event_to() would append to directly, or an empty Ref when the
/// method has to be called. Valid only until Python code runs (reentrancy.hpp).
Ref direct_events_list(TraceState &st, PyObject *trace);

/// `trace._events`.
inline Ref events_of(TraceState &st, PyObject *trace) { return getattr(trace, st.str_events_attr); }

/// Close `file` after a failure, keeping the failure. With `report_close_error`, an
/// error from close() is raised instead, with the failure as its context (what a
/// `finally:` block that fails does); without it, close()'s error is dropped.
inline void close_after_failure(TraceState &st, PyObject *file, bool report_close_error) {
    SavedError saved;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(file, st.str_close));
    saved.restore(report_close_error);
}

/// Save to `path` when it is a pathlib.Path whose final target is missing or a regular
/// file: `write(file)` fills a text file object (opened as open(path, "w") would be),
/// which atomic_save.cpp turns into the target safely: through a temporary file that
/// replaces it, or, where that cannot be, by rewriting it in place only after every line
/// is produced. Returns false for any other path (the caller then writes through the
/// path's own `open`); throws on a failed save, leaving the target as it was.
bool save_replacing_atomically(TraceState &st, PyObject *path,
                               const std::function<void(PyObject *file)> &write);

/// Check and set up the fast routes of the trace file, once TraceEvent exists. They stay
/// off when the probe finds any difference from the plain routes.
void init_fast_routes(TraceState &st);

/// Whether to_jsonl or from_jsonl starting now may take the fast route at all.
bool fast_routes_on(TraceState &st);

/// Whether the line `text` may be read by the fast route: TraceEvent, json and json.loads
/// are still what they were at import, and json.loads cannot hit a limit on it that the
/// fast parser does not share (recursion depth, digits of an integer).
bool line_reads_fast(FnObject *fn, TraceState &st, PyObject *text);

/// The event that `TraceEvent.model_validate(json.loads(text))` gives, by the fast route;
/// an empty Ref when the line has to take the plain route instead (whose result or
/// exception is then the one to give).
Ref read_event_fast(TraceState &st, PyObject *text);

/// Whether `event.model_dump_json()` is exactly `TraceEvent`'s serializer's `to_json(event)`
/// decoded, with nothing that pydantic would warn about. When it is, `fields` holds the
/// values of the eight fields in declaration order (borrowed from the event's dict: valid
/// until Python code runs).
bool serializes_directly(TraceState &st, PyObject *event, PyObject *fields[8]);

/// Bytes appended at the end, with the appends inlined (the lines of a save are built in one
/// of these, a few bytes at a time).
class ByteBuffer {
  public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;
    ~ByteBuffer() { std::free(data_); }

    const char *data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }
    /// Drop what was appended after the first `n` bytes.
    void truncate(size_t n) { size_ = n < size_ ? n : size_; }

    void push_back(char c) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = c;
    }
    void append(const char *p, size_t n) {
        if (capacity_ - size_ < n) grow(n);
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void append(size_t n, char c) {
        if (capacity_ - size_ < n) grow(n);
        std::memset(data_ + size_, c, n);
        size_ += n;
    }

  private:
    void grow(size_t n) {
        size_t capacity = capacity_ ? capacity_ * 2 : 4096;
        while (capacity - size_ < n) capacity *= 2;
        char *p = static_cast<char *>(std::realloc(data_, capacity));
        if (!p) throw std::bad_alloc();
        data_ = p;
        capacity_ = capacity;
    }

    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

/// Append to `out` what TraceEvent's serializer gives for an event that serializes
/// directly, whose field values are `fields`, when every value in it is plain JSON data
/// (json_writer.cpp says which). False otherwise, with `out` extended by an unfinished
/// part that the caller drops. Runs no Python code.
bool write_event_json(PyObject *const fields[kEventFieldCount], ByteBuffer &out);

/// Whether text written to `file`, a file that a save opened itself, can go to its binary
/// buffer as UTF-8 bytes instead.
bool takes_utf8_bytes(TraceState &st, PyObject *file);

/// Record how many lines or events the call just finished handled on each route; for a
/// save, also how many of the fast ones were written here (`native`, -1 for a read).
void publish_route_counts(TraceState &st, Py_ssize_t fast, Py_ssize_t plain,
                          Py_ssize_t native = -1);

// The members of Trace, in class-body order.
extern const FunctionDef init_def;
extern const FunctionDef add_event_def;
extern const FunctionDef events_def;
extern const FunctionDef get_messages_def;
extern const FunctionDef get_events_for_agent_def;
extern const FunctionDef cost_summary_def;
extern const FunctionDef snapshot_def;
extern const FunctionDef to_jsonl_def;
extern const FunctionDef from_jsonl_def;

// orrinth._jsonl_routes.read_lines: from_jsonl's reading of the lines of an open file.
extern const FunctionDef read_lines_def;

}  // namespace orrinth::trace
