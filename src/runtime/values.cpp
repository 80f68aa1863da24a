// Helpers over Python values.
#include "runtime/values.hpp"

namespace kr {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

bool equals_text(nb::handle value, const char* text) {
    if (PyUnicode_CheckExact(value.ptr())) return PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
    return truthy(checked(PyObject_RichCompare(value.ptr(), nb::str(text).ptr(), Py_EQ)));
}

nb::str text_of(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow<nb::str>(value);
    PyObject* text = PyObject_Format(value.ptr(), nullptr);
    if (!text) nb::raise_python_error();
    return nb::steal<nb::str>(text);
}

void raise(nb::handle error) {
    if (PyExceptionInstance_Check(error.ptr()))
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    else if (PyExceptionClass_Check(error.ptr()))
        PyErr_SetNone(error.ptr());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    nb::raise_python_error();
}

nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle part : parts) items.append(part);
    PyObject* text = PyUnicode_Join(nb::str("").ptr(), items.ptr());
    if (!text) nb::raise_python_error();
    return nb::steal<nb::str>(text);
}

}  // namespace kr
