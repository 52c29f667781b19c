// src/orrinth/trace/jsonl.cpp: Trace.to_jsonl and Trace.from_jsonl, the trace file format:
// one JSON object per event, one event per line. How a save replaces an existing file is
// atomic_save.cpp's business; this file only produces and reads the lines.
#include "trace.hpp"

#include <orrinth_native/class_attr_cache.hpp>

namespace orrinth::trace {
namespace {

/// `f.write(event.model_dump_json() + "\n")` for each stored event, in order. A failure
/// gets a note naming the event (its index in `events` and its turn) and `path`.
void write_events(TraceState &st, PyObject *self, PyObject *file, PyObject *path) {
    Ref events = events_of(st, self);
    Ref write = getattr(file, st.str_write);
    Py_ssize_t index = -1;
    for_each(events.get(), [&](PyObject *event) {
        index++;
        try {
            Ref text = call_method(event, st.str_model_dump_json);
            Ref line = require(PyNumber_Add(text.get(), st.str_newline));
            require(PyObject_CallOneArg(write.get(), line.get()));
        } catch (const PyErrSet &) {
            add_note_to_raised([&](PyObject *) {
                Ref turn = Ref::steal(PyObject_GetAttr(event, st.str_turn));
                PyErr_Clear();  // an event without a turn is named by its index alone
                return turn ? require(PyUnicode_FromFormat("while writing trace.events[%zd] (turn %R) to %S",
                                                           index, turn.get(), path))
                            : require(PyUnicode_FromFormat("while writing trace.events[%zd] to %S", index, path));
            });
            throw;
        }
    });
}

/// For a call given something other than a pathlib.Path that failed on it for lack of what
/// a path has (an AttributeError or TypeError): say what the method takes and how to make
/// one. An object that behaves like a path keeps its own errors as they are.
void note_path_expected(TraceState &st, PyObject *path, const char *method) {
    if (PyObject_TypeCheck(path, reinterpret_cast<PyTypeObject *>(st.path_type)) ||
        !(PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError)))
        return;
    add_note_to_raised([&](PyObject *) {
        if (PyUnicode_Check(path) || PyObject_HasAttrString(path, "__fspath__"))
            return require(PyUnicode_FromFormat("%s takes a pathlib.Path, not %s: pass pathlib.Path(%R)", method,
                                                Py_TYPE(path)->tp_name, path));
        if (PyBytes_Check(path))
            return require(PyUnicode_FromFormat("%s takes a pathlib.Path, not bytes: pass "
                                                "pathlib.Path(os.fsdecode(%R))", method, path));
        return require(PyUnicode_FromFormat("%s takes a pathlib.Path, not %s: make one with "
                                            "pathlib.Path('runs/trace.jsonl')", method, Py_TYPE(path)->tp_name));
    });
}

/// Saving through the path's own `open`: open(path, "w"), write, close. The file is the
/// caller's target itself, so an error from closing it after a failure is reported too.
void save_in_place(TraceState &st, PyObject *self, PyObject *path) {
    Ref file = call_method(path, st.str_open, st.str_w);
    try {
        write_events(st, self, file.get(), path);
    } catch (const PyErrSet &) {
        close_after_failure(st, file.get(), /*report_close_error=*/true);
        throw;
    }
    call_method(file.get(), st.str_close);
}

PyObject *trace_to_jsonl(FnObject *fn, PyObject *const *args) {
    return entry([&] {
        TraceState &st = state(fn);
        PyObject *self = args[0], *path = args[1];
        Ref parent, mkdir;
        try {
            parent = getattr(path, st.str_parent);
            mkdir = getattr(parent.get(), st.str_mkdir);
        } catch (const PyErrSet &) {
            note_path_expected(st, path, "Trace.to_jsonl");
            throw;
        }
        Ref kwnames = require(PyTuple_Pack(2, st.str_parents, st.str_exist_ok));
        PyObject *flags[] = {Py_True, Py_True};
        require(PyObject_Vectorcall(mkdir.get(), flags, 0, kwnames.get()));
        const bool replaced = save_replacing_atomically(
            st, path, [&](PyObject *file) { write_events(st, self, file, path); });
        if (!replaced) save_in_place(st, self, path);
        return Ref::borrow(Py_None);
    });
}

/// `text.strip()`; an exact str without surrounding whitespace is its own result.
Ref strip(TraceState &st, PyObject *text) {
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        if (n == 0) return Ref::borrow(text);
        int kind = PyUnicode_KIND(text);
        const void *data = PyUnicode_DATA(text);
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, 0)) &&
            !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, n - 1)))
            return Ref::borrow(text);
    }
    return call_method(text, st.str_strip);
}

