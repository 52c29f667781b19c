// src/orrinth/adapters/raw/raw.hpp: module state and the function tables of
// orrinth.adapters.raw.
#pragma once

#include <orrinth_native/class_call.hpp>
#include <orrinth_native/classes.hpp>
#include <orrinth_native/fastattr.hpp>
#include <orrinth_native/fixed_keys_dict.hpp>
#include <orrinth_native/function.hpp>
#include <orrinth_native/inline_attrs.hpp>
#include <orrinth_native/module.hpp>
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
    static constexpr const char *kModuleName = "orrinth.adapters.raw";
    static constexpr const char *kFunctionType = "orrinth.adapters.raw.native_function";
    // Everything the module keeps lives in its own state and types, and all it imports is
    // pure Python: it may load in an interpreter with a GIL of its own.
    static constexpr bool kOwnGil = true;

    PyObject *fn_type;            // this module's native function type
    PyObject *kw_content;         // ("content",): keyword names of a str result's Response
    PyObject *kw_content_meta;    // ("content", "metadata"): the same for a dict result
    ORRINTH_INTERNED_NAMES(ORRINTH_RAW_STRINGS)
    // receive()'s reads of an exact RawAgent's own attributes, and of `Response`.
    PyObject *agent_cls;
    PyObject *agent_field_names[3];
    InstanceDictReader agent_fields;  // _accepts_state, _handler, _state
    InstanceAttrCache accepts_state, handler, live_state;
    CachedGlobal response;
    ClassCall make_response;             // Response(content=...), Response(content=..., metadata=...)
    InlineAttrReader<3> message_fields;  // a message's sender, content and turn
    FixedKeysDict<3> message_dict;       // {"sender": ..., "content": ..., "turn": ...}

    /// The module body (module.cpp): imports and the RawAgent class.
    void exec(PyObject *module);

    /// The references the body stores (ModuleDefinition adds fn_type and the names).
    template <class F>
    void for_each_ref(F &&f) {
        f(kw_content);
        f(kw_content_meta);
        f(message_dict.template_ref());
        f(message_dict.spare_ref());
        f(agent_cls);
    }

    /// The reader only compares against the class; made inapplicable here, it never
    /// looks at a class that clearing has dropped.
    void forget_borrowed() { agent_fields.init(nullptr, nullptr, 0); }
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
