#include "native_gate.hpp"

#include <cstdint>

#include "../scoring/numpy_kernels.hpp"
#include "module_state.hpp"
#include "names.hpp"
#include "numpy_api.hpp"

namespace ombrix {

namespace {

// The functions whose work the kernels reproduce; the rest (the random
// draws, np.exp, np.isnan, np.inf) stay NumPy calls on both paths.
PyObject* const* const kReplacedFunctions[] = {
    &names.diff, &names.where, &names.zeros,  &names.concatenate, &names.sum,    &names.var,
    &names.mean, &names.std,   &names.round,  &names.cumsum,      &names.repeat, &names.abs,
};
constexpr size_t kReplacedCount = sizeof kReplacedFunctions / sizeof kReplacedFunctions[0];

// Owned for the life of the process, like the interned names.
struct StartupNumpy {
    PyObject* module = nullptr;
    PyTypeObject* type = nullptr;
    PyObject* functions[kReplacedCount] = {};
} startup;

// The dictionary versions at the last check that found everything in place:
// a dictionary's version changes with every change to it, so equal versions
// mean the same `np` and the same functions.
struct CheckedVersions {
    uint64_t globals = 0;
    uint64_t numpy = 0;
} checked;

uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

bool numpy_is_startups() {
    PyObject* np = PyDict_GetItemWithError(state.globals, names.np);
    if (!np || np != startup.module || Py_TYPE(np) != startup.type) {
        PyErr_Clear();
        return false;
    }
    PyObject* dict = PyModule_GetDict(np);
    if (checked.globals && version_of(state.globals) == checked.globals &&
        version_of(dict) == checked.numpy) {
        return true;
    }
    for (size_t i = 0; i < kReplacedCount; ++i) {
        PyObject* fn = PyDict_GetItemWithError(dict, *kReplacedFunctions[i]);
        if (!fn || fn != startup.functions[i]) {
            PyErr_Clear();
            return false;
        }
    }
    checked.globals = version_of(state.globals);
    checked.numpy = version_of(dict);
    return true;
}

struct FlagMode {
    int shift;
    unsigned flag;
};
constexpr FlagMode kFlagModes[] = {
    {UFUNC_SHIFT_DIVIDEBYZERO, kernels::kDivideByZero},
    {UFUNC_SHIFT_OVERFLOW, kernels::kOverflow},
    {UFUNC_SHIFT_UNDERFLOW, kernels::kUnderflow},
    {UFUNC_SHIFT_INVALID, kernels::kInvalid},
};

}  // namespace

bool remember_startup_numpy(PyObject* numpy) {
    if (startup.module) return true;
    PyObject* dict = PyModule_GetDict(numpy);
    if (!dict) return false;
    for (size_t i = 0; i < kReplacedCount; ++i) {
        PyObject* fn = PyDict_GetItemWithError(dict, *kReplacedFunctions[i]);
        if (!fn) {
            if (PyErr_Occurred()) return false;
            continue;  // stays null: the native path then never opens
        }
        startup.functions[i] = Py_NewRef(fn);
    }
    startup.module = Py_NewRef(numpy);
    startup.type = Py_TYPE(numpy);
    return true;
}

bool native_conditions(NativeConditions& out) {
    if (!numpy_is_startups()) return false;
    int bufsize = 0, errmask = 0;
    PyObject* errobj = nullptr;
    char name[] = "ombrix";
    if (PyUFunc_GetPyValues(name, &bufsize, &errmask, &errobj) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(errobj);
    if (bufsize <= 0) return false;
    out.bufsize = bufsize;
    out.reported_flags = kernels::kHandOver;
    for (const FlagMode& mode : kFlagModes) {
        if (((errmask >> mode.shift) & 7) != UFUNC_ERR_IGNORE) out.reported_flags |= mode.flag;
    }
    return true;
}

}  // namespace ombrix
