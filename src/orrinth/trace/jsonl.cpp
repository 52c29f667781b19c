// src/orrinth/trace/jsonl.cpp: Trace.to_jsonl and Trace.from_jsonl, the trace file format:
// one JSON object per event, one event per line. How a save replaces an existing file is
// atomic_save.cpp's business; this file only produces and reads the lines.
#include "trace.hpp"

#include <orrinth_native/class_attr_cache.hpp>

#include <string>

namespace orrinth::trace {
namespace {

/// Writes the lines of a save, one per event: `f.write(event.model_dump_json() + "\n")`,
/// or, where that cannot differ, the serializer's bytes directly, or for an event of plain
/// JSON data those bytes as written here (json_writer.cpp). For a file the save opened
/// itself in UTF-8, the lines go to its binary buffer in large chunks, with no decoding and
/// encoding in between.
class LineWriter {
  public:
    LineWriter(TraceState &st, PyObject *file, bool own_file)
        : st_(st), file_(file), write_(getattr(file, st.str_write)), fast_(fast_routes_on(st)),
          native_(fast_ && st.writes_events) {
        if (fast_ && own_file && takes_utf8_bytes(st, file)) buffer_ = getattr(file, st.str_buffer);
    }

    void write(PyObject *event) {
        PyObject *fields[8];
        if (fast_ && serializes_directly(st_, event, fields)) {
            const size_t start = pending_.size();
            if (native_ && write_event_json(fields, pending_)) {
                native_count_++;
            } else {
                pending_.truncate(start);
                Ref json = require(PyObject_Vectorcall(st_.to_json, &event, 1, nullptr));
                char *data;
                Py_ssize_t size;
                require(PyBytes_AsStringAndSize(json.get(), &data, &size));
                pending_.append(data, static_cast<size_t>(size));
            }
            pending_.push_back('\n');
            fast_count_++;
            if (!buffer_) {
                write_text(require(PyUnicode_DecodeUTF8(pending_.data(),
                                                        static_cast<Py_ssize_t>(pending_.size()),
                                                        nullptr)));
                pending_.clear();
            } else if (pending_.size() >= kChunk) {
                flush_bytes();
            }
            return;
        }
        plain_count_++;
        Ref text = call_method(event, st_.str_model_dump_json);
        Ref line = require(PyNumber_Add(text.get(), st_.str_newline));
        if (buffer_ && PyUnicode_Check(line.get())) {
            // What the text file's strict UTF-8 encoder does with it, error included.
            Ref bytes = require(PyUnicode_AsUTF8String(line.get()));
            pending_.append(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
            if (pending_.size() >= kChunk) flush_bytes();
            return;
        }
        if (buffer_) {
            flush_bytes();
            write_text(std::move(line));  // not text: the file's own error
            call_method(file_, st_.str_flush);
            return;
        }
        write_text(std::move(line));
    }

    /// Write what is still held back, and publish the route counts.
    void finish() {
        flush_bytes();
        publish_route_counts(st_, fast_count_, plain_count_, native_count_);
    }

  private:
    static constexpr size_t kChunk = 1 << 16;

    void write_text(Ref line) { require(PyObject_CallOneArg(write_.get(), line.get())); }

    void flush_bytes() {
        if (pending_.empty()) return;
        Ref chunk = require(
            PyBytes_FromStringAndSize(pending_.data(), static_cast<Py_ssize_t>(pending_.size())));
        pending_.clear();
        call_method(buffer_.get(), st_.str_write, chunk.get());
    }

    TraceState &st_;
    PyObject *file_;
    Ref write_, buffer_;
    const bool fast_, native_;
    ByteBuffer pending_;
    Py_ssize_t fast_count_ = 0, plain_count_ = 0, native_count_ = 0;
};

/// The event's turn as text for the note on a failed write, read from the instance's own
/// dict without running any of its code: the failure may have come from that very code
/// (a reentrant save that ran out of stack), and running it again from every level of the
/// unwinding would repeat the whole descent at each. Empty when there is no exact int
/// there (or its text cannot be made): the note then names the index alone.
Ref turn_for_note(PyObject *event) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(event, nullptr));
    PyObject *turn = dict && PyDict_CheckExact(dict.get()) ? PyDict_GetItemString(dict.get(), "turn") : nullptr;
    Ref text = turn && PyLong_CheckExact(turn) ? Ref::steal(PyObject_Repr(turn)) : Ref();
    PyErr_Clear();
    return text;
}

/// Write every stored event to `file`, in order. `own_file`: the save opened `file`
/// itself, as a text file with the default newline handling. A failure gets a note
/// naming the event (its index in `events` and its turn) and `path`.
void write_events(TraceState &st, PyObject *self, PyObject *file, PyObject *path, bool own_file) {
    Ref events = events_of(st, self);
    LineWriter writer(st, file, own_file);
    Py_ssize_t index = -1;
    for_each(events.get(), [&](PyObject *event) {
        index++;
        try {
            writer.write(event);
        } catch (const PyErrSet &) {
            add_note_to_raised([&](PyObject *) {
                Ref turn = turn_for_note(event);
                return turn ? require(PyUnicode_FromFormat("while writing trace.events[%zd] (turn %S) to %S",
                                                           index, turn.get(), path))
                            : require(PyUnicode_FromFormat("while writing trace.events[%zd] to %S", index, path));
            });
            throw;
        }
    });
    writer.finish();
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
void save_through_open(TraceState &st, PyObject *self, PyObject *path) {
    Ref file = call_method(path, st.str_open, st.str_w);
    try {
        write_events(st, self, file.get(), path, /*own_file=*/false);
    } catch (const PyErrSet &) {
        close_after_failure(st, file.get(), /*report_close_error=*/true);
        throw;
    }
    call_method(file.get(), st.str_close);
}

Ref trace_to_jsonl(FnObject *fn, PyObject *const *args) {
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
        st, path, [&](PyObject *file) { write_events(st, self, file, path, /*own_file=*/true); });
    if (!replaced) save_through_open(st, self, path);
    return Ref::new_ref(Py_None);
}

/// `text.strip()`; for an exact str, the slice that str.strip() gives (itself when there
/// is no surrounding whitespace), cut here without calling the method.
Ref strip(TraceState &st, PyObject *text) {
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t end = PyUnicode_GET_LENGTH(text), start = 0;
        const int kind = PyUnicode_KIND(text);
        const void *data = PyUnicode_DATA(text);
        while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) start++;
        while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) end--;
        if (start == 0 && end == PyUnicode_GET_LENGTH(text)) return Ref::new_ref(text);
        return require(PyUnicode_Substring(text, start, end));
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

