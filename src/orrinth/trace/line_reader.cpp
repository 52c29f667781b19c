// src/orrinth/trace/line_reader.cpp: the lines of a trace file read from its bytes, as the
// text file that `path.open()` gave would give them: universal newlines (`\n`, `\r\n`, a
// lone `\r`), strict UTF-8, each line then stripped as str.strip() strips it. The bytes are
// read with pread(), which leaves the file's position alone: whenever something fails, the
// text file is still at its start and reads the whole file again as if nothing happened.
#include "native_reader.hpp"

#include <cerrno>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace orrinth::trace {
namespace {

/// Bytes asked for per read.
constexpr size_t kChunk = 1 << 18;

/// The whole file is to be read again through its text file object.
struct ReadAgain {};

/// A signal handler raised: its exception goes on as it is, whatever its type (the text
/// file's reading would have raised it at this point too).
struct SignalRaised {};

/// Whether str.strip() strips the ASCII character `c`.
bool ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F); }

/// Whether `s[0:n]` is what the strict UTF-8 decoder decodes without error: no stray
/// continuation byte, no overlong form, no surrogate, nothing past U+10FFFF, nothing cut.
bool valid_utf8(const unsigned char *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        auto cont = [&](size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) {
            if (!cont(1)) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(1) || !cont(2)) return false;
            const unsigned char c1 = s[i + 1];
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return false;
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3)) return false;
            const unsigned char c1 = s[i + 1];
            if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return false;
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

/// Where the \n that ends the line at s is, when the bytes before it are ASCII without a
/// \r; otherwise (or with no \n in s[0:n]) n.
size_t plain_ascii_line(const unsigned char *s, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    for (; n - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        const unsigned stops = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr))) |
            _mm_movemask_epi8(v));  // the high bit of each byte
        if (stops == 0) continue;
        const size_t at = i + static_cast<size_t>(__builtin_ctz(stops));
        return s[at] == '\n' ? at : n;
    }
#endif
    for (; i < n; i++) {
        if (s[i] == '\n') return i;
        if (s[i] == '\r' || s[i] >= 0x80) return n;
    }
    return n;
}

#ifndef _WIN32
/// The descriptor of the regular file under `file`, a text file over a buffered reader over
/// a FileIO, all of exactly those types; -1 when it is anything else.
int regular_file_fd(TraceState &st, PyObject *file) {
    Ref buffer = getattr(file, st.str_buffer);
    if (Py_TYPE(buffer.get()) != reinterpret_cast<PyTypeObject *>(st.bufreader_type)) return -1;
    Ref raw = getattr(buffer.get(), st.str_raw);
    if (Py_TYPE(raw.get()) != reinterpret_cast<PyTypeObject *>(st.fileio_type)) return -1;
    Ref fileno = call_method(raw.get(), st.str_fileno);
    const int fd = PyLong_AsLong(fileno.get());
    if (fd == -1 && PyErr_Occurred()) throw PyErrSet{};
    // os.stat(fd), not fstat(): the C library's fstat symbol is newer than the wheels'
    // oldest supported glibc.
    Ref info = require(PyObject_CallOneArg(st.stat, fileno.get()));
    Ref mode = getattr(info.get(), st.str_st_mode);
    const long bits = PyLong_AsLong(mode.get());
    if (bits == -1 && PyErr_Occurred()) throw PyErrSet{};
    return S_ISREG(bits) ? fd : -1;
}

/// Whether `path` opens as from_jsonl's plain route opens it: a pathlib.Path whose class
/// keeps pathlib's own `open`, with no instance attributes that could shadow it.
bool opens_as_pathlib(TraceState &st, PyObject *path) {
    PyTypeObject *type = Py_TYPE(path);
    return st.path_open && PyObject_TypeCheck(path, reinterpret_cast<PyTypeObject *>(st.path_type)) &&
           type->tp_dictoffset == 0 && orrinth_type_lookup(type, st.str_open) == st.path_open;
}

