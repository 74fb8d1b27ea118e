// The table of published functions: one row per function with its name,
// parameters, defaults, definition line and entry.
#pragma once

#include "signature.hpp"

namespace ombrix {

// All seven rows, in the order the module defines them.
std::span<const FunctionSpec> function_table();

}  // namespace ombrix
