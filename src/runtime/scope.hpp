// What a function body sees of its surroundings while it runs: the module's globals and
// builtins, read at the moment of use through a per-name cache, and the objects the
// module or a closure captured.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "runtime/function.hpp"
#include "runtime/interpreter.hpp"
#include "runtime/names.hpp"

namespace kr {

namespace nb = nanobind;

// Where one global name was last found, with the change stamps of the namespaces it was
// looked up in (interpreter.hpp). While both stamps are still the same the name still means
// `value`, which the namespace holding it keeps alive.
struct GlobalSite {
    PyObject* globals = nullptr;
    std::uint64_t globals_version = 0;
    PyObject* builtins = nullptr;  // set when the name was not in globals
    std::uint64_t builtins_version = 0;
    PyObject* value = nullptr;
};

// What a function body sees of its surroundings while it runs.
class Scope {
public:
    explicit Scope(FunctionObject* fn) : fn_(fn) {}

    // The module global `name`, else the builtin; NameError when neither exists.
    nb::object global(PyObject* name) const;
    // The same for a name written in the source: each name remembers where it was found,
    // so that reading it again costs two version checks while nothing has been rebound.
    template <Literal S>
    nb::object global() const {
        static GlobalSite site;
        return global(id<S>(), site);
    }
    nb::object global(PyObject* name, GlobalSite& site) const {
        if (site.globals == fn_->globals && unchanged_since(fn_->globals, site.globals_version) &&
            (!site.builtins ||
             (site.builtins == fn_->builtins && unchanged_since(fn_->builtins, site.builtins_version))))
            return nb::borrow(site.value);
        return look_up(name, site);
    }

    // A change stamp of `dict` (interpreter.hpp), watched by this module's watcher.
    std::uint64_t watch(PyObject* dict) const;

    // Rebinds a module attribute, as a `global` statement would.
    void set_global(PyObject* name, nb::handle value) const;
    template <Literal S>
    void set_global(nb::handle value) const { set_global(id<S>(), value); }

    // The i-th value captured by a closure made with make_closure.
    nb::handle cell(std::size_t i) const { return PyTuple_GET_ITEM(fn_->closure, i); }

    // An object the module captured at import (see Module::capture).
    nb::handle captured(std::size_t slot) const;
    // Replaces it, for an object the module keeps from call to call. A handle from
    // captured(slot) is not valid after this.
    void recapture(std::size_t slot, nb::handle value) const;

    // A nested function over `cells`, living in this function's module.
    nb::object make_closure(const Spec& spec, std::initializer_list<nb::handle> cells) const;

    // print(*args), with `print` looked up like any other global.
    template <typename... Args>
    void print(Args&&... args) const {
        global<"print">()(std::forward<Args>(args)...);
    }

private:
    nb::object look_up(PyObject* name, GlobalSite& site) const;

    FunctionObject* fn_;
};

}  // namespace kr
