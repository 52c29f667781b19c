// src/orrinth/trace/json_writer.cpp: the JSON text of an event written here, byte for byte
// what TraceEvent's pydantic serializer writes, for events that hold plain JSON data only.
//
// The serializer's format, as the import-time probe (orrinth._jsonl_routes) checks it:
// - no whitespace; the eight fields in declaration order;
// - str: `"` and `\` escaped with a backslash, \b \t \n \f \r as such, the other control
//   characters below 0x20 as \u00xx (lowercase hex); everything else (0x7f, `/`, non-ASCII)
//   as UTF-8. A str holding a lone surrogate has no UTF-8 form: the serializer fails on it.
// - float: NaN and the infinities as null; otherwise the shortest digits that read back as
//   the same double, laid out by the decimal exponent P (the value is 0.DIGITS × 10^P):
//   -5 < P <= 0 as 0.000DIGITS, 0 < P <= 16 in plain notation with at least one digit after
//   the point (1700000000.0), else as D.IGITSe+X / D.IGITSe-X (1e+16, 1.5e-7, 5e-324).
// - int, bool, None: decimal digits, true, false, null.
//
// Only exact types are taken (dict with exact str keys, list, str, int within 64 bits,
// float, bool, None), to a bounded depth; anything else, and any value the serializer
// fails or warns on, makes the whole event go through the serializer instead. The walk runs
// no Python code and makes no Python objects (so no garbage collection, no finalizer, no
// other thread can run while it reads the containers), apart from the float digits that
// the interpreter's own formatting gives for the doubles that the exact search below does
// not settle; that call makes no object either.
#include "trace.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace orrinth::trace {
namespace {

/// Containers nested deeper than this inside `data` go through the serializer (which
/// itself refuses nesting beyond about 255 levels, and cycles).
constexpr int kMaxDepth = 32;

/// For a character below 0x80 in a string: 0 written as it is, 'u' written as \u00xx,
/// any other letter written as a backslash and that letter.
constexpr std::array<char, 128> make_escapes() {
    std::array<char, 128> e{};
    for (int c = 0; c < 0x20; c++) e[c] = 'u';
    e['\b'] = 'b';
    e['\t'] = 't';
    e['\n'] = 'n';
    e['\f'] = 'f';
    e['\r'] = 'r';
    e['"'] = '"';
    e['\\'] = '\\';
    return e;
}
constexpr std::array<char, 128> kEscape = make_escapes();

void write_escape(char c, ByteBuffer &out) {
    const char letter = kEscape[static_cast<unsigned char>(c)];
    if (letter != 'u') {
        const char two[2] = {'\\', letter};
        out.append(two, 2);
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    const char six[6] = {'\\', 'u', '0', '0', hex[(c >> 4) & 0xf], hex[c & 0xf]};
    out.append(six, 6);
}

/// The characters of a string of one kind, escaped and encoded as UTF-8. False for a
/// surrogate code point (not encodable).
template <class Ch>
bool write_chars(const Ch *s, Py_ssize_t n, ByteBuffer &out) {
    Py_ssize_t i = 0;
    while (i < n) {
        const Py_ssize_t run = i;
        while (i < n && s[i] < 0x80 && !kEscape[s[i]]) i++;
        if (i > run) {
            if constexpr (sizeof(Ch) == 1) {
                out.append(reinterpret_cast<const char *>(s + run), static_cast<size_t>(i - run));
            } else {
                for (Py_ssize_t j = run; j < i; j++) out.push_back(static_cast<char>(s[j]));
            }
        }
        if (i == n) break;
        const Py_UCS4 c = s[i++];
        if (c < 0x80) {
            write_escape(static_cast<char>(c), out);
        } else if (c < 0x800) {
            const char b[2] = {static_cast<char>(0xc0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3f))};
            out.append(b, 2);
        } else if (c < 0x10000) {
            if (c >= 0xd800 && c <= 0xdfff) return false;
            const char b[3] = {static_cast<char>(0xe0 | (c >> 12)),
                               static_cast<char>(0x80 | ((c >> 6) & 0x3f)),
                               static_cast<char>(0x80 | (c & 0x3f))};
            out.append(b, 3);
        } else {
            const char b[4] = {static_cast<char>(0xf0 | (c >> 18)),
                               static_cast<char>(0x80 | ((c >> 12) & 0x3f)),
                               static_cast<char>(0x80 | ((c >> 6) & 0x3f)),
                               static_cast<char>(0x80 | (c & 0x3f))};
            out.append(b, 4);
        }
    }
    return true;
}

/// An exact str as a JSON string; false when it holds a lone surrogate.
bool write_str(PyObject *s, ByteBuffer &out) {
#if !ORRINTH_API_312
    if (PyUnicode_READY(s) < 0) throw PyErrSet{};
#endif
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.push_back('"');
    bool ok;
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: ok = write_chars(PyUnicode_1BYTE_DATA(s), n, out); break;
    case PyUnicode_2BYTE_KIND: ok = write_chars(PyUnicode_2BYTE_DATA(s), n, out); break;
    default: ok = write_chars(PyUnicode_4BYTE_DATA(s), n, out); break;
    }
    out.push_back('"');
    return ok;
}

