// src/orrinth/trace/event_parser.cpp: lines of the exact shape made into events without a
// dict in between. What is accepted gives exactly what json.loads gives for it (numbers
// through the interpreter's own conversions, every string escape, duplicate keys keeping
// the first position and the last value, the constants json hands out); anything else,
// including everything json.loads would refuse, is left to the other routes.
#include "native_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace orrinth::trace {
namespace {

/// Containers nested this deep or deeper are left to the other routes (and the C stack
/// this parser's recursion uses stays small).
constexpr Py_ssize_t kMaxDepth = 200;

/// Integers of up to this many digits are converted here as 64-bit values.
constexpr size_t kInt64Digits = 18;

/// int() refuses no integer literal of up to this many digits, whatever
/// sys.set_int_max_str_digits() was given (the smallest limit it accepts is 640).
constexpr size_t kDigitsNeverRefused = 640;

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

class Parser {
  public:
    Parser(TraceState &st, const char *s, size_t n, Py_ssize_t max_depth)
        : st_(st), p_(reinterpret_cast<const unsigned char *>(s)), end_(p_ + n),
          max_depth_(std::min(max_depth, kMaxDepth)) {}

    Ref event() {
        ws();
        if (max_depth_ <= 1 || !take('{')) return Ref();
        Ref given[8];
        ws();
        if (!take('}')) {
            do {
                ws();
                const int field = field_key();
                if (field < 0) return Ref();
                ws();
                if (!take(':')) return Ref();
                ws();
                Ref v = field == 3 ? (peek('{') ? object(2) : Ref()) : value(2);
                if (!v) return Ref();
                given[field] = std::move(v);
                ws();
            } while (take(','));
            if (!take('}')) return Ref();
        }
        ws();
        if (p_ != end_) return Ref();
        PyObject *fields[8];
        for (int i = 0; i < 8; i++) fields[i] = given[i].get();
        return event_from_fields(st_, fields);
    }