/// `module.name`; for an exact module object, whose type holds no data descriptor of
/// such a name, a name found in its dict is the attribute.
Ref module_attr(PyObject *module, PyObject *name) {
    if (PyModule_CheckExact(module)) {
        PyObject *dict = PyModule_GetDict(module);
        if (dict) {
            if (Ref v = dict_get(dict, name)) return v;
        }
    }
    return getattr(module, name);
}

/// Parse one stripped line and append the event it holds to `result`.
void read_line(FnObject *fn, TraceState &st, ClassAttrCache &model_validate, PyObject *result,
               PyObject *text) {
    Ref json = load_global(fn, st.str_json);
    Ref loads = module_attr(json.get(), st.str_loads);
    Ref value = require(PyObject_CallOneArg(loads.get(), text));
    Ref event_cls = load_global(fn, st.str_TraceEvent);
    Ref method = Ref::borrow(model_validate.get(event_cls.get()));
    Ref event = require(PyObject_CallOneArg(method.get(), value.get()));
    add_event_to(st, result, event.get());
}

/// Note where reading failed: `line` is the line being read. The text reader decodes a
/// block at a time, so an undecodable byte can lie some lines past the last line handed
/// out: the line ends before it in the block being decoded are counted too.
void note_read_location(PyObject *path, Py_ssize_t line) {
    add_note_to_raised([&](PyObject *exc) {
        if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject *>(PyExc_UnicodeDecodeError))) {
            Py_ssize_t start = 0;
            Ref block = Ref::steal(PyUnicodeDecodeError_GetObject(exc));
            if (block && PyUnicodeDecodeError_GetStart(exc, &start) == 0 && PyBytes_Check(block.get())) {
                const char *bytes = PyBytes_AS_STRING(block.get());
                for (Py_ssize_t i = 0; i < start && i < PyBytes_GET_SIZE(block.get()); i++)
                    line += bytes[i] == '\n';
            }
            PyErr_Clear();
        }
        return require(PyUnicode_FromFormat("while reading %S, line %zd", path, line));
    });
}

PyObject *trace_from_jsonl(FnObject *fn, PyObject *const *args) {
    return entry([&] {
        TraceState &st = state(fn);
        Ref result = require(PyObject_CallNoArgs(args[0]));
        ClassAttrCache model_validate(st.str_model_validate);
        Ref file;
        try {
            file = call_method(args[1], st.str_open);
        } catch (const PyErrSet &) {
            note_path_expected(st, args[1], "Trace.from_jsonl");
            throw;
        }
        Py_ssize_t lines = 0;  // lines read so far, blank ones included
        bool in_line = false;  // a failure now is the current line's, not the reading's
        try {
            for_each(file.get(), [&](PyObject *line) {
                lines++;
                in_line = true;
                Ref text = strip(st, line);
                if (truth(text.get())) read_line(fn, st, model_validate, result.get(), text.get());
                in_line = false;
            });
        } catch (const PyErrSet &) {
            note_read_location(args[1], in_line ? lines : lines + 1);
            close_after_failure(st, file.get(), /*report_close_error=*/true);
            throw;
        }
        call_method(file.get(), st.str_close);
        return result;
    });
}

const Param kSelfPath[] = {{"self", nullptr}, {"path", "Path"}};
const Param kClsPath[] = {{"cls", nullptr}, {"path", "Path"}};

}  // namespace

const FunctionDef to_jsonl_def = {"to_jsonl", "Trace.to_jsonl",
                                  "Write each event as one JSON line to path.", "None", kSelfPath,
                                  2, trace_to_jsonl};
const FunctionDef from_jsonl_def = {"from_jsonl", "Trace.from_jsonl",
                                    "Read a trace back from a JSONL file.", "Trace", kClsPath, 2,
                                    trace_from_jsonl};

}  // namespace orrinth::trace