class Reader {
  public:
    Reader(FnObject *fn, TraceState &st, PyObject *trace, int fd,
           const std::function<void(PyObject *)> &text_line, Py_ssize_t &lines, bool &in_line)
        : fn_(fn), st_(st), trace_(trace), fd_(fd), text_line_(text_line), lines_(lines),
          in_line_(in_line), max_depth_(nesting_room()), strings_(new_string_cache()) {}

    Py_ssize_t native() const { return native_; }

    void run() {
        std::vector<unsigned char> buf;
        size_t start = 0, filled = 0;
        off_t offset = 0;
        bool eof = false;
        while (!eof) {
            // Keep the unfinished line, then read after it.
            if (start > 0) {
                std::memmove(buf.data(), buf.data() + start, filled - start);
                filled -= start;
                start = 0;
            }
            if (PyErr_CheckSignals() != 0) throw SignalRaised{};  // Ctrl-C during a long read
            if (buf.size() - filled < kChunk) buf.resize(filled + kChunk);
            const ssize_t got = read_at(buf.data() + filled, kChunk, offset);
            eof = got == 0;
            filled += static_cast<size_t>(got);
            offset += got;
            start = split(buf.data(), start, filled, eof);
        }
    }

  private:
    ssize_t read_at(unsigned char *into, size_t n, off_t offset) {
        while (true) {
            ssize_t got;
            Py_BEGIN_ALLOW_THREADS
            got = pread(fd_, into, n, offset);
            Py_END_ALLOW_THREADS
            if (got >= 0) return got;
            if (errno != EINTR) throw ReadAgain{};  // the text file meets the error itself
            if (PyErr_CheckSignals() != 0) throw SignalRaised{};
        }
    }

    /// Handle the complete lines of buf[start:filled] (with `eof`, the last one too, ended
    /// or not); returns where the unfinished rest begins.
    size_t split(unsigned char *buf, size_t start, size_t filled, bool eof) {
        while (start < filled) {
            const unsigned char *s = buf + start;
            const size_t left = filled - start;
            // The common line, ASCII without a \r and ended by \n, found in one pass.
            const size_t plain = plain_ascii_line(s, left);
            if (plain < left) {
                lines_++;
                in_line_ = true;
                line(s, plain, true);
                in_line_ = false;
                start += plain + 1;
                continue;
            }
            const void *nl = std::memchr(s, '\n', left);
            const size_t upto = nl ? static_cast<size_t>(static_cast<const unsigned char *>(nl) - s) : left;
            const void *cr = std::memchr(s, '\r', upto);
            size_t len, next;
            if (cr) {
                len = static_cast<size_t>(static_cast<const unsigned char *>(cr) - s);
                if (len + 1 == left && !eof) return start;  // a \n may follow in the next read
                next = len + 1 + (len + 1 < left && s[len + 1] == '\n');
            } else if (nl) {
                len = upto;
                next = len + 1;
            } else {
                if (!eof) return start;
                len = next = left;  // the last line, without a line end
            }
            lines_++;
            in_line_ = true;
            line(s, len, false);
            in_line_ = false;
            start += next;
        }
        return start;
    }