/// An exact int; false when it does not fit in 64 bits (the serializer takes those).
bool write_int(PyObject *v, ByteBuffer &out) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) return false;
    if (x == -1 && PyErr_Occurred()) throw PyErrSet{};
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, x);
    out.append(buf, static_cast<size_t>(r.ptr - buf));
    return true;
}

/// The shortest decimal digits of a positive finite double: the value read back from
/// 0.DIGITS × 10^point is the double. At most 17 digits, no leading or trailing zero.
struct Digits {
    char d[20];
    int n = 0;
    int point = 0;

    /// From a decimal integer m whose value is m × 10^-k.
    void set(uint64_t m, int k) {
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, m);
        n = static_cast<int>(r.ptr - buf);
        point = n - k;
        while (n > 1 && buf[n - 1] == '0') n--;
        std::memcpy(d, buf, static_cast<size_t>(n));
    }
};

#ifdef __SIZEOF_INT128__
using u128 = unsigned __int128;

/// The shortest digits of `x` (positive, finite) found with exact integer arithmetic, for
/// the doubles below 2^53 whose digits end within 19 places after the point (timestamps,
/// amounts: most values a trace holds). For k = 0, 1, 2, ... the integers next to
/// x × 10^k are tried: the first k at which one of them reads back as x gives the fewest
/// digits, and of two that both do, the one nearer to x is the shortest representation.
/// False for any other double, and for a tie between two such integers.
bool exact_shortest(double x, Digits &out) {
    if (!(x < 9007199254740992.0)) return false;  // 2^53
    int e2;
    const double frac = std::frexp(x, &e2);  // x = frac × 2^e2, frac in [0.5, 1)
    const int shift = 53 - e2;               // x = mant / 2^shift
    if (shift > 120) return false;
    const uint64_t mant = static_cast<uint64_t>(std::ldexp(frac, 53));
    const bool even = (mant & 1) == 0;
    // A power of two has its lower neighbour at half the distance of the upper one.
    const bool narrow_below = mant == (uint64_t{1} << 52);
    uint64_t p10 = 1;
    for (int k = 0; k <= 19; k++, p10 *= 10) {
        // In units of 2^-(shift + 1) / 10^k, x × 10^k is 2t; half the gap to x's upper
        // neighbour is p10 (half of that to the lower one for a power of two). A decimal
        // reads back as x when it lies within the gaps (on a bound: when x is even).
        const u128 t = static_cast<u128>(mant) * p10;
        const u128 two_t = t << 1;
        const u128 below = t >> shift;  // floor(x × 10^k)
        const u128 below_dist = two_t - (below << (shift + 1));
        const u128 above_dist = ((below + 1) << (shift + 1)) - two_t;
        const u128 below_limit = narrow_below ? u128{p10} : u128{p10} << 1;
        const bool below_ok = below > 0 && (below_dist * 2 < below_limit ||
                                            (even && below_dist * 2 == below_limit));
        const bool above_ok = below_dist != 0 &&
                              (above_dist < p10 || (even && above_dist == p10));
        if (!below_ok && !above_ok) continue;
        u128 m;
        if (below_ok && above_ok) {
            if (below_dist == above_dist) return false;
            m = below_dist < above_dist ? below : below + 1;
        } else {
            m = below_ok ? below : below + 1;
        }
        if (m >= 100000000000000000ULL) return false;  // more than 17 digits: not shortest
        out.set(static_cast<uint64_t>(m), k);
        return true;
    }
    return false;
}
#else
bool exact_shortest(double, Digits &) { return false; }
#endif

/// The shortest digits of `x` (positive, finite) as the interpreter's repr() finds them.
void repr_shortest(double x, Digits &out) {
    char *text = PyOS_double_to_string(x, 'r', 0, 0, nullptr);
    if (!text) throw PyErrSet{};
    char all[32];
    int n = 0, point = 0;
    bool after_point = false;
    const char *p = text;
    for (; *p && *p != 'e'; p++) {
        if (*p == '.') {
            after_point = true;
        } else if (n == 0 && *p == '0') {
            if (after_point) point--;  // a leading zero after the point
        } else if (n < static_cast<int>(sizeof all)) {
            all[n++] = *p;
            if (!after_point) point++;
        }
    }
    if (*p == 'e') point += std::atoi(p + 1);
    PyMem_Free(text);
    while (n > 1 && all[n - 1] == '0') n--;
    if (n == 0 || n > 17) throw std::runtime_error("unexpected float repr");
    std::memcpy(out.d, all, static_cast<size_t>(n));
    out.n = n;
    out.point = point;
}

