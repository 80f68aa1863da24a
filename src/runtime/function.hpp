// C++ functions with the face of Python functions.
//
// A module declares each function once, next to its body:
//
//   nb::object validate_token(kr::Scope& s, nb::handle token, nb::handle tenant) { ... }
//   const kr::Spec validate_token_spec = kr::def<validate_token>(
//       "validate_token", kr::no_doc, {{"token"}, {"tenant"}});
//
// The runtime binds positional and keyword arguments with the interpreter's wording,
// applies __defaults__, checks exact types where the annotation asks for it, and hands
// the body one nb::handle per parameter. The body reads globals through the Scope at the
// moment of use, so rebinding a module attribute takes effect at the next call.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "runtime/interpreter.hpp"
#include "runtime/names.hpp"

namespace kr {

namespace nb = nanobind;

inline constexpr std::size_t max_params = 8;
inline constexpr const char* no_doc = nullptr;
inline constexpr std::nullptr_t none = nullptr;

// A parameter's default as written in the signature.
struct Default {
    enum class Kind : unsigned char { absent, none, boolean, integer, text };
    Kind kind = Kind::absent;
    long long integer = 0;
    const char* text = nullptr;

    constexpr Default() = default;
    constexpr Default(std::nullptr_t) : kind(Kind::none) {}
    constexpr Default(bool b) : kind(Kind::boolean), integer(b) {}
    constexpr Default(int i) : kind(Kind::integer), integer(i) {}
    constexpr Default(const char* s) : kind(Kind::text), text(s) {}
};

// One positional-or-keyword parameter. `annotation` is the annotation's source text;
// "str", "int", "dict" and "Dict" also make the call check the argument's exact type.
struct Param {
    const char* name;
    const char* annotation = nullptr;
    Default default_value = {};
};

class Scope;
using Thunk = nb::object (*)(Scope&, PyObject* const*);

struct Spec {
    const char* name;
    const char* doc;
    std::array<Param, max_params> params{};
    std::size_t param_count = 0;
    std::size_t arity = 0;  // parameters the C++ body takes; must equal param_count
    Thunk thunk = nullptr;
    const char* qualname = nullptr;  // defaults to name; "outer.<locals>.inner" for closures
};

namespace detail {
template <typename F>
struct arity_of;
template <typename... A>
struct arity_of<nb::object (*)(Scope&, A...)> {
    static constexpr std::size_t value = sizeof...(A);
};

template <auto F, std::size_t... I>
nb::object call_body(Scope& s, PyObject* const* args, std::index_sequence<I...>) {
    return F(s, nb::handle(args[I])...);
}

template <auto F>
nb::object thunk(Scope& s, PyObject* const* args) {
    return call_body<F>(s, args, std::make_index_sequence<arity_of<decltype(F)>::value>{});
}
}  // namespace detail

// Declares the Python face of the C++ body F.
template <auto F>
Spec def(const char* name, const char* doc, std::initializer_list<Param> params,
         const char* qualname = nullptr) {
    Spec spec{name, doc};
    for (const Param& p : params) {
        if (spec.param_count < max_params) spec.params[spec.param_count] = p;
        ++spec.param_count;
    }
    spec.arity = detail::arity_of<decltype(F)>::value;
    spec.thunk = &detail::thunk<F>;
    spec.qualname = qualname;
    return spec;
}

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

// `format(value, "")`: what an f-string field makes of a value.
nb::str text_of(nb::handle value);

// The texts one after the other, as `a + b + c` makes them of str values.
nb::str concat(std::initializer_list<nb::handle> parts);

}  // namespace kr
