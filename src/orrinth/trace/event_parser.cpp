// src/orrinth/trace/event_parser.cpp: lines of the exact shape made into events without a
// dict in between. What is accepted gives exactly what json.loads gives for it (numbers
// through the interpreter's own conversions, every string escape, duplicate keys keeping
// the first position and the last value, the constants json hands out); anything else,
// including everything json.loads would refuse, is left to the other routes.
#include "native_reader.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
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

constexpr size_t text_length(const char *s) {
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

/// TraceEvent's field names in declaration order, as the keys of a line spell them.
struct FieldKey {
    const char *name;
    size_t length;
};
constexpr FieldKey kFieldKeys[kEventFieldCount] = {
#define ORRINTH_FIELD_KEY(name, annotation, kind, dflt) {#name, text_length(#name)},
    ORRINTH_TRACE_EVENT_FIELDS(ORRINTH_FIELD_KEY)
#undef ORRINTH_FIELD_KEY
};

/// A field's name and its closing quote as sixteen bytes loaded as two words, and the
/// masks of the bytes that count (the names are at most 15 bytes long).
struct KeyImage {
    uint64_t lo, hi, lo_mask, hi_mask;
};

struct KeyImages {
    KeyImage keys[kEventFieldCount];
    KeyImages() {
        for (int i = 0; i < kEventFieldCount; i++) {
            unsigned char bytes[16] = {}, mask[16] = {};
            const size_t n = kFieldKeys[i].length;
            std::memcpy(bytes, kFieldKeys[i].name, n);
            bytes[n] = '"';
            std::memset(mask, 0xFF, n + 1);
            std::memcpy(&keys[i].lo, bytes, 8);
            std::memcpy(&keys[i].hi, bytes + 8, 8);
            std::memcpy(&keys[i].lo_mask, mask, 8);
            std::memcpy(&keys[i].hi_mask, mask + 8, 8);
        }
    }
};
const KeyImages kKeyImages;

static_assert([] {
    for (const FieldKey &key : kFieldKeys)
        if (key.length > 15) return false;
    return true;
}(), "a field name does not fit the sixteen bytes compared");

}  // namespace

/// Small objects whose keys, the very str objects, came in the same order before: each
/// such order is kept as a template, the dict that inserting those keys one by one into a
/// new dict makes (as json.loads builds an object), with None for every value. Copying it
/// and putting the values in place (orrinth_fill_fresh_copy) gives the same keys, order
/// and table as the insertions; anything else takes the insertions.
class DictShapes {
  public:
    static constexpr int kMaxKeys = 8;

    DictShapes() = default;
    DictShapes(const DictShapes &) = delete;
    DictShapes &operator=(const DictShapes &) = delete;
    ~DictShapes() {
        for (Shape &shape : shapes_) Py_XDECREF(shape.tmpl);
    }

    /// The dict json.loads makes of the pairs keys[i]: values[i], 0 < n <= kMaxKeys, each
    /// key an exact str.
    Ref make(const Ref *keys, const Ref *values, int n) {
        PyObject *raw_keys[kMaxKeys], *raw_values[kMaxKeys];
        for (int i = 0; i < n; i++) {
            raw_keys[i] = keys[i].get();
            raw_values[i] = values[i].get();
        }
#if ORRINTH_DICT_LAYOUT_KNOWN
        if (PyObject *tmpl = shape_of(raw_keys, n)) {
            Ref d = require(PyDict_Copy(tmpl));
            if (orrinth_fill_fresh_copy(d.get(), tmpl, raw_keys, raw_values, n)) {
                bool track = false;
                for (int i = 0; i < n; i++) track = track || gc_tracks_dict_of(raw_values[i]);
                if (track && !PyObject_GC_IsTracked(d.get())) PyObject_GC_Track(d.get());
                return d;
            }
        }
#endif
        Ref d = require(PyDict_New());
        for (int i = 0; i < n; i++) require(PyDict_SetItem(d.get(), raw_keys[i], raw_values[i]));
        return d;
    }

