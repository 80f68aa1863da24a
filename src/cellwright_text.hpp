// Text building shared by the notebook assistant's sources.
#pragma once

#include <nanobind/nanobind.h>

namespace cellwright {

namespace nb = nanobind;

// A str built piece by piece in one growing buffer.
class TextWriter {
public:
    TextWriter() {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
    }
    ~TextWriter() { _PyUnicodeWriter_Dealloc(&writer_); }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // Room for `length` characters from the first write on, so that a long text whose
    // size is roughly known is not copied again each time it outgrows its buffer.
    void reserve(Py_ssize_t length) { writer_.min_length = length; }

    template <std::size_t N>
    void ascii(const char (&text)[N]) {
        if (_PyUnicodeWriter_WriteASCIIString(&writer_, text, N - 1) < 0) nb::raise_python_error();
    }
    void text(nb::handle str) {
        if (_PyUnicodeWriter_WriteStr(&writer_, str.ptr()) < 0) nb::raise_python_error();
    }
    void character(Py_UCS4 c) {
        if (_PyUnicodeWriter_WriteChar(&writer_, c) < 0) nb::raise_python_error();
    }
    nb::str finish() {
        PyObject* result = _PyUnicodeWriter_Finish(&writer_);  // leaves the writer empty
        if (!result) nb::raise_python_error();
        return nb::steal<nb::str>(result);
    }

private:
    _PyUnicodeWriter writer_;
};

}  // namespace cellwright
