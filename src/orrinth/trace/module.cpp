// src/orrinth/trace/module.cpp: the orrinth.trace module body: imports, the two record
// models (built through pydantic's metaclass) and the Trace class.
#include "trace.hpp"

#include <algorithm>
#include <iterator>
#include <new>

namespace orrinth::trace {
namespace {

const Param kTraceEventFields[] = {
#define ORRINTH_FIELD_PARAM(name, annotation, kind, dflt) {#name, annotation},
    ORRINTH_TRACE_EVENT_FIELDS(ORRINTH_FIELD_PARAM)
#undef ORRINTH_FIELD_PARAM
};

const Param kCostSummaryFields[] = {
    {"total_input_tokens", "int"},
    {"total_output_tokens", "int"},
    {"total_cost_usd", "float"},
    {"per_agent", "dict[str, dict]"},
};

template <size_t N>
Ref annotations_of(const Param (&fields)[N]) {
    Ref ann = require(PyDict_New());
    for (const Param &f : fields) {
        Ref text = require(PyUnicode_FromString(f.annotation));
        require(PyDict_SetItemString(ann.get(), f.name, text.get()));
    }
    return ann;
}

Ref make_trace_event(PyObject *modname, PyObject *base_model, PyObject *field) {
    ClassBuilder b("TraceEvent", require(PyTuple_Pack(1, base_model)));
    b.header(modname, "TraceEvent", "A single recorded event in a simulation trace.");
    b.set("__annotations__", annotations_of(kTraceEventFields));
    // The defaults, as the class body assigns them.
    for (const EventFieldDef &f : kEventFields) {
        switch (f.default_value) {
        case FieldDefault::required:
            break;
        case FieldDefault::none:
            b.set(f.name, Ref::new_ref(Py_None));
            break;
        case FieldDefault::new_dict: {
            Ref kwargs = require(PyDict_New());
            require(PyDict_SetItemString(kwargs.get(), "default_factory",
                                         reinterpret_cast<PyObject *>(&PyDict_Type)));
            Ref noargs = require(PyTuple_New(0));
            b.set(f.name, require(PyObject_Call(field, noargs.get(), kwargs.get())));
            break;
        }
        case FieldDefault::zero_int:
            b.set(f.name, require(PyLong_FromLong(0)));
            break;
        case FieldDefault::zero_float:
            b.set(f.name, require(PyFloat_FromDouble(0.0)));
            break;
        }
    }
    return b.create();
}

Ref make_cost_summary(PyObject *modname, PyObject *base_model) {
    ClassBuilder b("CostSummary", require(PyTuple_Pack(1, base_model)));
    b.header(modname, "CostSummary", "Aggregate token and cost statistics for one trace.");
    b.set("__annotations__", annotations_of(kCostSummaryFields));
    return b.create();
}

Ref make_trace(PyObject *module, PyObject *modname, TraceState &st) {
    auto *fn_type = reinterpret_cast<PyTypeObject *>(st.fn_type);
    auto fn = [&](const FunctionDef &def) { return make_function(fn_type, def, module); };
    ClassBuilder b("Trace", require(PyTuple_New(0)));
    b.header(modname, "Trace", "An ordered sequence of events recorded during one simulation run.");
    b.set("__init__", fn(init_def));
    Ref add_event = fn(add_event_def);
    st.add_event_fn = add_event.dup().release();
    b.set("add_event", add_event);
    b.set("events", wrap(&PyProperty_Type, fn(events_def)));
    b.set("get_messages", fn(get_messages_def));
    b.set("get_events_for_agent", fn(get_events_for_agent_def));
    b.set("cost_summary", fn(cost_summary_def));
    b.set("snapshot", fn(snapshot_def));
    b.set("to_jsonl", fn(to_jsonl_def));
    b.set("from_jsonl", wrap(&PyClassMethod_Type, fn(from_jsonl_def)));
    return b.create({"_events", "results"});  // what __init__ assigns
}

/// The fast readers: TraceEvent's fields, and Trace's `_events` with its own add_event.
void init_readers(TraceState &st) {
    new (&st.event_fields) InstanceDictReader();
    new (&st.trace_fields) InstanceDictReader();
    new (&st.events_attr) InstanceAttrCache();
    PyObject *event_names[] = {st.str_type, st.str_turn, st.str_agent,
                               st.str_input_tokens, st.str_output_tokens, st.str_cost_usd};
    std::copy(std::begin(event_names), std::end(event_names), st.event_field_names);
    st.event_fields.init(st.trace_event_cls, st.event_field_names, 6);
    st.trace_field_names[0] = st.str_events_attr;
    st.trace_field_names[1] = st.str_add_event;
    st.trace_fields.init(st.trace_cls, st.trace_field_names, 2, st.str_add_event,
                         st.add_event_fn);
}

}  // namespace

void TraceState::exec(PyObject *module) {
    // Reads of a trace's own attributes from the values it keeps inline (3.12) wait for
    // this check, as the adapter's reads of a message do.
    InlineAttrReader<1>::self_check();
    {
        Ref os_path = import_module("os.path");
        realpath = require(PyObject_GetAttrString(os_path.get(), "realpath")).release();
        Ref os = import_module("os");
        stat = require(PyObject_GetAttrString(os.get(), "stat")).release();
    }
    Ref modname = require(PyModule_GetNameObject(module));

    // Imports, bound in this order.
    bind(module, "json", import_module("json"));
    Ref path_cls = import_from(import_module("pathlib").get(), "Path");
    path_type = path_cls.dup().release();
    bind(module, "Path", path_cls);
    bind(module, "Literal", import_from(import_module("typing").get(), "Literal"));
    Ref pydantic = import_module("pydantic");
    Ref base_model = import_from(pydantic.get(), "BaseModel");
    Ref field = import_from(pydantic.get(), "Field");
    bind(module, "BaseModel", base_model);
    bind(module, "Field", field);

    // pydantic resolves the text annotations through sys.modules[__module__], which
    // holds this module already (multi-phase initialisation).
    Ref trace_event = make_trace_event(modname.get(), base_model.get(), field.get());
    trace_event_cls = trace_event.dup().release();
    bind(module, "TraceEvent", trace_event);
    bind(module, "CostSummary", make_cost_summary(modname.get(), base_model.get()));
    Ref trace = make_trace(module, modname.get(), *this);
    trace_cls = trace.dup().release();
    bind(module, "Trace", trace);
    init_readers(*this);
    init_fast_routes(*this);
    // from_jsonl's reading of lines, for the package's own readers of text that is not a
    // whole file; it lives in the routes module, outside this module's namespace.
    Ref read_lines = make_function(reinterpret_cast<PyTypeObject *>(fn_type), read_lines_def, module);
    Ref routes_name = require(PyModule_GetNameObject(routes_module));
    require(PyObject_SetAttrString(read_lines.get(), "__module__", routes_name.get()));
    require(PyObject_SetAttrString(routes_module, "read_lines", read_lines.get()));
}

}  // namespace orrinth::trace

PyMODINIT_FUNC PyInit_trace() noexcept {
    return orrinth::ModuleDefinition<orrinth::trace::TraceState>::init();
}
