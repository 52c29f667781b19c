// src/orrinth/adapters/raw/raw_agent.cpp: the members of RawAgent: construction, the
// handler state test, name, setup, get_state and the dispatch of one message.
#include "raw.hpp"

#include <utility>

namespace orrinth::raw {
namespace {

/// dict(value): a new dict, as the dict constructor builds it.
Ref dict_of(PyObject *value) {
    if (PyDict_CheckExact(value)) return require(PyDict_Copy(value));
    return require(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), value));
}

Ref agent_init(FnObject *fn, PyObject *const *args) {
    RawState &st = state(fn);
    PyObject *self = args[0], *name = args[1], *handler = args[2], *initial = args[3];
    check_exact_type(name, &PyUnicode_Type, "name");
    check_exact_type(initial, &PyDict_Type, "initial_state", true);
    require(PyObject_SetAttr(self, st.str_name_attr, name));
    require(PyObject_SetAttr(self, st.str_handler_attr, handler));
    // `initial` is None or an exact dict, so its truth value runs no code. A
    // __setattr__ above may have changed it; it is read only now, as written.
    Ref initial_copy = initial != Py_None && PyDict_GET_SIZE(initial) > 0
                           ? require(PyDict_Copy(initial))
                           : require(PyDict_New());
    require(PyObject_SetAttr(self, st.str_initial_state_attr, initial_copy.get()));
    Ref stored = getattr(self, st.str_initial_state_attr);
    require(PyObject_SetAttr(self, st.str_state_attr, dict_of(stored.get()).get()));
    // Looked up on the instance, so that a subclass's own test is the one used.
    Ref check = getattr(self, st.str_check_accepts_state);
    Ref accepts = require(PyObject_CallOneArg(check.get(), handler));
    require(PyObject_SetAttr(self, st.str_accepts_state_attr, accepts.get()));
    return Ref::new_ref(Py_None);
}

Ref agent_check_accepts_state(FnObject *fn, PyObject *const *args) {
    RawState &st = state(fn);
    try {
        Ref inspect = load_global(fn, st.str_inspect);
        Ref signature = call_method(inspect.get(), st.str_signature, args[0]);
        Ref parameters = getattr(signature.get(), st.str_parameters);
        Ref keys = call_method(parameters.get(), st.str_keys);
        Ref names = require(PySequence_List(keys.get()));
        return Ref::new_ref(PyList_GET_SIZE(names.get()) > 1 ? Py_True : Py_False);
    } catch (const PyErrSet &) {
        // A signature that cannot be read (ValueError) or a handler that is no
        // callable (TypeError) means the handler does not take the state.
        if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError))
            throw;
        PyErr_Clear();
        return Ref::new_ref(Py_False);
    }
}

Ref agent_name(FnObject *fn, PyObject *const *args) {
    Ref value = getattr(args[0], state(fn).str_name_attr);
    if (PyUnicode_CheckExact(value.get()) || value.get() == Py_None) return value;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                 Py_TYPE(value.get())->tp_name);
    throw PyErrSet{};
}

Ref agent_setup(FnObject *fn, PyObject *const *args) {
    RawState &st = state(fn);
    Ref initial = getattr(args[0], st.str_initial_state_attr);
    require(PyObject_SetAttr(args[0], st.str_state_attr, dict_of(initial.get()).get()));
    return Ref::new_ref(Py_None);
}

Ref agent_get_state(FnObject *fn, PyObject *const *args) {
    Ref live = getattr(args[0], state(fn).str_state_attr);
    return dict_of(live.get());
}

// ---- dispatch -------------------------------------------------------------------

/// Whether an entry of a dict result goes into the metadata: `key != "content"`.
bool is_metadata_key(RawState &st, PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
#if !ORRINTH_API_312
        require(PyUnicode_READY(key));  // before 3.12 a str may still lack its canonical form
#endif
        return !exact_str_equal(key, st.str_content);
    }
    if (key == Py_None) return true;
    return compare(key, st.str_content, Py_NE);
}

/// `k, v = item`, with the interpreter's own errors for anything but two values.
std::pair<Ref, Ref> unpack_pair(PyObject *item) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        PyObject **values = PySequence_Fast_ITEMS(item);
        return {Ref::new_ref(values[0]), Ref::new_ref(values[1])};
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        throw PyErrSet{};
    }
    Ref values[2];
    for (int i = 0; i < 2; i++) {
        values[i] = Ref::steal(PyIter_Next(it.get()));
        if (!values[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            throw PyErrSet{};
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get()))) {
        extra = Ref();
        throw raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw PyErrSet{};
    return {std::move(values[0]), std::move(values[1])};
}

/// Walk an exact dict as its own iterator does, for a `body` that may run Python code
/// (a key's __ne__ or __hash__; see reentrancy.hpp): each entry is held strongly while
/// in use and the size is checked before every step; an entry beyond the original
/// count means the keys were replaced in place.
template <class F>
void walk_exact_dict(PyObject *d, F &&body) {
    const Py_ssize_t size = PyDict_GET_SIZE(d);
    Py_ssize_t pos = 0, left = size;
    PyObject *k, *v;
    for (;;) {
        if (PyDict_GET_SIZE(d) != size)
            throw raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (!PyDict_Next(d, &pos, &k, &v)) return;
        if (left-- == 0)
            throw raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        Ref key = Ref::new_ref(k), value = Ref::new_ref(v);
        body(key, value);
    }
}

