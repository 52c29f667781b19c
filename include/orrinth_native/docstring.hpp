// include/orrinth_native/docstring.hpp: docstrings as the running interpreter's compiler
// stores them, for the functions and classes that the modules build instead of compiling.
#pragma once

#include "error.hpp"

#include <string>

namespace orrinth {

/// The docstring `text` (UTF-8) as a `def` or class statement would store it. Up to 3.12
/// the compiler keeps it unchanged; from 3.13 on it expands tabs and removes the common
/// leading spaces of the lines after the first (blank lines do not count) and the leading
/// spaces of the first line, as Python/compile.c _PyCompile_CleanDoc does.
inline Ref compiled_docstring(const char *text) {
    Ref doc = require(PyUnicode_FromString(text));
#if ORRINTH_DOCSTRINGS_DEDENTED
    doc = require(PyObject_CallMethod(doc.get(), "expandtabs", nullptr));
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(doc.get(), &size);
    if (!utf8) throw PyErrSet{};
    const char *p = utf8, *const end = utf8 + size;

    // The smallest indentation of a non-blank line after the first.
    while (p < end && *p++ != '\n') {
    }
    size_t margin = std::string::npos;
    while (p < end) {
        const char *line = p;
        while (p < end && *p == ' ') p++;
        if (p < end && *p != '\n' && static_cast<size_t>(p - line) < margin) margin = p - line;
        while (p < end && *p++ != '\n') {
        }
    }
    if (margin == std::string::npos) margin = 0;

    p = utf8;
    while (p < end && *p == ' ') p++;
    if (p == utf8 && margin == 0) return doc;  // nothing to remove

    std::string out;
    out.reserve(static_cast<size_t>(size));
    while (p < end) {  // the first line, without its leading spaces
        const char c = *p++;
        out += c;
        if (c == '\n') break;
    }
    while (p < end) {  // every other line, without the margin
        for (size_t i = 0; i < margin && p < end && *p == ' '; i++) p++;
        while (p < end) {
            const char c = *p++;
            out += c;
            if (c == '\n') break;
        }
    }
    doc = require(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
#endif
    return doc;
}

}  // namespace orrinth
