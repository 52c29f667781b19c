// src/orrinth/trace/queries.cpp: Trace construction, add_event, the events property and
// the two filters.
#include "trace.hpp"

namespace orrinth::trace {
namespace {

Ref trace_init(FnObject *fn, PyObject *const *args) {
    TraceState &st = state(fn);
    Ref events = require(PyList_New(0));
    require(PyObject_SetAttr(args[0], st.str_events_attr, events.get()));
    Ref results = require(PyList_New(0));
    require(PyObject_SetAttr(args[0], st.str_results, results.get()));
    return Ref::new_ref(Py_None);
}

Ref trace_add_event(FnObject *fn, PyObject *const *args) {
    TraceState &st = state(fn);
    // `self._events`, from the instance dict when that is where it must come from.
    Ref events = st.events_attr.get(st.trace_fields, args[0], st.str_events_attr);
    if (PyList_CheckExact(events.get()))
        list_append(events.get(), args[1]);
    else
        call_method(events.get(), st.str_append, args[1]);
    return Ref::new_ref(Py_None);
}

Ref trace_events(FnObject *fn, PyObject *const *args) {
    Ref events = events_of(state(fn), args[0]);
    if (PyList_CheckExact(events.get()))
        return require(PyList_GetSlice(events.get(), 0, PY_SSIZE_T_MAX));
    return require(PySequence_List(events.get()));
}

/// The stored events whose attribute `attr` equals `value` (an exact str), in order.
Ref filter_events(FnObject *fn, PyObject *self, PyObject *attr, PyObject *value) {
    Ref events = events_of(state(fn), self);
    Ref out = require(PyList_New(0));
    InstanceDictReader &fields = state(fn).event_fields;
    const ListPrefetcher prefetch(reinterpret_cast<PyTypeObject *>(state(fn).trace_event_cls));
    if (!PyList_CheckExact(events.get())) {
        for_each(events.get(), [&](PyObject *event) {
            Ref field = fields.get(event, attr);
            if (equals_str(field.get(), value)) list_append(out.get(), event);
        });
        return out;
    }
    PyObject *list = events.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        prefetch.before(list, i);
        PyObject *event = PyList_GET_ITEM(list, i);
        // An exact str read at its entry is compared and appended without running any
        // code (the list only ever grows by reallocation), so nothing is held; any other
        // value or read runs with the event held, as for_each holds it.
        PyObject *field = fields.peek(event, attr).get();
        if (field && PyUnicode_CheckExact(field)) {
            if (exact_str_equal(field, value)) list_append(out.get(), event);
            continue;
        }
        Ref held = Ref::new_ref(event);
        Ref read = fields.get(held.get(), attr);
        if (equals_str(read.get(), value)) list_append(out.get(), held.get());
    }
    return out;
}

Ref trace_get_messages(FnObject *fn, PyObject *const *args) {
    TraceState &st = state(fn);
    return filter_events(fn, args[0], st.str_type, st.str_message);
}

Ref trace_get_events_for_agent(FnObject *fn, PyObject *const *args) {
    check_exact_type(args[1], &PyUnicode_Type, "name");
    return filter_events(fn, args[0], state(fn).str_agent, args[1]);
}

}  // namespace

Ref direct_events_list(TraceState &st, PyObject *trace) {
    if (!st.trace_fields.applies(trace)) return Ref();
    Ref dict = Ref::steal(PyObject_GenericGetDict(trace, nullptr));
    if (!dict) throw PyErrSet{};
    if (!PyDict_CheckExact(dict.get())) return Ref();
    // An instance attribute named add_event would shadow the method.
    if (dict_get(dict.get(), st.str_add_event)) return Ref();
    Ref events = dict_get(dict.get(), st.str_events_attr);
    if (!events || !PyList_CheckExact(events.get())) return Ref();
    return events;
}

void add_event_to(TraceState &st, PyObject *trace, PyObject *event) {
    if (Ref events = direct_events_list(st, trace)) {
        require(PyList_Append(events.get(), event));
        return;
    }
    call_method(trace, st.str_add_event, event);
}

namespace {

const Param kSelf[] = {{"self", nullptr}};
const Param kSelfEvent[] = {{"self", nullptr}, {"event", "TraceEvent"}};
const Param kSelfName[] = {{"self", nullptr}, {"name", "str"}};

}  // namespace

const FunctionDef init_def = {"__init__", "Trace.__init__", nullptr, "None", kSelf, 1, trace_init};
const FunctionDef add_event_def = {"add_event", "Trace.add_event", "Append an event to the trace.",
                                   "None", kSelfEvent, 2, trace_add_event};
const FunctionDef events_def = {"events", "Trace.events", "All events in insertion order.",
                                "list[TraceEvent]", kSelf, 1, trace_events};
const FunctionDef get_messages_def = {"get_messages", "Trace.get_messages",
                                      "Return only message-type events.", "list[TraceEvent]",
                                      kSelf, 1, trace_get_messages};
const FunctionDef get_events_for_agent_def = {
    "get_events_for_agent", "Trace.get_events_for_agent",
    "Return all events attributed to the named agent.", "list[TraceEvent]", kSelfName, 2,
    trace_get_events_for_agent};

}  // namespace orrinth::trace
