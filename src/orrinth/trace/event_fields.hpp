// src/orrinth/trace/event_fields.hpp: TraceEvent's fields, declared once. The class body
// (module.cpp), the JSON Lines routes that build and read events (fast_routes.cpp) and
// the writer of the serializer's format (json_writer.cpp) all take the names, the order,
// the value types and the defaults from here.
#pragma once

namespace orrinth::trace {

/// The exact type a field's value has after validation (what the fast routes accept).
enum class FieldKind {
    event_kind,    // str, one of the four kinds of event
    integer,       // int
    optional_str,  // str or None
    dict,          // dict
    real,          // float
};

/// What a field holds when a line does not give it.
enum class FieldDefault {
    required,
    none,        // None
    new_dict,    // a new dict (Field(default_factory=dict))
    zero_int,    // 0
    zero_float,  // 0.0
};

// X(name, annotation, kind, default), in declaration order; `name` is also the interned
// name's field in TraceState (str_<name>).
#define ORRINTH_TRACE_EVENT_FIELDS(X)                                                        \
    X(type, "Literal['message', 'state_change', 'fault_injected', 'property_check']",       \
      event_kind, required)                                                                  \
    X(turn, "int", integer, required)                                                        \
    X(agent, "str | None", optional_str, none)                                               \
    X(data, "dict", dict, new_dict)                                                          \
    X(timestamp, "float", real, zero_float)                                                  \
    X(input_tokens, "int", integer, zero_int)                                                \
    X(output_tokens, "int", integer, zero_int)                                               \
    X(cost_usd, "float", real, zero_float)

/// The position of each field: kField_type, kField_turn, ...; kEventFieldCount of them.
enum EventField : int {
#define ORRINTH_FIELD_INDEX(name, annotation, kind, dflt) kField_##name,
    ORRINTH_TRACE_EVENT_FIELDS(ORRINTH_FIELD_INDEX)
#undef ORRINTH_FIELD_INDEX
    kEventFieldCount
};

struct EventFieldDef {
    const char *name;
    const char *annotation;
    FieldKind kind;
    FieldDefault default_value;
};

inline constexpr EventFieldDef kEventFields[kEventFieldCount] = {
#define ORRINTH_FIELD_DEF(name, annotation, kind, dflt) \
    {#name, annotation, FieldKind::kind, FieldDefault::dflt},
    ORRINTH_TRACE_EVENT_FIELDS(ORRINTH_FIELD_DEF)
#undef ORRINTH_FIELD_DEF
};

}  // namespace orrinth::trace
