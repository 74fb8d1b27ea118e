// Binding of a published function's arguments to typed values.
#pragma once

#include <Python.h>

#include <array>

#include "views.hpp"

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
};

struct FunctionSpec;

// Fills `out` from a vectorcall's arguments. On failure the exception carries
// one traceback entry with the function's qualified name and the line of the
// stage that failed; views bound so far are released with `out`.
// `param_names` are the interned parameter names, `defaults` the tuple of
// default values for the last parameters.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* param_names, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);

}  // namespace ombrix