  private:
    bool peek(char c) const { return p_ < end_ && *p_ == static_cast<unsigned char>(c); }
    bool take(char c) {
        if (!peek(c)) return false;
        p_++;
        return true;
    }
    bool take_word(const char *word) {
        const size_t n = std::strlen(word);
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }
    void ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) p_++;
    }

    /// The position of the field a key without escapes names, or -1.
    int field_key() {
        if (!take('"')) return -1;
        const unsigned char *start = p_;
        while (p_ < end_ && *p_ != '"' && *p_ != '\\') p_++;
        if (!peek('"')) return -1;
        const size_t n = static_cast<size_t>(p_ - start);
        p_++;
        for (int i = 0; i < 8; i++) {
            Py_ssize_t len;
            const char *name = PyUnicode_AsUTF8AndSize(st_.event_field_order[i], &len);
            if (name && static_cast<size_t>(len) == n && std::memcmp(name, start, n) == 0) return i;
        }
        PyErr_Clear();
        return -1;
    }

    /// A value nested `depth` levels deep (the line's object is level 1).
    Ref value(Py_ssize_t depth) {
        if (p_ >= end_) return Ref();
        switch (*p_) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': return string();
        case 't': return take_word("true") ? Ref::borrow(Py_True) : Ref();
        case 'f': return take_word("false") ? Ref::borrow(Py_False) : Ref();
        case 'n': return take_word("null") ? Ref::borrow(Py_None) : Ref();
        case 'N': return take_word("NaN") ? constant("NaN") : Ref();
        case 'I': return take_word("Infinity") ? constant("Infinity") : Ref();
        case '-':
            if (take_word("-Infinity")) return constant("-Infinity");
            return number();
        default: return is_digit(*p_) ? number() : Ref();
        }
    }

    /// The very object json.loads hands out for the constant `name`.
    Ref constant(const char *name) {
        if (!st_.json_constants || !PyDict_CheckExact(st_.json_constants)) return Ref();
        PyObject *v = PyDict_GetItemString(st_.json_constants, name);
        return v ? Ref::borrow(v) : Ref();
    }

    Ref object(Py_ssize_t depth) {
        if (depth >= max_depth_ || !take('{')) return Ref();
        Ref dict = require(PyDict_New());
        ws();
        if (take('}')) return dict;
        do {
            ws();
            if (!peek('"')) return Ref();
            Ref key = string();
            if (!key) return Ref();
            ws();
            if (!take(':')) return Ref();
            ws();
            Ref v = value(depth + 1);
            if (!v) return Ref();
            require(PyDict_SetItem(dict.get(), key.get(), v.get()));
            ws();
        } while (take(','));
        return take('}') ? std::move(dict) : Ref();
    }

    Ref array(Py_ssize_t depth) {
        if (depth >= max_depth_ || !take('[')) return Ref();
        Ref list = require(PyList_New(0));
        ws();
        if (take(']')) return list;
        do {
            ws();
            Ref v = value(depth + 1);
            if (!v) return Ref();
            require(PyList_Append(list.get(), v.get()));
            ws();
        } while (take(','));
        return take(']') ? std::move(list) : Ref();
    }

    /// The JSON number at p_, as json.loads converts its text: int() for an integer,
    /// float() for a number with a fraction or an exponent.
    Ref number() {
        const unsigned char *start = p_;
        take('-');
        const unsigned char *digits = p_;
        if (take('0')) {
        } else if (p_ < end_ && is_digit(*p_)) {
            while (p_ < end_ && is_digit(*p_)) p_++;
        } else {
            return Ref();
        }
        const size_t int_digits = static_cast<size_t>(p_ - digits);
        bool is_float = false;
        if (peek('.')) {
            p_++;
            if (p_ >= end_ || !is_digit(*p_)) return Ref();
            while (p_ < end_ && is_digit(*p_)) p_++;
            is_float = true;
        }
        if (peek('e') || peek('E')) {
            p_++;
            if (!take('+')) take('-');
            if (p_ >= end_ || !is_digit(*p_)) return Ref();
            while (p_ < end_ && is_digit(*p_)) p_++;
            is_float = true;
        }
        const size_t n = static_cast<size_t>(p_ - start);
        if (!is_float && int_digits <= kInt64Digits) {
            long long v = 0;
            for (const unsigned char *d = digits; d < p_; d++) v = v * 10 + (*d - '0');
            return require(PyLong_FromLongLong(*start == '-' ? -v : v));
        }
        if (!is_float && int_digits > kDigitsNeverRefused) return Ref();
        std::string text(reinterpret_cast<const char *>(start), n);
        if (!is_float) return require(PyLong_FromString(text.c_str(), nullptr, 10));
        char *stop = nullptr;
        const double d = PyOS_string_to_double(text.c_str(), &stop, nullptr);
        if (d == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        if (stop != text.c_str() + n) return Ref();
        return require(PyFloat_FromDouble(d));
    }

    /// The string at p_ (its opening quote), escapes resolved as json.loads resolves them.
    Ref string() {
        if (!take('"')) return Ref();
        const unsigned char *start = p_;
        while (p_ < end_ && *p_ != '"' && *p_ != '\\' && *p_ >= 0x20) p_++;
        if (peek('"')) {
            const auto n = static_cast<Py_ssize_t>(p_ - start);
            p_++;
            return require(PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(start), n, nullptr));
        }
        if (!peek('\\')) return Ref();  // a control character, or the line ends
        chars_.clear();
        append_utf8(start, p_);
        while (true) {
            const unsigned char *run = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\' && *p_ >= 0x20) p_++;
            append_utf8(run, p_);
            if (p_ >= end_ || *p_ < 0x20) return Ref();
            if (*p_ == '"') {
                p_++;
                return require(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars_.data(),
                                                         static_cast<Py_ssize_t>(chars_.size())));
            }
            p_++;  // the backslash
            if (p_ >= end_) return Ref();
            const unsigned char e = *p_++;
            switch (e) {
            case '"': chars_.push_back('"'); break;
            case '\\': chars_.push_back('\\'); break;
            case '/': chars_.push_back('/'); break;
            case 'b': chars_.push_back('\b'); break;
            case 'f': chars_.push_back('\f'); break;
            case 'n': chars_.push_back('\n'); break;
            case 'r': chars_.push_back('\r'); break;
            case 't': chars_.push_back('\t'); break;
            case 'u': {
                int c = hex4();
                if (c < 0) return Ref();
                // A high surrogate followed by the escape of a low one is one character;
                // any other escape after it is read on its own (a lone surrogate stays).
                if (c >= 0xD800 && c <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
                    const unsigned char *back = p_;
                    p_ += 2;
                    const int low = hex4();
                    if (low < 0) return Ref();
                    if (low >= 0xDC00 && low <= 0xDFFF)
                        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    else
                        p_ = back;
                }
                chars_.push_back(static_cast<Py_UCS4>(c));
                break;
            }
            default: return Ref();
            }
        }
    }

    /// Four hex digits at p_, or -1.
    int hex4() {
        if (end_ - p_ < 4) return -1;
        int c = 0;
        for (int i = 0; i < 4; i++) {
            const int h = hex_value(p_[i]);
            if (h < 0) return -1;
            c = c * 16 + h;
        }
        p_ += 4;
        return c;
    }

    /// Append the code points of the valid UTF-8 in [s, e).
    void append_utf8(const unsigned char *s, const unsigned char *e) {
        while (s < e) {
            const unsigned char c = *s;
            if (c < 0x80) {
                chars_.push_back(c);
                s++;
            } else if (c < 0xE0) {
                chars_.push_back(((c & 0x1F) << 6) | (s[1] & 0x3F));
                s += 2;
            } else if (c < 0xF0) {
                chars_.push_back(((c & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F));
                s += 3;
            } else {
                chars_.push_back(((c & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) |
                                 (s[3] & 0x3F));
                s += 4;
            }
        }
    }

    TraceState &st_;
    const unsigned char *p_, *end_;
    const Py_ssize_t max_depth_;
    std::vector<Py_UCS4> chars_;
};

}  // namespace

