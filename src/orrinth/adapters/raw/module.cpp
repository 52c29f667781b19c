// src/orrinth/adapters/raw/module.cpp: the orrinth.adapters.raw module body: imports and
// the RawAgent class, built through the metaclass of AgentUnderTest.
#include "raw.hpp"

#include <new>

namespace orrinth::raw {
namespace {

constexpr const char *kRawAgentDoc =
    "Wraps a plain Python callable as an AgentUnderTest.\n"
    "\n"
    "    The handler receives a dict with 'sender', 'content', and 'turn' keys\n"
    "    and must return either a str or a dict with a 'content' key.\n"
    "\n"
    "    If the handler accepts a second 'state' parameter, the current state dict\n"
    "    is passed and any mutations persist across turns.\n"
    "    ";

/// `from <module> import <name>` followed at once by the binding, as the statement does.
void import_and_bind(PyObject *module, PyObject *from, const char *name) {
    bind(module, name, import_from(from, name));
}

Ref make_raw_agent(PyObject *module, PyObject *modname, RawState &st) {
    auto *fn_type = reinterpret_cast<PyTypeObject *>(st.fn_type);
    auto fn = [&](const FunctionDef &def, PyObject *defaults = nullptr) {
        return make_function(fn_type, def, module, defaults);
    };
    // The base is read back from the namespace, as the class statement's
    // `class RawAgent(AgentUnderTest)` would load it.
    Ref key = require(PyUnicode_InternFromString("AgentUnderTest"));
    Ref base = dict_get(PyModule_GetDict(module), key.get());
    if (!base) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
        throw PyErrSet{};
    }
    Ref init_defaults = require(PyTuple_Pack(1, Py_None));
    Ref members[] = {fn(init_def, init_defaults.get()), fn(check_accepts_state_def),
                     fn(name_def),    fn(receive_def),
                     fn(setup_def),   fn(get_state_def)};

    ClassBuilder b("RawAgent", require(PyTuple_Pack(1, base.get())));
    b.header(modname, "RawAgent", kRawAgentDoc);
    b.set("__init__", members[0]);
    b.set("_check_accepts_state", wrap(&PyStaticMethod_Type, members[1]));
    b.set("name", wrap(&PyProperty_Type, members[2]));
    b.set("receive", members[3]);
    b.set("setup", members[4]);
    b.set("get_state", members[5]);
    // What __init__ and setup assign.
    Ref cls = b.create({"_name", "_handler", "_initial_state", "_state", "_accepts_state"});

    // inspect.getdoc() finds the class of a Python function through its qualname, but
    // of any other method descriptor only through __objclass__; with it, help() shows
    // inherited docstrings (object.__init__'s for __init__) exactly as for a def.
    for (const Ref &member : members)
        require(PyObject_SetAttrString(member.get(), "__objclass__", cls.get()));
    return cls;
}

}  // namespace

void RawState::exec(PyObject *module) {
    kw_content = require(PyTuple_Pack(1, str_content)).release();
    kw_content_meta = require(PyTuple_Pack(2, str_content, str_metadata)).release();
    Ref modname = require(PyModule_GetNameObject(module));

    // Imports, bound in this order; each name is bound as soon as it is fetched.
    bind(module, "inspect", import_module("inspect"));
    import_and_bind(module, import_module("typing").get(), "Callable");
    Ref agent = import_module("orrinth.agent");
    import_and_bind(module, agent.get(), "AgentUnderTest");
    import_and_bind(module, agent.get(), "Message");
    import_and_bind(module, agent.get(), "Response");

    Ref cls = make_raw_agent(module, modname.get(), *this);
    agent_cls = cls.dup().release();
    bind(module, "RawAgent", cls);

    agent_field_names[0] = str_accepts_state_attr;
    agent_field_names[1] = str_handler_attr;
    agent_field_names[2] = str_state_attr;
    new (&agent_fields) InstanceDictReader();
    agent_fields.init(agent_cls, agent_field_names, 3);
    for (InstanceAttrCache *cache : {&accepts_state, &handler, &live_state})
        new (cache) InstanceAttrCache();
    new (&response) CachedGlobal(str_Response);
    new (&make_response) ClassCall();
    ClassCall::learn_init_slot();
    new (&message_fields) InlineAttrReader<3>();
    message_fields.init({str_sender, str_content, str_turn});
    InlineAttrReader<3>::self_check();
    Ref routes = import_module("orrinth.adapters._raw_routes");
    Ref plain_dicts = require(PyObject_GetAttrString(routes.get(), "plain_message_dicts"));
    new (&message_dict) FixedKeysDict<3>();
    message_dict.init({str_sender, str_content, str_turn}, !truth(plain_dicts.get()));
    require(PyObject_SetAttrString(routes.get(), "inline_attrs",
                                   inline_reads_enabled() ? Py_True : Py_False));
    require(PyObject_SetAttrString(routes.get(), "class_call",
                                   ClassCall::is_enabled() ? Py_True : Py_False));
    require(PyObject_SetAttrString(routes.get(), "direct_message_dicts",
                                   message_dict.direct() ? Py_True : Py_False));
}

}  // namespace orrinth::raw

PyMODINIT_FUNC PyInit_raw() noexcept {
    return orrinth::ModuleDefinition<orrinth::raw::RawState>::init();
}
