// src/orrinth/adapters/raw/raw.hpp: module state and the function tables of
// orrinth.adapters.raw.
#pragma once

#include <orrinth_native/classes.hpp>
#include <orrinth_native/fastattr.hpp>
#include <orrinth_native/function.hpp>
#include <orrinth_native/objects.hpp>

namespace orrinth::raw {

// Interned names used at call time: X(field, text).
#define ORRINTH_RAW_STRINGS(X)                      \
    X(name_attr, "_name")                           \
    X(handler_attr, "_handler")                     \
    X(initial_state_attr, "_initial_state")         \
    X(state_attr, "_state")                         \
    X(accepts_state_attr, "_accepts_state")         \
    X(check_accepts_state, "_check_accepts_state")  \
    X(sender, "sender")                             \
    X(content, "content")                           \
    X(turn, "turn")                                 \
    X(metadata, "metadata")                         \
    X(get, "get")                                   \
    X(items, "items")                               \
    X(keys, "keys")                                 \
    X(inspect, "inspect")                           \
    X(signature, "signature")                       \
    X(parameters, "parameters")                     \
    X(Response, "Response")                         \
    X(dunder_name, "__name__")                      \
    X(empty, "")

struct RawState {
    PyObject *fn_type;            // this module's native function type
    PyObject *kw_content;         // ("content",): keyword names of a str result's Response
    PyObject *kw_content_meta;    // ("content", "metadata"): the same for a dict result
#define ORRINTH_FIELD(field, text) PyObject *str_##field;
    ORRINTH_RAW_STRINGS(ORRINTH_FIELD)
#undef ORRINTH_FIELD
    // receive()'s reads of an exact RawAgent's own attributes, and of `Response`.
    PyObject *agent_cls;
    PyObject *agent_field_names[3];
    InstanceDictReader agent_fields;  // _accepts_state, _handler, _state
    InstanceAttrCache accepts_state, handler, live_state;
    CachedGlobal response;
};

inline RawState &state(FnObject *fn) { return state_of<RawState>(fn); }

// The members of RawAgent, in class-body order.
extern const FunctionDef init_def;
extern const FunctionDef check_accepts_state_def;
extern const FunctionDef name_def;
extern const FunctionDef receive_def;
extern const FunctionDef setup_def;
extern const FunctionDef get_state_def;

}  // namespace orrinth::raw
