// Helpers over Python values that the module sources and the runtime share: errors of the
// C API, attribute reads, `raise`, truth, and the text of values.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

#include "runtime/names.hpp"

namespace kr {

namespace nb = nanobind;

// The result of a C-API call that returns a new reference, or its exception.
inline nb::object checked(PyObject* result) {
    if (!result) nb::raise_python_error();
    return nb::steal(result);
}

// `obj.S`. For a plain module this is the module dict's entry: the module type and object,
// which cannot be changed, define only dunder names, so the generic lookup could find
// nothing else first. The shortcut spares hot paths the interpreter's method-call set-up.
template <Literal S>
nb::object attribute(nb::handle obj) {
    static_assert(!(S.text[0] == '_' && S.text[1] == '_'), "dunder names go through the generic lookup");
    if (PyModule_CheckExact(obj.ptr())) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(obj.ptr()), id<S>());
        if (found) return nb::borrow(found);
        if (PyErr_Occurred()) nb::raise_python_error();
    }
    return checked(PyObject_GetAttr(obj.ptr(), id<S>()));
}

// `raise error`: an exception instance is raised as it is, an exception class is
// instantiated first; anything else is a TypeError, as the statement makes it.
[[noreturn]] void raise(nb::handle error);

// Inside a catch block: turns the C++ exception in flight into the Python error it
// stands for, so that the caller can return the error indicator.
void set_error_from_current_exception() noexcept;

// The truth of `value`, as `if value:` judges it.
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) nb::raise_python_error();
    return result != 0;
}

// `value == text`, as Python compares them. An exact str is compared in place, running no
// code; anything else through its __eq__.
bool equals_text(nb::handle value, const char* text);

// `format(value, "")`: what an f-string field makes of a value.
nb::str text_of(nb::handle value);

// The texts one after the other, as `a + b + c` makes them of str values.
nb::str concat(std::initializer_list<nb::handle> parts);

}  // namespace kr
