// Everything a module source needs from the runtime.
#pragma once

#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/scope.hpp"
#include "runtime/declaration.hpp"
#include "runtime/values.hpp"
#include "runtime/with.hpp"
#include "runtime/unpack.hpp"
