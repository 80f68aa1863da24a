// The notebook assistant's prompt composition.
#pragma once

#include "runtime/runtime.hpp"

namespace cellwright {

// The module's capture slot (kr::Module::capture) for the texts of numpy dtypes that
// generate_prompt keeps from call to call: a tuple of (dtype, text) pairs, empty at import.
inline constexpr std::size_t dtype_texts_slot = 0;

// The body of _generate_prompt(query, base_prompt: str, global_variables=None): the base
// prompt and the query, preceded, unless global_variables is None, by a description of
// the modules, the variables and the DataFrame columns among global_variables.
nanobind::object generate_prompt(kr::Scope& s, nanobind::handle query, nanobind::handle base_prompt,
                                 nanobind::handle global_variables);

}  // namespace cellwright
