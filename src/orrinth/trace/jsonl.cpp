// src/orrinth/trace/jsonl.cpp: Trace.to_jsonl and Trace.from_jsonl, one JSON object per line.
//
// Saving over an existing trace file goes through a temporary file in the target's own
// directory that replaces the target only once every line is written and the file is
// closed: a save that fails midway must not destroy the previous trace.
#include "trace.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orrinth::trace {
namespace {

/// `f.write(event.model_dump_json() + "\n")` for each stored event, in order.
void write_events(TraceState &st, PyObject *self, PyObject *file) {
    Ref events = events_of(st, self);
    Ref write = getattr(file, st.str_write);
    for_each(events.get(), [&](PyObject *event) {
        Ref text = call_method(event, st.str_model_dump_json);
        Ref line = require(PyNumber_Add(text.get(), st.str_newline));
        require(PyObject_CallOneArg(write.get(), line.get()));
    });
}

/// Close `file` after a failure: the failure is kept, an error from close() becomes the
/// one reported with the failure as its context (what a `finally:` block does).
void close_after_failure(TraceState &st, PyObject *file) {
    SavedError saved;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(file, st.str_close));
    saved.restore(/*chain_cleanup_error=*/true);
}

/// The Part of saving that writes in place: open(path, "w"), write, close.
void save_in_place(TraceState &st, PyObject *self, PyObject *path) {
    Ref file = call_method(path, st.str_open, st.str_w);
    try {
        write_events(st, self, file.get());
    } catch (const PyErrSet &) {
        close_after_failure(st, file.get());
        throw;
    }
    call_method(file.get(), st.str_close);
}

std::string fs_bytes(PyObject *str) {
    Ref b = require(PyUnicode_EncodeFSDefault(str));
    return std::string(PyBytes_AS_STRING(b.get()), PyBytes_GET_SIZE(b.get()));
}

/// A temporary file beside `target`, ready for writing, or -1 when none can be made.
int create_temp(const std::string &target, const struct stat *old, std::string &tmp_path) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::random_device rd;
    for (int attempt = 0; attempt < 16; attempt++) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08x%04x.tmp", static_cast<unsigned>(rd()),
                      static_cast<unsigned>(rd() & 0xffff));
        tmp_path = dir + "." + base + suffix;
        int fd = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        // A replaced file keeps its permission bits; a new one gets what open("w") gives.
        if (old && ::fchmod(fd, old->st_mode & 07777) != 0) {
            ::close(fd);
            ::unlink(tmp_path.c_str());
            return -1;
        }
        return fd;
    }
    return -1;
}

/// Whether `path` is a pathlib.Path whose `open` is Path's own: only then may a save go
/// around it. A subclass (or an instance) that supplies its own `open` gets it called.
/// The type is tested for real, not through `__class__`, which any object can fake.
bool opens_as_path(TraceState &st, PyObject *path) {
    if (!PyObject_TypeCheck(path, reinterpret_cast<PyTypeObject *>(st.path_type))) return false;
    Ref own = getattr(st.path_type, st.str_open);
    Ref open = getattr(path, st.str_open);
    return PyMethod_Check(open.get()) && PyMethod_GET_SELF(open.get()) == path &&
           PyMethod_GET_FUNCTION(open.get()) == own.get();
}

/// Save through a temporary file when `path` is a pathlib.Path whose final target is
/// missing or a regular file we own and may write. Returns false when that does not
/// apply (the caller then writes in place); throws on a failed save, after removing the
/// temporary file and leaving the target as it was.
bool save_replacing(TraceState &st, PyObject *self, PyObject *path) {
    if (!opens_as_path(st, path)) return false;
    Ref fspath = require(PyOS_FSPath(path));
    if (!PyUnicode_Check(fspath.get())) return false;
    Ref real = require(PyObject_CallOneArg(st.realpath, fspath.get()));
    if (!PyUnicode_Check(real.get())) return false;
    std::string target = fs_bytes(real.get());

    struct stat old;
    bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) return false;
    // "May write" is judged for the effective user, as open("w") would judge it; plain
    // access() asks about the real user and would let a read-only file be replaced.
    if (exists && !(S_ISREG(old.st_mode) && old.st_uid == ::geteuid() &&
                    ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0))
        return false;

    std::string tmp;
    int fd = create_temp(target, exists ? &old : nullptr, tmp);
    if (fd < 0) return false;

    // The descriptor stays ours alone (the file object is made with closefd=False):
    // when wrapping it fails, io.open may or may not have closed it already, and it
    // must be closed exactly once whatever happens.
    struct FdGuard {
        int fd;
        ~FdGuard() {
            if (fd >= 0) ::close(fd);
        }
    } guard{fd};
    try {
        Ref file = require(PyFile_FromFd(fd, tmp.c_str(), "w", -1, nullptr, nullptr, nullptr, 0));
        try {
            write_events(st, self, file.get());
        } catch (const PyErrSet &) {
            SavedError saved;
            Ref r = Ref::steal(PyObject_CallMethodNoArgs(file.get(), st.str_close));
            saved.restore(false);
            throw;
        }
        call_method(file.get(), st.str_close);  // flushes; write errors surface here
        const int closing = std::exchange(guard.fd, -1);
        if (::close(closing) != 0) {
            Ref tmp_obj = require(PyUnicode_DecodeFSDefault(tmp.c_str()));
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, tmp_obj.get());
            throw PyErrSet{};
        }
        if (::rename(tmp.c_str(), target.c_str()) != 0) {
            Ref tmp_obj = require(PyUnicode_DecodeFSDefault(tmp.c_str()));
            PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, tmp_obj.get(), real.get());
            throw PyErrSet{};
        }
    } catch (const PyErrSet &) {
        ::unlink(tmp.c_str());
        throw;
    }
    return true;
}

