// The parts of the `with` statement that do not depend on its body.
#include "runtime/with.hpp"

#include "runtime/interpreter.hpp"

namespace kr {

nb::object special_method(nb::handle manager, PyObject* name) {
    PyTypeObject* type = Py_TYPE(manager.ptr());
    nb::object hold_type = nb::borrow(reinterpret_cast<PyObject*>(type));
    nb::object found = type_lookup(type, name);
    if (!found.is_valid()) return found;
    descrgetfunc get = Py_TYPE(found.ptr())->tp_descr_get;
    if (!get) return found;
    return checked(get(found.ptr(), manager.ptr(), reinterpret_cast<PyObject*>(type)));
}

namespace detail {

namespace {

[[noreturn]] void raise_not_a_manager(nb::handle manager, const char* missed) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager.ptr())->tp_name, missed);
    nb::raise_python_error();
}

// Makes `error` the exception being handled (sys.exc_info()) while it lives, as it is
// while the interpreter runs __exit__; anything __exit__ raises then has it as __context__.
class Handling {
public:
    explicit Handling(nb::handle error) : saved_(nb::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(error.ptr());
    }
    ~Handling() { PyErr_SetHandledException(saved_.is_valid() ? saved_.ptr() : Py_None); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    nb::object saved_;
};

}  // namespace

Entered enter(nb::handle manager) {
    nb::object enter = special_method(manager, id<"__enter__">());
    if (!enter.is_valid()) {
        if (PyErr_Occurred()) nb::raise_python_error();
        raise_not_a_manager(manager, "");
    }
    nb::object exit = special_method(manager, id<"__exit__">());
    if (!exit.is_valid()) {
        if (PyErr_Occurred()) nb::raise_python_error();
        raise_not_a_manager(manager, " (missed __exit__ method)");
    }
    nb::object target = enter();
    return {std::move(exit), std::move(target)};
}

bool exit_swallows(nb::handle exit, const nb::python_error& error) {
    nb::object traceback = error.traceback();
    Handling handling(error.value());
    return truthy(exit(error.type(), error.value(), traceback.is_valid() ? nb::object(traceback) : nb::none()));
}

}  // namespace detail

}  // namespace kr
