// The table of published functions: one row per function with its name,
// parameters, defaults, definition line and entry.
#pragma once

#include <Python.h>

#include <span>

#include "binding.hpp"

namespace ombrix {

// A published entry: takes the bound arguments, returns a new reference or
// nullptr with the exception pending (and its own traceback entries added).
using Entry = PyObject* (*)(const BoundArgs&);

struct DefaultValue {
    enum class Kind { Float, Int } kind;
    double value;
};

struct FunctionSpec {
    const char* name;
    const char* qualname;  // the name that traceback entries carry
    std::span<const ParamSpec> params;
    std::span<const DefaultValue> defaults;  // for the last parameters
    int definition_line;
    Entry entry;  // nullptr while the function is not built
    // Whether a failure inside the body gets a second entry at the
    // definition line (every function but cal_limit).
    bool entry_adds_definition_line;

    Py_ssize_t required() const {
        return static_cast<Py_ssize_t>(params.size() - defaults.size());
    }
};

// All seven rows, in the order the module defines them.
std::span<const FunctionSpec> function_table();

}  // namespace ombrix
