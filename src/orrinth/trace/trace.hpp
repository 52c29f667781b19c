// src/orrinth/trace/trace.hpp: module state and the function tables of orrinth.trace.
#pragma once

#include <orrinth_native/classes.hpp>
#include <orrinth_native/fastattr.hpp>
#include <orrinth_native/function.hpp>
#include <orrinth_native/module.hpp>
#include <orrinth_native/objects.hpp>
#include <orrinth_native/prefetch.hpp>

#include <functional>

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
    X(CostSummary, "CostSummary")

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

}  // namespace orrinth::trace
