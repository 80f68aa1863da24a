// The function type: C++ functions with the face of Python functions (attributes,
// introspection, lifetime; calls are bound in binding.cpp). The body reads globals
// through its Scope (scope.hpp) at the moment of use, so rebinding a module attribute
// takes effect at the next call.
#pragma once

#include <nanobind/nanobind.h>

#include "runtime/declaration.hpp"

namespace kr {

namespace nb = nanobind;

// The function object behind every function of ours.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Spec* spec;
    PyObject* globals;      // the defining module's namespace
    PyObject* builtins;     // the builtins in force when the function was made
    PyObject* module;       // the defining module, for its captured objects
    PyObject* closure;      // tuple of captured values, or nullptr
    PyObject* names;        // tuple of the parameter names, interned
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;     // tuple, or nullptr for none
    PyObject* annotations;  // dict
    PyObject* dict;
    PyObject* weakrefs;
};

extern PyTypeObject function_type;

// Makes a function of `spec` living in `module`; `closure` holds captured values.
nb::object make_function(const Spec& spec, PyObject* module, nb::handle closure = nb::handle());

}  // namespace kr