    /// `ascii`: s[0:n] is known to be ASCII.
    void line(const unsigned char *s, size_t n, bool ascii) {
        if (!ascii && !valid_utf8(s, n)) throw ReadAgain{};
        size_t a = 0, b = n;
        while (a < b && ascii_space(s[a])) a++;
        while (b > a && ascii_space(s[b - 1])) b--;
        if (a == b) return;  // a blank line
        const char *text = reinterpret_cast<const char *>(s);
        if (s[a] >= 0x80 || s[b - 1] >= 0x80) {
            // Other whitespace may surround it: str.strip() decides.
            text_line_(require(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), nullptr)).get());
            return;
        }
        if (calls_.unchanged(fn_, st_)) {
            Ref event;
            try {
                event = parse_event_line(st_, *strings_, text + a, b - a, max_depth_);
            } catch (const PyErrSet &) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
                PyErr_Clear();  // the other routes decide
            }
            if (event) {
                add(event.get());
                native_++;
                return;
            }
        }
        text_line_(require(PyUnicode_DecodeUTF8(text + a, static_cast<Py_ssize_t>(b - a), nullptr)).get());
    }

    /// Append `event` to the trace as add_event_to() does. The events list it finds is
    /// kept for the next events while the trace's class and its dict (by version) stay.
    void add(PyObject *event) {
#if ORRINTH_DICT_VERSION_KNOWN
        if (events_ && st_.trace_fields.applies(trace_)) {
            PyObject **slot = orrinth_object_dict_ptr(trace_);
            if (slot && *slot == events_dict_.get() && orrinth_dict_version(*slot) == events_version_) {
                require(PyList_Append(events_.get(), event));
                return;
            }
        }
        Ref events = direct_events_list(st_, trace_);
        PyObject **slot = events ? orrinth_object_dict_ptr(trace_) : nullptr;
        events_dict_ = slot && *slot ? Ref::new_ref(*slot) : Ref();
        events_version_ = events_dict_ ? orrinth_dict_version(events_dict_.get()) : 0;
        events_ = events_version_ != 0 ? events.dup() : Ref();
        if (events) {  // where add_event_to() would append it
            require(PyList_Append(events.get(), event));
            return;
        }
#endif
        add_event_to(st_, trace_, event);
    }

    FnObject *fn_;
    TraceState &st_;
    PyObject *trace_;
    const int fd_;
    const std::function<void(PyObject *)> &text_line_;
    Py_ssize_t &lines_;
    bool &in_line_;
    const Py_ssize_t max_depth_;
    std::unique_ptr<StringCache, StringCacheDeleter> strings_;
    LineCallsMemo calls_;
    Ref events_, events_dict_;  // the trace's events list and its dict, at events_version_
    uint64_t events_version_ = 0;
    Py_ssize_t native_ = 0;
};
#endif

/// Whether the routes module asks for the native reader (anything but True: no).
bool native_reads_asked(TraceState &st) {
    if (!PyModule_CheckExact(st.routes_module)) return false;
    Ref v = dict_get(PyModule_GetDict(st.routes_module), st.str_native_reads);
    return v.get() == Py_True;
}

}  // namespace

bool init_native_reader(TraceState &st) {
    if (!init_event_parser(st)) return false;
    if (st.path_open) return true;
    Ref io = import_module("io");
    st.bufreader_type = import_from(io.get(), "BufferedReader").release();
    st.fileio_type = import_from(io.get(), "FileIO").release();
    PyObject *open = orrinth_type_lookup(reinterpret_cast<PyTypeObject *>(st.path_type), st.str_open);
    st.path_open = open ? Py_NewRef(open) : nullptr;
    return true;
}

NativeRead read_natively(FnObject *fn, TraceState &st, PyObject *path, PyObject *file,
                         PyObject *trace, const std::function<void(PyObject *line)> &text_line,
                         Py_ssize_t &lines, bool &in_line, Py_ssize_t &native) {
    native = 0;
#ifdef _WIN32
    (void)fn, (void)path, (void)file, (void)trace, (void)text_line, (void)lines, (void)in_line;
    return NativeRead::not_taken;
#else
    if (!st.reads_natively || !fast_routes_on(st) || !native_reads_asked(st) ||
        Py_TYPE(trace) != reinterpret_cast<PyTypeObject *>(st.trace_cls) ||
        !direct_events_list(st, trace) || !opens_as_pathlib(st, path) || !line_calls_unchanged(fn, st))
        return NativeRead::not_taken;
    try {
        if (!takes_utf8_bytes(st, file)) return NativeRead::not_taken;
        const int fd = regular_file_fd(st, file);
        if (fd < 0) return NativeRead::not_taken;
        Reader reader(fn, st, trace, fd, text_line, lines, in_line);
        reader.run();
        native = reader.native();
        return NativeRead::done;
    } catch (const ReadAgain &) {
        return NativeRead::again;
    } catch (const SignalRaised &) {
        throw PyErrSet{};
    } catch (const PyErrSet &) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return NativeRead::again;
    }
#endif
}

void publish_native_reads(TraceState &st, Py_ssize_t native) {
    Ref n = require(PyLong_FromSsize_t(native));
    require(PyObject_SetAttr(st.routes_module, st.str_last_native_reads, n.get()));
}

}  // namespace orrinth::trace
