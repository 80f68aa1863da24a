// The `with` statement: runs body(target) between __enter__ and __exit__, handing
// __exit__ the exception (type, value, traceback) when the body raises.
#pragma once

#include "runtime/function.hpp"

namespace kr {

// Returns false when __exit__ swallowed an exception the body raised.
template <typename Body>
bool with(nb::handle manager, Body&& body) {
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    nb::object exit = type.attr("__exit__");
    nb::object target = type.attr("__enter__")(manager);
    try {
        body(nb::handle(target));
    } catch (nb::python_error& e) {
        if (!kr::truthy(exit(manager, e.type(), e.value(), e.traceback()))) throw;
        return false;
    }
    exit(manager, nb::none(), nb::none(), nb::none());
    return true;
}

}  // namespace kr
