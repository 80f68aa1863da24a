// Scope: globals read through the module's namespace at the moment of use, and captured objects.
#include "runtime/scope.hpp"

#include "runtime/module.hpp"

namespace kr {

nb::object Scope::global(PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(fn_->globals, name);
    if (!value && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(fn_->builtins, name);
        if (!value && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    if (!value) nb::raise_python_error();
    return nb::borrow(value);
}

nb::object Scope::look_up(PyObject* name, GlobalSite& site) const {
    // Comparing the name with a dict's keys may run code that changes either dict. Each
    // stamp is read before its lookup, so that any such change leaves the site stale.
    PyObject* globals = fn_->globals;
    const std::uint64_t globals_version = watch(globals);
    PyObject* value = PyDict_GetItemWithError(globals, name);
    PyObject* builtins = nullptr;
    std::uint64_t builtins_version = 0;
    if (!value && !PyErr_Occurred()) {
        builtins = fn_->builtins;
        builtins_version = watch(builtins);
        value = PyDict_GetItemWithError(builtins, name);
        if (!value && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    if (!value) nb::raise_python_error();
    site = {globals, globals_version, builtins, builtins_version, value};
    return nb::borrow(value);
}

std::uint64_t Scope::watch(PyObject* dict) const { return watch_dict(module_dict_watcher(fn_->module), dict); }

void Scope::set_global(PyObject* name, nb::handle value) const {
    if (PyDict_SetItem(fn_->globals, name, value.ptr()) < 0) nb::raise_python_error();
}

nb::handle Scope::captured(std::size_t slot) const {
    nb::handle value = module_captured(fn_->module, slot);
    if (!value.is_valid()) {
        // The collector cleared the module first, and something still calls its function.
        PyErr_Format(PyExc_RuntimeError, "%s() can no longer be called: the garbage collector has cleared its module",
                     fn_->spec->name);
        nb::raise_python_error();
    }
    return value;
}

void Scope::recapture(std::size_t slot, nb::handle value) const { set_module_captured(fn_->module, slot, value); }

nb::object Scope::make_closure(const Spec& spec, std::initializer_list<nb::handle> cells) const {
    nb::list values;
    for (nb::handle c : cells) values.append(c);
    return make_function(spec, fn_->module, nb::tuple(values));
}

}  // namespace kr