void init_event_parser(TraceState &st) {
    if (st.json_constants) return;
    Ref decoder = import_module("json.decoder");
    st.json_constants = import_from(decoder.get(), "_CONSTANTS").release();
}

Ref parse_event_line(TraceState &st, const char *s, size_t n, Py_ssize_t max_depth) {
    return Parser(st, s, n, max_depth).event();
}

bool parsing_agrees(TraceState &st, PyObject *routes) {
    Ref same = getattr(routes, st.str_same);
    Ref validate = getattr(st.trace_event_cls, st.str_model_validate);
    int compared = 0;
    bool agrees = true;
    auto check = [&](PyObject *line) {
        if (!agrees) return;
        Py_ssize_t n;
        const char *text = PyUnicode_AsUTF8AndSize(line, &n);
        if (!text) throw PyErrSet{};
        Ref mine = parse_event_line(st, text, static_cast<size_t>(n), kMaxDepth);
        if (!mine) return;
        Ref parsed = require(PyObject_CallOneArg(st.json_loads, line));
        Ref theirs = require(PyObject_CallOneArg(validate.get(), parsed.get()));
        Ref verdict = require(PyObject_CallFunctionObjArgs(same.get(), mine.get(), theirs.get(), nullptr));
        agrees = verdict.get() == Py_True;
        compared++;
    };
    for_each(getattr(routes, st.str_probe_lines).get(), check);
    for_each(getattr(routes, st.str_native_probe_lines).get(), check);
    return agrees && compared > 0;
}

}  // namespace orrinth::trace