  private:
    struct Shape {
        PyObject *tmpl = nullptr;  // holds the keys, so that none of them can be another object's address
        int n = 0;
        PyObject *keys[kMaxKeys] = {};
    };
    static constexpr int kShapeBits = 6;

    /// The template of the keys, made now if the slot holds another; null when the keys
    /// repeat one another (a later pair then overwrites an earlier one's value).
    PyObject *shape_of(PyObject *const *keys, int n) {
        uint64_t h = static_cast<uint64_t>(n);
        for (int i = 0; i < n; i++) h = (h ^ reinterpret_cast<uintptr_t>(keys[i])) * 0x9E3779B97F4A7C15ULL;
        Shape &shape = shapes_[h >> (64 - kShapeBits)];
        if (shape.tmpl && shape.n == n && std::equal(keys, keys + n, shape.keys)) return shape.tmpl;
        Ref tmpl = require(PyDict_New());
        for (int i = 0; i < n; i++) require(PyDict_SetItem(tmpl.get(), keys[i], Py_None));
        if (PyDict_GET_SIZE(tmpl.get()) != n) return nullptr;
        // Only str keys and None: nothing the collector need look at.
        if (PyObject_GC_IsTracked(tmpl.get())) PyObject_GC_UnTrack(tmpl.get());
        Py_XSETREF(shape.tmpl, tmpl.release());
        shape.n = n;
        std::copy(keys, keys + n, shape.keys);
        return shape.tmpl;
    }

    Shape shapes_[size_t{1} << kShapeBits];
};

/// What the lines of one file share: short strings seen before, reused (a str is
/// immutable, so one object may stand for every occurrence of its text), and the shapes
/// of small objects.
class StringCache {
  public:
    static constexpr size_t kMaxLength = 24;

    StringCache() = default;
    StringCache(const StringCache &) = delete;
    StringCache &operator=(const StringCache &) = delete;
    ~StringCache() {
        for (Slot &slot : slots_) Py_XDECREF(slot.str);
    }

    /// The str of the valid UTF-8 `s[0:n]`, n <= kMaxLength; `readable` bytes may be read
    /// from s on (n of them at least).
    DictShapes shapes;

    Ref get(const unsigned char *s, size_t n, size_t readable) {
        Text text;
        text.length = n;
        load(text.words, s, n, readable);
        // Slot by the top bits of a multiplicative hash of the zero-padded words and the
        // length (the three products independent of one another).
        const uint64_t h = (text.words[0] * kMix) ^ (text.words[1] * kMix2) ^ (text.words[2] * kMix3) ^ n;
        Slot &slot = slots_[((h ^ (h >> 32)) * kMix) >> (64 - kSlotBits)];
        if (slot.str && slot.text.length == n && slot.text.words[0] == text.words[0] &&
            slot.text.words[1] == text.words[1] && slot.text.words[2] == text.words[2])
            return Ref::new_ref(slot.str);
        Ref str = require(PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(s), static_cast<Py_ssize_t>(n),
                                               nullptr));
        Py_XSETREF(slot.str, Py_NewRef(str.get()));
        slot.text = text;
        return str;
    }

  private:
    static constexpr int kWords = 3;
    static_assert(kMaxLength == kWords * 8);
    static constexpr int kSlotBits = 9;
    static constexpr uint64_t kMix = 0x9E3779B97F4A7C15ULL, kMix2 = 0xC2B2AE3D27D4EB4FULL,
                              kMix3 = 0x165667B19E3779F9ULL;
    struct Text {
        size_t length = 0;
        uint64_t words[kWords] = {};  // the bytes, zero past the length
    };
    struct Slot {
        PyObject *str = nullptr;
        Text text;
    };

    /// The n bytes at s as kWords words, zero past them (as memcpy into zeroed words gives).
    static void load(uint64_t (&words)[kWords], const unsigned char *s, size_t n, size_t readable) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (readable >= kMaxLength) {  // whole words, masked past n (the first byte lowest)
            for (int i = 0; i < kWords; i++) {
                uint64_t w;
                std::memcpy(&w, s + 8 * i, 8);
                const size_t left = n > 8u * i ? n - 8u * i : 0;
                words[i] = left >= 8 ? w : left == 0 ? 0 : w & ((uint64_t{1} << (8 * left)) - 1);
            }
            return;
        }