void write_float(double x, ByteBuffer &out) {
    if (!std::isfinite(x)) {
        out.append("null", 4);
        return;
    }
    if (std::signbit(x)) out.push_back('-');
    x = std::fabs(x);
    if (x == 0) {
        out.append("0.0", 3);
        return;
    }
    Digits g;
    if (!exact_shortest(x, g)) repr_shortest(x, g);
    const char *d = g.d;
    const int n = g.n, point = g.point;
    if (point > -5 && point <= 0) {  // 0.00DIGITS
        out.append("0.", 2);
        out.append(static_cast<size_t>(-point), '0');
        out.append(d, static_cast<size_t>(n));
    } else if (point > 0 && point <= 16) {
        if (n <= point) {  // DIGITS000.0
            out.append(d, static_cast<size_t>(n));
            out.append(static_cast<size_t>(point - n), '0');
            out.append(".0", 2);
        } else {  // DIG.ITS
            out.append(d, static_cast<size_t>(point));
            out.push_back('.');
            out.append(d + point, static_cast<size_t>(n - point));
        }
    } else {  // D.IGITSe+X, De-X
        out.push_back(d[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(d + 1, static_cast<size_t>(n - 1));
        }
        const int exp = point - 1;
        out.append(exp < 0 ? "e-" : "e+", 2);
        char buf[8];
        const auto r = std::to_chars(buf, buf + sizeof buf, exp < 0 ? -exp : exp);
        out.append(buf, static_cast<size_t>(r.ptr - buf));
    }
}

bool write_value(PyObject *v, ByteBuffer &out, int depth);

bool write_dict(PyObject *dict, ByteBuffer &out, int depth) {
    out.push_back('{');
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (!first) out.push_back(',');
        first = false;
        if (!write_str(key, out)) return false;
        out.push_back(':');
        if (!write_value(value, out, depth)) return false;
    }
    out.push_back('}');
    return true;
}

bool write_value(PyObject *v, ByteBuffer &out, int depth) {
    PyTypeObject *type = Py_TYPE(v);
    if (type == &PyUnicode_Type) return write_str(v, out);
    if (type == &PyLong_Type) return write_int(v, out);
    if (type == &PyFloat_Type) {
        write_float(PyFloat_AS_DOUBLE(v), out);
        return true;
    }
    if (v == Py_None || v == Py_True || v == Py_False) {
        out.append(v == Py_None ? "null" : v == Py_True ? "true" : "false",
                   v == Py_False ? 5 : 4);
        return true;
    }
    if (type == &PyDict_Type) return depth < kMaxDepth && write_dict(v, out, depth + 1);
    if (type == &PyList_Type) {
        if (depth >= kMaxDepth) return false;
        out.push_back('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); i++) {
            if (i) out.push_back(',');
            if (!write_value(PyList_GET_ITEM(v, i), out, depth + 1)) return false;
        }
        out.push_back(']');
        return true;
    }
    return false;
}

/// One field's value as the serializer writes it; false where it would not.
__attribute__((always_inline)) inline bool write_field(FieldKind kind, PyObject *v, ByteBuffer &out) {
    switch (kind) {
    case FieldKind::event_kind:
        return write_str(v, out);
    case FieldKind::integer:
        return write_int(v, out);
    case FieldKind::optional_str:
        if (v != Py_None) return write_str(v, out);
        out.append("null", 4);
        return true;
    case FieldKind::dict:
        return write_dict(v, out, 0);
    case FieldKind::real:
        write_float(PyFloat_AS_DOUBLE(v), out);
        return true;
    }
    return false;
}

}  // namespace

bool write_event_json(PyObject *const fields[kEventFieldCount], ByteBuffer &out) {
    // `{"type":` opens the object, `,"turn":` and the rest follow: the same length.
#define ORRINTH_WRITE_FIELD(name, annotation, kind, dflt)                                   \
    out.append(kField_##name == 0 ? "{\"" #name "\":" : ",\"" #name "\":",                  \
               sizeof(",\"" #name "\":") - 1);                                              \
    if (!write_field(FieldKind::kind, fields[kField_##name], out)) return false;
    ORRINTH_TRACE_EVENT_FIELDS(ORRINTH_WRITE_FIELD)
#undef ORRINTH_WRITE_FIELD
    out.push_back('}');
    return true;
}

}  // namespace orrinth::trace
