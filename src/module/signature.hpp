// The shape of a published function: its parameters, defaults, definition
// line and entry, and the typed values its arguments bind to. Shared by the
// function table, the binder and the binding notes.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "../capi/views.hpp"

namespace ombrix {

enum class ParamKind { FloatVector, FloatMatrix, Double, Int32, Truth };

struct ParamSpec {
    const char* name;
    ParamKind kind;
    int line;  // reported when this parameter fails to convert
};

inline constexpr int kMaxParams = 8;

// One bound argument; only the member of its kind is set.
struct BoundValue {
    FloatVector vector;
    FloatMatrix matrix;
    double real = 0.0;
    int integer = 0;
    bool truth = false;
};

struct BoundArgs {
    std::array<BoundValue, kMaxParams> values;
    const FloatVector& vector(int i) const { return values[i].vector; }
    const FloatMatrix& matrix(int i) const { return values[i].matrix; }
    double real(int i) const { return values[i].real; }
    int integer(int i) const { return values[i].integer; }
    bool truth(int i) const { return values[i].truth; }

    // Argument i as the typed value of its parameter's kind.
    template <ParamKind kind>
    decltype(auto) get(std::size_t i) const {
        const int at = static_cast<int>(i);
        if constexpr (kind == ParamKind::FloatVector) return vector(at);
        else if constexpr (kind == ParamKind::FloatMatrix) return matrix(at);
        else if constexpr (kind == ParamKind::Double) return real(at);
        else if constexpr (kind == ParamKind::Int32) return integer(at);
        else return truth(at);
    }
};

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
    Entry entry;
    // Whether a failure inside the body gets a second entry at the
    // definition line (every function but cal_limit).
    bool entry_adds_definition_line;

    Py_ssize_t required() const { return static_cast<Py_ssize_t>(params.size() - defaults.size()); }
};

}  // namespace ombrix