#endif
        (void)readable;
        unsigned char bytes[kMaxLength] = {};
        std::memcpy(bytes, s, n);
        std::memcpy(words, bytes, sizeof bytes);
    }

    Slot slots_[size_t{1} << kSlotBits];
};

std::unique_ptr<StringCache, StringCacheDeleter> new_string_cache() {
    return std::unique_ptr<StringCache, StringCacheDeleter>(new StringCache());
}
void StringCacheDeleter::operator()(StringCache *cache) const { delete cache; }

namespace {

class Parser {
  public:
    Parser(TraceState &st, StringCache &strings, const char *s, size_t n, Py_ssize_t max_depth)
        : st_(st), strings_(strings), p_(reinterpret_cast<const unsigned char *>(s)), end_(p_ + n),
          max_depth_(std::min(max_depth, kMaxDepth)) {}

    Ref event() {
        ws();
        if (max_depth_ <= 1 || !take('{')) return Ref();
        Ref given[kEventFieldCount];
        ws();
        if (!take('}')) {
            do {
                ws();
                const int field = field_key();
                if (field < 0) return Ref();
                ws();
                if (!take(':')) return Ref();
                ws();
                Ref v = value(2);  // event_from_fields() checks the type of the last one
                if (!v) return Ref();
                given[field] = std::move(v);
                ws();
            } while (take(','));
            if (!take('}')) return Ref();
        }
        ws();
        if (p_ != end_) return Ref();
        PyObject *fields[kEventFieldCount];
        for (int i = 0; i < kEventFieldCount; i++) fields[i] = given[i].get();
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
    // The hot loops walk a local copy of p_: a store through an unsigned char pointer may
    // alias any object, so a member cursor would be stored and loaded again every byte.
    void ws() {
        if (p_ < end_ && *p_ > ' ') return;  // what the writer writes: no whitespace at all
        const unsigned char *q = p_, *const end = end_;
        while (q < end && (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r')) q++;
        p_ = q;
    }

    /// The position of the field the key at p_ names, or -1.
    int field_key() {
        if (!peek('"')) return -1;
        // Without escapes, a key is one of the names followed by its closing quote: the
        // sixteen bytes after the opening quote are compared with each name's image.
        if (end_ - p_ > 16) {
            uint64_t lo, hi;
            std::memcpy(&lo, p_ + 1, 8);
            std::memcpy(&hi, p_ + 9, 8);
            for (int i = 0; i < kEventFieldCount; i++) {
                const KeyImage &k = kKeyImages.keys[i];
                if (((lo ^ k.lo) & k.lo_mask) == 0 && ((hi ^ k.hi) & k.hi_mask) == 0) {
                    p_ += 2 + kFieldKeys[i].length;
                    return i;
                }
            }
        }
        const unsigned char *start = p_ + 1, *q = start, *const end = end_;
        while (q < end && *q != '"' && *q != '\\') q++;
        if (q < end && *q == '"') {  // no escapes: compare the bytes
            const size_t n = static_cast<size_t>(q - start);
            p_ = q + 1;
            for (int i = 0; i < kEventFieldCount; i++)
                if (kFieldKeys[i].length == n && kFieldKeys[i].name[0] == static_cast<char>(start[0]) &&
                    std::memcmp(kFieldKeys[i].name, start, n) == 0)
                    return i;
            return -1;
        }
        Ref key = string();
        if (!key) return -1;
        for (int i = 0; i < kEventFieldCount; i++)
            if (PyUnicode_CompareWithASCIIString(key.get(), kFieldKeys[i].name) == 0) return i;
        return -1;
    }

    /// A value nested `depth` levels deep (the line's object is level 1).
    Ref value(Py_ssize_t depth) {
        if (p_ >= end_) return Ref();
        switch (*p_) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': return string();
        case 't': return take_word("true") ? Ref::new_ref(Py_True) : Ref();
        case 'f': return take_word("false") ? Ref::new_ref(Py_False) : Ref();
        case 'n': return take_word("null") ? Ref::new_ref(Py_None) : Ref();
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
        return v ? Ref::new_ref(v) : Ref();
    }

    Ref object(Py_ssize_t depth) {
        if (depth >= max_depth_ || !take('{')) return Ref();
        ws();
        if (take('}')) return require(PyDict_New());
        // The first pairs are kept until the object ends (a small one is then made from
        // its shape); past them, the dict is made and the pairs go in as they come.
        Ref keys[DictShapes::kMaxKeys], values[DictShapes::kMaxKeys];
        int pairs = 0;
        Ref dict;
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
            if (!dict && pairs < DictShapes::kMaxKeys) {
                keys[pairs] = std::move(key);
                values[pairs] = std::move(v);
                pairs++;
            } else {
                if (!dict) {
                    dict = require(PyDict_New());
                    for (int i = 0; i < pairs; i++) require(PyDict_SetItem(dict.get(), keys[i].get(), values[i].get()));
                }
                require(PyDict_SetItem(dict.get(), key.get(), v.get()));
            }
            ws();
        } while (take(','));
        if (!take('}')) return Ref();
        return dict ? std::move(dict) : strings_.shapes.make(keys, values, pairs);
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
        const unsigned char *const start = p_, *const end = end_;
        const unsigned char *q = start;
        const bool negative = *q == '-';
        if (negative) q++;
        const unsigned char *const digits = q;
        // The value of the digits read so far, the point left out; it wraps once there are
        // more than 19, and is used only where the digits that count are few enough.
        uint64_t value = 0;
        if (q < end && *q == '0') {
            q++;
        } else if (q < end && is_digit(*q)) {
            do {
                value = value * 10 + static_cast<unsigned>(*q - '0');
                q++;
            } while (q < end && is_digit(*q));
        } else {
            return Ref();
        }
        const size_t int_digits = static_cast<size_t>(q - digits);
        const bool below_one = *digits == '0';
        size_t significant = below_one ? 0 : int_digits;  // digits from the first that is not 0
        size_t fraction_digits = 0;
        bool is_float = false;
        if (q < end && *q == '.') {
            const unsigned char *const fraction = ++q;
            if (q >= end || !is_digit(*q)) return Ref();
            if (below_one)
                while (q < end && *q == '0') q++;
            const unsigned char *const counted = q;
            while (q < end && is_digit(*q)) {
                value = value * 10 + static_cast<unsigned>(*q - '0');
                q++;
            }
            significant += static_cast<size_t>(q - counted);
            fraction_digits = static_cast<size_t>(q - fraction);
            is_float = true;
        }
        long exponent = 0;
        bool small_exponent = true;
        if (q < end && (*q == 'e' || *q == 'E')) {
            q++;
            const bool negative_exponent = q < end && *q == '-';
            if (q < end && (*q == '+' || *q == '-')) q++;
            if (q >= end || !is_digit(*q)) return Ref();
            const unsigned char *exp_digits = q;
            while (q < end && is_digit(*q)) q++;
            small_exponent = q - exp_digits <= 4;
            for (const unsigned char *e = exp_digits; small_exponent && e < q; e++)
                exponent = exponent * 10 + (*e - '0');
            if (negative_exponent) exponent = -exponent;
            is_float = true;
        }
        p_ = q;
        const size_t n = static_cast<size_t>(q - start);
        if (!is_float && int_digits <= kInt64Digits) {
            const auto v = static_cast<long long>(value);
            return require(PyLong_FromLongLong(negative ? -v : v));
        }
        if (!is_float && int_digits > kDigitsNeverRefused) return Ref();
        double d;
        if (is_float && small_exponent &&
            exact_double(negative, value, significant, exponent - static_cast<long>(fraction_digits), d))
            return require(PyFloat_FromDouble(d));
        std::string text(reinterpret_cast<const char *>(start), n);
        if (!is_float) return require(PyLong_FromString(text.c_str(), nullptr, 10));
        char *stop = nullptr;
        d = PyOS_string_to_double(text.c_str(), &stop, nullptr);
        if (d == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        if (stop != text.c_str() + n) return Ref();
        return require(PyFloat_FromDouble(d));
    }

    /// The value of a float token whose digits, the point left out, have the value
    /// `mantissa` (`significant` of them from the first that is not 0), times
    /// 10**exponent, when a single rounding gives it: at most 15 significant digits (an
    /// integer below 2**53, exact as a double) scaled by a power of ten of at most 22
    /// (exact too), so that the one multiplication or division is the correctly rounded
    /// value float() gives. False for any other token.
    static bool exact_double(bool negative, uint64_t mantissa, size_t significant, long exponent,
                             double &out) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        if (significant > 15 || exponent < -22 || exponent > 22) return false;
        double v = static_cast<double>(mantissa);
        v = exponent < 0 ? v / kPow10[-exponent] : v * kPow10[exponent];
        out = negative ? -v : v;
        return true;
    }

    /// The string at p_ (its opening quote), escapes resolved as json.loads resolves them.
    Ref string() {
        if (!take('"')) return Ref();
        const unsigned char *start = p_;
        p_ = plain_run(p_);
        if (peek('"')) {
            const auto n = static_cast<size_t>(p_ - start);
            p_++;
            if (n <= StringCache::kMaxLength)
                return strings_.get(start, n, static_cast<size_t>(end_ - start));
            return require(PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(start),
                                                static_cast<Py_ssize_t>(n), nullptr));
        }
        if (!peek('\\')) return Ref();  // a control character, or the line ends
        chars_.clear();
        append_utf8(start, p_);
        while (true) {
            const unsigned char *run = p_;
            p_ = plain_run(p_);
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

    /// Where the run of a string's characters that stand for themselves, from q on, ends:
    /// at a quote, a backslash, a control character or the end of the line.
    const unsigned char *plain_run(const unsigned char *q) const {
        const unsigned char *const end = end_;
        while (end - q >= 8) {
            uint64_t word;
            std::memcpy(&word, q, 8);
            // A byte is a quote, a backslash or below 0x20 (the usual zero-byte tests on
            // word ^ '"', word ^ '\\' and on word itself against 0x20).
            constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
            const uint64_t quote = word ^ (kOnes * '"'), slash = word ^ (kOnes * '\\');
            const uint64_t hits = ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) |
                                  ((word - kOnes * 0x20) & ~word);
            if (hits & kHigh) break;
            q += 8;
        }
        while (q < end && *q != '"' && *q != '\\' && *q >= 0x20) q++;
        return q;
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
    StringCache &strings_;
    const unsigned char *p_, *end_;
    const Py_ssize_t max_depth_;
    std::vector<Py_UCS4> chars_;
};

}  // namespace

bool init_event_parser(TraceState &st) {
    for (int i = 0; i < kEventFieldCount; i++)
        if (PyUnicode_CompareWithASCIIString(st.event_field_order[i], kFieldKeys[i].name) != 0) return false;
    if (st.json_constants) return true;
    Ref decoder = import_module("json.decoder");
    st.json_constants = import_from(decoder.get(), "_CONSTANTS").release();
    return true;
}

Ref parse_event_line(TraceState &st, StringCache &strings, const char *s, size_t n,
                     Py_ssize_t max_depth) {
    return Parser(st, strings, s, n, max_depth).event();
}

bool parsing_agrees(TraceState &st, PyObject *routes) {
    Ref same = getattr(routes, st.str_same);
    Ref validate = getattr(st.trace_event_cls, st.str_model_validate);
    StringCache strings;
    int compared = 0;
    bool agrees = true;
    auto check = [&](PyObject *line) {
        if (!agrees) return;
        Py_ssize_t n;
        const char *text = PyUnicode_AsUTF8AndSize(line, &n);
        if (!text) throw PyErrSet{};
        Ref mine = parse_event_line(st, strings, text, static_cast<size_t>(n), kMaxDepth);
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
