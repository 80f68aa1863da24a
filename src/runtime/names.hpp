// Interned Python strings named by C++ string literals, made once per literal.
//
//   s.global<"requests">()    obj.attr(id<"get">())
//
// A name used on a hot path costs one static load instead of building and hashing a
// new str on every call.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>

namespace kr {

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

inline PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) nanobind::raise_python_error();
    return s;
}

// Borrowed reference to the interned str for S; it lives as long as the process.
// A failure to make it raises, and the next use tries again.
template <Literal S>
PyObject* id() {
    static PyObject* const interned = intern(S.text);
    return interned;
}

}  // namespace kr