/// `result.get("content", "")`; an exact dict is read directly.
Ref content_of(RawState &st, PyObject *result) {
    if (PyDict_CheckExact(result)) {
        if (Ref v = dict_get(result, st.str_content)) return v;
        return Ref::new_ref(st.str_empty);
    }
    return call_method(result, st.str_get, st.str_content, st.str_empty);
}

/// `{k: v for k, v in result.items() if k != "content"}`.
Ref metadata_of(RawState &st, PyObject *result) {
    Ref meta = require(PyDict_New());
    auto add = [&](const Ref &key, const Ref &value) {
        if (is_metadata_key(st, key.get())) require(PyDict_SetItem(meta.get(), key.get(), value.get()));
    };
    if (PyDict_CheckExact(result)) {
        walk_exact_dict(result, add);
    } else {
        Ref items = call_method(result, st.str_items);
        for_each(items.get(), [&](PyObject *item) {
            auto [key, value] = unpack_pair(item);
            add(key, value);
        });
    }
    return meta;
}

/// The TypeError for a result that is neither a str nor a dict.
PyErrSet refusal(RawState &st, PyObject *self, PyObject *result) {
    Ref name = getattr(self, st.str_name_attr);
    Ref name_text = require(PyObject_Format(name.get(), st.str_empty));
    Ref type = Ref::new_ref(reinterpret_cast<PyObject *>(Py_TYPE(result)));
    Ref type_name = getattr(type.get(), st.str_dunder_name);
    Ref type_text = require(PyObject_Format(type_name.get(), st.str_empty));
    Ref msg = require(PyUnicode_FromFormat(
        "Handler for agent '%U' returned %U; expected str or dict with 'content' key.",
        name_text.get(), type_text.get()));
    PyErr_SetObject(PyExc_TypeError, msg.get());
    return PyErrSet{};
}

Ref agent_receive(FnObject *fn, PyObject *const *args) {
    RawState &st = state(fn);
    PyObject *self = args[0], *message = args[1];

    // `{"sender": message.sender, "content": message.content, "turn": message.turn}`:
    // the three reads first, as the display evaluates them, then the dict.
    Ref values[3];
    st.message_fields.get_all(message, values);
    Ref msg = st.message_dict.make(values);

    auto own = [&](InstanceAttrCache &cache, PyObject *name) {
        return cache.get(st.agent_fields, self, name);
    };
    const bool with_state = truth(own(st.accepts_state, st.str_accepts_state_attr).get());
    Ref handler = own(st.handler, st.str_handler_attr);
    Ref result;
    if (with_state) {
        Ref live = own(st.live_state, st.str_state_attr);
        PyObject *call_args[] = {nullptr, msg.get(), live.get()};
        result = require(PyObject_Vectorcall(handler.get(), call_args + 1,
                                             2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else {
        PyObject *call_args[] = {nullptr, msg.get()};
        result = require(PyObject_Vectorcall(handler.get(), call_args + 1,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    // As the interpreter drops the callable it called: a handler that replaced
    // itself on the agent is freed now, before the Response is built. The message
    // dict, a local of the call, lives until it returns.
    handler = Ref();

    // `Response` is loaded before its arguments are evaluated, as in
    // `Response(content=..., metadata=...)`. Then the locals go in the order a return
    // releases them: what the call used, the result, the message dict.
    Ref out;
    if (PyUnicode_Check(result.get())) {
        Ref response = st.response.get(fn);
        PyObject *call_args[] = {result.get()};
        out = st.make_response.call(response.get(), call_args, 0, st.kw_content);
    } else if (PyDict_Check(result.get())) {
        Ref response = st.response.get(fn);
        Ref content = content_of(st, result.get());
        Ref metadata = metadata_of(st, result.get());
        PyObject *call_args[] = {content.get(), metadata.get()};
        out = st.make_response.call(response.get(), call_args, 0, st.kw_content_meta);
    } else {
        throw refusal(st, self, result.get());
    }
    result = Ref();
    st.message_dict.recycle(std::move(msg));
    return out;
}

const Param kSelf[] = {{"self", nullptr}};
const Param kInitParams[] = {
    {"self", nullptr}, {"name", "str"}, {"handler", "Callable"}, {"initial_state", "dict | None"}};
const Param kHandler[] = {{"handler", "Callable"}};
const Param kSelfMessage[] = {{"self", nullptr}, {"message", "Message"}};

}  // namespace

const FunctionDef init_def = {"__init__", "RawAgent.__init__", nullptr, "None",
                              kInitParams, 4, agent_init};
const FunctionDef check_accepts_state_def = {"_check_accepts_state",
                                             "RawAgent._check_accepts_state",
                                             nullptr,
                                             "bool",
                                             kHandler,
                                             1,
                                             agent_check_accepts_state};
const FunctionDef name_def = {"name", "RawAgent.name", nullptr, "str", kSelf, 1, agent_name};
const FunctionDef receive_def = {"receive",
                                 "RawAgent.receive",
                                 "Call the handler with the message dict and return a Response.",
                                 "Response",
                                 kSelfMessage,
                                 2,
                                 agent_receive};
const FunctionDef setup_def = {"setup", "RawAgent.setup",
                               "Reset state to initial values before each run.", "None",
                               kSelf, 1, agent_setup};
const FunctionDef get_state_def = {"get_state", "RawAgent.get_state",
                                   "Return a copy of the current state.", "dict", kSelf, 1,
                                   agent_get_state};

}  // namespace orrinth::raw
