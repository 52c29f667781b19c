// include/orrinth_native/arguments.hpp: binding call arguments to parameters, and every
// argument error the native functions raise: arity and keyword errors worded as ceval.c
// words them for a Python function, and the exact-type test of typed parameters.
//
// The error formatters are cold and never inlined: they run once per failed call, and
// keeping them out of line keeps the binder that runs on every call small. They take the
// signature's parts as separate arguments: a Signature whose address escaped into them
// would be stored to the stack on every call.
#pragma once

#include "error.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace orrinth {

/// The largest number of parameters a native function may declare.
inline constexpr int kMaxParams = 8;

/// What the binder needs to know of a function: all its parameters are
/// positional-or-keyword, the last `defaults` of them have defaults. The members refer
/// to the function's own fields, so that each is read only where the binder needs it.
struct Signature {
    PyObject *const &qualname;  // str, used in the messages
    PyObject *const &names;     // tuple of interned parameter names
    PyObject *const &defaults;  // tuple, or nullptr for none
    const int &argcount;        // the size of `names`
};

namespace detail {

/// ceval.c too_many_positional(), for functions without keyword-only parameters.
[[gnu::cold, gnu::noinline]] inline void too_many_positional(PyObject *qualname,
                                                             PyObject *names,
                                                             PyObject *defaults,
                                                             Py_ssize_t given) {
    Py_ssize_t argcount = PyTuple_GET_SIZE(names);
    Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    bool plural;
    Ref takes;
    if (defcount) {
        plural = true;
        takes = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        takes = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    if (!takes) return;
    // No keyword-only parameters here, so ceval's "(and N keyword-only ...)" part is empty.
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 qualname, takes.get(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

/// ceval.c missing_arguments() + format_missing() for positional parameters: the
/// parameters before `upto` that `slots` leaves empty.
[[gnu::cold, gnu::noinline]] inline void missing_arguments(PyObject *qualname,
                                                           PyObject *params,
                                                           PyObject *const *slots,
                                                           Py_ssize_t upto) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = 0; i < upto; i++) {
        if (slots[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(params, i)));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = Ref::new_ref(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U",
                                                   PyList_GET_ITEM(names.get(), len - 2),
                                                   PyList_GET_ITEM(names.get(), len - 1)));
        if (!tail) return;
        Ref head_list = Ref::steal(PyList_GetSlice(names.get(), 0, len - 2));
        if (!head_list) return;
        Ref sep = Ref::steal(PyUnicode_FromString(", "));
        if (!sep) return;
        Ref head = Ref::steal(PyUnicode_Join(sep.get(), head_list.get()));
        if (!head) return;
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", qualname,
                 (int)len, "positional", len == 1 ? "" : "s", text.get());
}

[[gnu::cold, gnu::noinline]] inline void keywords_must_be_strings(PyObject *qualname) {
    PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", qualname);
}

#if ORRINTH_KEYWORD_SUGGESTIONS
/// The edit distance of Python/suggestions.c: moves cost 2, a substitution that only
/// flips an ASCII letter's case costs 1; above `max_cost` the result is max_cost + 1.
inline size_t suggestion_distance(const char *a, size_t a_size, const char *b, size_t b_size,
                                  size_t max_cost) {
    constexpr size_t kMoveCost = 2, kCaseCost = 1, kMaxStringSize = 40;
    while (a_size && b_size && a[0] == b[0]) a++, b++, a_size--, b_size--;
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) a_size--, b_size--;
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) std::swap(a, b), std::swap(a_size, b_size);
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    auto substitution = [](char x, char y) -> size_t {
        if ((x & 31) != (y & 31)) return kMoveCost;
        if (x == y) return 0;
        if ('A' <= x && x <= 'Z') x += 'a' - 'A';
        if ('A' <= y && y <= 'Z') y += 'a' - 'A';
        return x == y ? kCaseCost : kMoveCost;
    };
    size_t row[kMaxStringSize];
    for (size_t i = 0; i < a_size; i++) row[i] = (i + 1) * kMoveCost;
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; bi++) {
        size_t distance = result = bi * kMoveCost, minimum = SIZE_MAX;
        for (size_t ai = 0; ai < a_size; ai++) {
            const size_t substitute = distance + substitution(b[bi], a[ai]);
            distance = row[ai];
            result = std::min(std::min(result, distance) + kMoveCost, substitute);
            row[ai] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

/// The parameter name that 3.13's binder suggests for the unknown keyword `kw`, as
/// Python/suggestions.c chooses it: the first closest name within a third of the
/// characters involved. Empty when there is none; an error (a name with no UTF-8
/// form) means no suggestion, as it does in the interpreter.
inline Ref keyword_suggestion(const Signature &sig, PyObject *kw) {
    Py_ssize_t kw_size;
    const char *kw_text = PyUnicode_AsUTF8AndSize(kw, &kw_size);
    if (!kw_text) {
        PyErr_Clear();
        return Ref();
    }
    PyObject *best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sig.names); i++) {
        PyObject *name = PyTuple_GET_ITEM(sig.names, i);
        Py_ssize_t size;
        const char *text = PyUnicode_AsUTF8AndSize(name, &size);
        if (!text) {
            PyErr_Clear();
            return Ref();
        }
        if (size == kw_size && std::memcmp(text, kw_text, static_cast<size_t>(size)) == 0)
            continue;
        size_t max_distance = static_cast<size_t>(kw_size + size + 3) * 2 / 6;
        if (best_distance - 1 < max_distance) max_distance = best_distance - 1;
        const size_t d = suggestion_distance(kw_text, static_cast<size_t>(kw_size), text,
                                             static_cast<size_t>(size), max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) best = name, best_distance = d;
    }
    return Ref::new_ref(best);
}
#endif