PyObject *trace_to_jsonl(FnObject *fn, PyObject *const *args) noexcept {
    return entry([&] {
        TraceState &st = state(fn);
        PyObject *self = args[0], *path = args[1];
        Ref parent = getattr(path, st.str_parent);
        Ref mkdir = getattr(parent.get(), st.str_mkdir);
        Ref kwnames = require(PyTuple_Pack(2, st.str_parents, st.str_exist_ok));
        PyObject *flags[] = {Py_True, Py_True};
        require(PyObject_Vectorcall(mkdir.get(), flags, 0, kwnames.get()));
        if (!save_replacing(st, self, path)) save_in_place(st, self, path);
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

/// Parse one stripped line and append the event it holds to `result`.
/// `module.name`; for an exact module object, whose type holds no data descriptor of
/// such a name, a name found in its dict is the attribute.
Ref module_attr(PyObject *module, PyObject *name) {
    if (PyModule_CheckExact(module)) {
        PyObject *dict = PyModule_GetDict(module);
        if (dict) {
            PyObject *v = PyDict_GetItemWithError(dict, name);
            if (v) return Ref::borrow(v);
            if (PyErr_Occurred()) throw PyErrSet{};
        }
    }
    return getattr(module, name);
}

/// Whether no class on `meta`'s MRO but `type` itself defines __getattribute__, so that
/// an attribute of a class with this metaclass comes from the generic lookup.
bool generic_class_lookup(PyTypeObject *meta) {
    PyObject *mro = meta->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (base == reinterpret_cast<PyObject *>(&PyType_Type) ||
            base == reinterpret_cast<PyObject *>(&PyBaseObject_Type))
            continue;
        if (!PyType_Check(base)) return false;
        PyObject *dict = reinterpret_cast<PyTypeObject *>(base)->tp_dict;
        if (!dict || PyDict_GetItemString(dict, "__getattribute__")) return false;
    }
    return true;
}

/// `cls.name` for a class read anew on every line: the bound method found last time is
/// used again while the same class object comes back and neither it nor its metaclass
/// (nor any of their bases) has changed since, as their version tags tell.
class ClassAttrCache {
  public:
    PyObject *get(PyObject *cls, PyObject *name) {
        if (cls_.get() == cls && valid_ && tags_now(cls) == tags_) return value_.get();
        const auto before = tags_now(cls);
        Ref value = getattr(cls, name);
        cls_ = Ref::borrow(cls);
        value_ = std::move(value);
        valid_ = PyType_Check(cls) && before.first && before.second && tags_now(cls) == before &&
                 generic_class_lookup(Py_TYPE(cls));
        tags_ = before;
        return value_.get();
    }

  private:
    static std::pair<unsigned, unsigned> tags_now(PyObject *cls) {
        if (!PyType_Check(cls)) return {0, 0};
        return {reinterpret_cast<PyTypeObject *>(cls)->tp_version_tag, Py_TYPE(cls)->tp_version_tag};
    }
    Ref cls_, value_;
    std::pair<unsigned, unsigned> tags_{0, 0};
    bool valid_ = false;
};

/// Parse one stripped line and append the event it holds to `result`.
void read_line(FnObject *fn, TraceState &st, ClassAttrCache &validate, PyObject *result,
               PyObject *text) {
    Ref json = load_global(fn, st.str_json);
    Ref loads = module_attr(json.get(), st.str_loads);
    Ref value = require(PyObject_CallOneArg(loads.get(), text));
    Ref event_cls = load_global(fn, st.str_TraceEvent);
    Ref method = Ref::borrow(validate.get(event_cls.get(), st.str_model_validate));
    Ref event = require(PyObject_CallOneArg(method.get(), value.get()));
    add_event_to(st, result, event.get());
}

PyObject *trace_from_jsonl(FnObject *fn, PyObject *const *args) noexcept {
    return entry([&] {
        TraceState &st = state(fn);
        Ref result = require(PyObject_CallNoArgs(args[0]));
        ClassAttrCache validate;
        Ref file = call_method(args[1], st.str_open);
        try {
            for_each(file.get(), [&](PyObject *line) {
                Ref text = strip(st, line);
                if (!truth(text.get())) return;
                read_line(fn, st, validate, result.get(), text.get());
            });
        } catch (const PyErrSet &) {
            close_after_failure(st, file.get());
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
