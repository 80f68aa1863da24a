// The `with` statement: runs body(target) between __enter__ and __exit__, handing
// __exit__ the exception (type, value, traceback) when the body raises.
#pragma once

#include "runtime/scope.hpp"
#include "runtime/values.hpp"

namespace kr {

// `manager`'s special method `name` as the interpreter finds it for a statement: looked up
// on the class and its bases only (never on the instance or the metaclass) and bound
// through its __get__, if it has one. An invalid object when the class has none.
nb::object special_method(nb::handle manager, PyObject* name);

namespace detail {
struct Entered {
    nb::object exit;    // the bound __exit__
    nb::object target;  // what __enter__ returned
};
// __enter__ and __exit__ looked up (in that order, with the interpreter's TypeErrors),
// then __enter__ called.
Entered enter(nb::handle manager);
// __exit__(type, value, traceback) while `error` is the exception being handled; true
// when it swallowed the error.
bool exit_swallows(nb::handle exit, const nb::python_error& error);
}  // namespace detail

// Returns false when __exit__ swallowed an exception the body raised.
template <typename Body>
bool with(nb::handle manager, Body&& body) {
    detail::Entered entered = detail::enter(manager);
    try {
        body(nb::handle(entered.target));
    } catch (nb::python_error& error) {
        if (detail::exit_swallows(entered.exit, error)) return false;
        throw;
    } catch (...) {
        // Any other failure of the body reaches __exit__ as the Python error it stands for.
        set_error_from_current_exception();
        nb::python_error error;
        if (detail::exit_swallows(entered.exit, error)) return false;
        throw error;
    }
    entered.exit(nb::none(), nb::none(), nb::none());
    return true;
}

}  // namespace kr