[[gnu::cold, gnu::noinline]] inline void unexpected_keyword(const Signature &sig, PyObject *kw) {
#if ORRINTH_KEYWORD_SUGGESTIONS
    if (Ref suggestion = keyword_suggestion(sig, kw)) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     sig.qualname, kw, suggestion.get());
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", sig.qualname,
                 kw);
}

[[gnu::cold, gnu::noinline]] inline void multiple_values(PyObject *qualname, PyObject *kw) {
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname, kw);
}

/// Put each keyword argument into its parameter's slot, as ceval.c initialize_locals()
/// does. `values` are the keyword arguments' values, in the order of `kwnames`.
/// Returns false with an exception set on an unknown or repeated keyword.
inline bool bind_keywords(const Signature &sig, PyObject *kwnames, PyObject *const *values,
                          PyObject **slots) {
    const Py_ssize_t argcount = sig.argcount;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    PyObject *const *names = &PyTuple_GET_ITEM(sig.names, 0);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *kw = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(kw)) {
            keywords_must_be_strings(sig.qualname);
            return false;
        }
        Py_ssize_t j = 0;
        // As in ceval: interned names usually match by pointer.
        for (; j < argcount; j++)
            if (names[j] == kw) break;
        if (j == argcount) {
            // The comparison may run Python code (a str subclass's __eq__); the names
            // tuple is the function's own and immutable, so the walk stays valid.
            for (j = 0; j < argcount; j++) {
                int eq = PyObject_RichCompareBool(kw, names[j], Py_EQ);
                if (eq < 0) return false;
                if (eq) break;
            }
        }
        if (j == argcount) {
            unexpected_keyword(sig, kw);
            return false;
        }
        if (slots[j]) {
            multiple_values(sig.qualname, kw);
            return false;
        }
        slots[j] = values[k];
    }
    return true;
}

}  // namespace detail

/// Bind a vectorcall's arguments to `slots` (kMaxParams long, zeroed by the caller) as
/// ceval.c initialize_locals() does for a Python function whose parameters are all
/// positional-or-keyword, defaults filled in. Returns false with the interpreter's own
/// argument error set. The slots borrow from the caller's arguments and the defaults
/// (ref.hpp says why that holds for the whole call).
inline bool bind_arguments(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, PyObject **slots) {
    const Py_ssize_t argcount = sig.argcount;
    const Py_ssize_t npos = nargs < argcount ? nargs : argcount;
    for (Py_ssize_t i = 0; i < npos; i++) slots[i] = args[i];
    if (kwnames && !detail::bind_keywords(sig, kwnames, args + nargs, slots)) return false;
    if (nargs > argcount) {
        detail::too_many_positional(sig.qualname, sig.names, sig.defaults, nargs);
        return false;
    }
    if (nargs < argcount) {
        const Py_ssize_t defcount = sig.defaults ? PyTuple_GET_SIZE(sig.defaults) : 0;
        const Py_ssize_t m = argcount - defcount;
        for (Py_ssize_t i = nargs; i < m; i++) {
            if (!slots[i]) {
                detail::missing_arguments(sig.qualname, sig.names, slots, m);
                return false;
            }
        }
        for (Py_ssize_t i = 0; i < defcount; i++)
            if (!slots[m + i]) slots[m + i] = PyTuple_GET_ITEM(sig.defaults, i);
    }
    return true;
}

/// The note that follows the argument type error when a subclass instance was given.
inline constexpr const char *kSubclassNote =
    "Instances of subclasses of built-in types are refused here. "
    "Convert the value to the exact built-in type first.";

/// `text` (UTF-8) cut to at most `max` bytes, never inside a character: "%.200s" would
/// cut a multi-byte character in two and show a replacement character in its place.
inline Ref utf8_prefix(const char *text, size_t max = 200) {
    size_t n = 0;
    while (n < max && text[n] != '\0') n++;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    return require(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), "replace"));
}

/// Raise the argument type error: "Argument 'param' has incorrect type (expected
/// `expected`, got `got`)", each name cut to 200 bytes; `subclass` adds the note.
[[noreturn, gnu::cold, gnu::noinline]] inline void raise_incorrect_type(const char *param,
                                                                        const char *expected,
                                                                        const char *got,
                                                                        bool subclass) {
    Ref p = utf8_prefix(param), e = utf8_prefix(expected), g = utf8_prefix(got);
    if (subclass)
        PyErr_Format(PyExc_TypeError, "Argument '%U' has incorrect type (expected %U, got %U). %s",
                     p.get(), e.get(), g.get(), kSubclassNote);
    else
        PyErr_Format(PyExc_TypeError, "Argument '%U' has incorrect type (expected %U, got %U)",
                     p.get(), e.get(), g.get());
    throw PyErrSet{};
}

/// Argument type test for parameters declared with a built-in type: the object's
/// type must be exactly `expected` (or the object None, when `allow_none`).
inline void check_exact_type(PyObject *obj, PyTypeObject *expected, const char *param,
                             bool allow_none = false) {
    if (Py_IS_TYPE(obj, expected) || (allow_none && obj == Py_None)) return;
    raise_incorrect_type(param, expected->tp_name, Py_TYPE(obj)->tp_name,
                         PyObject_TypeCheck(obj, expected));
}

}  // namespace orrinth