/// Turns the stripped lines of a file into events:
/// `TraceEvent.model_validate(json.loads(text))`, by the fast route where it cannot differ.
class LineReader {
  public:
    LineReader(FnObject *fn, TraceState &st)
        : fn_(fn), st_(st), model_validate_(st.str_model_validate), fast_(fast_routes_on(st)) {}

    Ref event(PyObject *text) {
        if (fast_ && line_reads_fast(fn_, st_, text)) {
            if (Ref event = read_event_fast(st_, text)) {
                fast_count_++;
                return event;
            }
        }
        plain_count_++;
        Ref json = load_global(fn_, st_.str_json);
        Ref loads = module_attr(json.get(), st_.str_loads);
        Ref value = require(PyObject_CallOneArg(loads.get(), text));
        Ref event_cls = load_global(fn_, st_.str_TraceEvent);
        Ref method = Ref::new_ref(model_validate_.get(event_cls.get()));
        return require(PyObject_CallOneArg(method.get(), value.get()));
    }

    void finish() { publish_route_counts(st_, fast_count_, plain_count_); }

  private:
    FnObject *fn_;
    TraceState &st_;
    ClassAttrCache model_validate_;
    const bool fast_;
    Py_ssize_t fast_count_ = 0, plain_count_ = 0;
};

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

/// Reads `lines` (str, as iterating a text file gives them) into the trace `result`, one
/// event per line that is not blank; a failure is noted as being at its line of `name`.
void read_lines_into(TraceState &st, LineReader &reader, PyObject *result, PyObject *lines,
                     PyObject *name) {
    Py_ssize_t count = 0;  // lines read so far, blank ones included
    bool in_line = false;  // a failure now is the current line's, not the reading's
    try {
        for_each(lines, [&](PyObject *line) {
            count++;
            in_line = true;
            Ref text = strip(st, line);
            if (truth(text.get())) {
                Ref event = reader.event(text.get());
                add_event_to(st, result, event.get());
            }
            in_line = false;
        });
    } catch (const PyErrSet &) {
        note_read_location(name, in_line ? count : count + 1);
        throw;
    }
}

Ref trace_from_jsonl(FnObject *fn, PyObject *const *args) {
    TraceState &st = state(fn);
    Ref result = require(PyObject_CallNoArgs(args[0]));
    LineReader reader(fn, st);
    Ref file;
    try {
        file = call_method(args[1], st.str_open);
    } catch (const PyErrSet &) {
        note_path_expected(st, args[1], "Trace.from_jsonl");
        throw;
    }
    try {
        read_lines_into(st, reader, result.get(), file.get(), args[1]);
    } catch (const PyErrSet &) {
        close_after_failure(st, file.get(), /*report_close_error=*/true);
        throw;
    }
    call_method(file.get(), st.str_close);
    reader.finish();
    return result;
}

/// `read_lines(cls, lines, name)`: what from_jsonl does with the lines of an open file,
/// for text that is not a whole file (the recorder's complete lines); `name` stands for
/// the path in the note on a failure.
Ref trace_read_lines(FnObject *fn, PyObject *const *args) {
    TraceState &st = state(fn);
    Ref result = require(PyObject_CallNoArgs(args[0]));
    LineReader reader(fn, st);
    read_lines_into(st, reader, result.get(), args[1], args[2]);
    reader.finish();
    return result;
}

const Param kSelfPath[] = {{"self", nullptr}, {"path", "Path"}};
const Param kClsPath[] = {{"cls", nullptr}, {"path", "Path"}};
const Param kClsLinesName[] = {{"cls", nullptr}, {"lines", nullptr}, {"name", nullptr}};

}  // namespace

const FunctionDef to_jsonl_def = {"to_jsonl", "Trace.to_jsonl",
                                  "Write each event as one JSON line to path.", "None", kSelfPath,
                                  2, trace_to_jsonl};
const FunctionDef from_jsonl_def = {"from_jsonl", "Trace.from_jsonl",
                                    "Read a trace back from a JSONL file.", "Trace", kClsPath, 2,
                                    trace_from_jsonl};
const FunctionDef read_lines_def = {"read_lines", "read_lines",
                                    "Read a trace from the lines of a JSONL text, as from_jsonl "
                                    "reads a file's; name stands for the file in the note on a "
                                    "failure.",
                                    "Trace", kClsLinesName, 3, trace_read_lines};

}  // namespace orrinth::trace
