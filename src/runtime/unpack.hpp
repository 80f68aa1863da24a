// `a, b = value`: unpacking with the interpreter's errors for the wrong number of items.
#pragma once

#include <array>

#include "runtime/values.hpp"

namespace kr {

template <std::size_t N>
std::array<nb::object, N> unpack(nb::handle value) {
    std::array<nb::object, N> items;
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        nb::raise_python_error();
    }
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred()) nb::raise_python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
            nb::raise_python_error();
        }
        items[i] = nb::steal(item);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
        nb::raise_python_error();
    }
    if (PyErr_Occurred()) nb::raise_python_error();
    return items;
}

}  // namespace kr
