// The declaration table: a function's Python face (name, docstring, parameters with their
// annotations and defaults), declared once next to its C++ body.
//
//   nb::object validate_token(kr::Scope& s, nb::handle token, nb::handle tenant) { ... }
//   const kr::Spec validate_token_spec = kr::def<validate_token>(
//       "validate_token", kr::no_doc, {{"token"}, {"tenant"}});
//
// The runtime binds positional and keyword arguments with the interpreter's wording
// (binding.cpp), applies __defaults__, checks exact types where the annotation asks for
// it, and hands the body one nb::handle per parameter.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>

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

}  // namespace kr
