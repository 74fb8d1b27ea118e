#include "native_gate.hpp"

#include <cstdint>

#include "../kernels/float64.hpp"
#include "../capi/numpy_api.hpp"
#include "../capi/numpy_runtime.hpp"
#include "../capi/process_state.hpp"
#include "../capi/python_code.hpp"

namespace ombrix {

StartupNumpy startup_numpy;

namespace {

// The functions whose work the kernels reproduce; the rest (the random
// draws, np.exp, np.isnan, np.inf) stay NumPy calls on both paths.
PyObject* const* const kReplacedFunctions[] = {
    &names.diff, &names.where, &names.zeros,  &names.concatenate, &names.sum,    &names.var,
    &names.mean, &names.std,   &names.round,  &names.cumsum,      &names.repeat, &names.abs,
};
constexpr size_t kReplacedCount = sizeof kReplacedFunctions / sizeof kReplacedFunctions[0];
static_assert(kReplacedCount == kReplacedFunctionCount);

StartupNumpy& startup = startup_numpy;

// Python 3.12 and newer tell of changes to the two namespaces through
// dictionary watchers; 3.11 through the dictionaries' version tags, which
// change with every change to a dictionary.
#if PY_VERSION_HEX >= 0x030C0000
int on_watched_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    startup.dicts_changed = true;
    return 0;
}

void watch_dicts(PyObject* numpy_dict) {
    if (startup.dict_watcher < 0) startup.dict_watcher = PyDict_AddWatcher(on_watched_dict_event);
    if (startup.dict_watcher < 0 || PyDict_Watch(startup.dict_watcher, state.globals) < 0 ||
        PyDict_Watch(startup.dict_watcher, numpy_dict) < 0) {
        PyErr_Clear();
        startup.dict_watcher = -1;  // every unit then checks everything
    }
}

bool unchanged_since_check(PyObject*) { return startup.dict_watcher >= 0 && !startup.dicts_changed; }
void mark_checked(PyObject*) { startup.dicts_changed = false; }
#else
uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

void watch_dicts(PyObject*) {}

bool unchanged_since_check(PyObject* numpy_dict) {
    return startup.checked_globals_version && version_of(state.globals) == startup.checked_globals_version &&
           version_of(numpy_dict) == startup.checked_numpy_version;
}

void mark_checked(PyObject* numpy_dict) {
    startup.checked_globals_version = version_of(state.globals);
    startup.checked_numpy_version = version_of(numpy_dict);
}
#endif

bool numpy_is_startups() {
    PyObject* np = PyDict_GetItemWithError(state.globals, names.np);
    if (!np || np != state.numpy || Py_TYPE(np) != startup.type) {
        PyErr_Clear();
        return false;
    }
    PyObject* dict = PyModule_GetDict(np);
    if (unchanged_since_check(dict)) return true;
    for (size_t i = 0; i < kReplacedCount; ++i) {
        PyObject* fn = PyDict_GetItemWithError(dict, *kReplacedFunctions[i]);
        if (!fn || fn != startup.functions[i]) {
            PyErr_Clear();
            return false;
        }
    }
    mark_checked(dict);
    return true;
}

struct FlagMode {
    int shift;
    unsigned flag;
};
constexpr FlagMode kFlagModes[] = {
    {errmask::kDivideShift, kernels::kDivideByZero},
    {errmask::kOverflowShift, kernels::kOverflow},
    {errmask::kUnderflowShift, kernels::kUnderflow},
    {errmask::kInvalidShift, kernels::kInvalid},
};

// np.exp's loop for one float64 in, one float64 out, as the ufunc's own
// table holds it.
void remember_exp_loop(PyObject* numpy_dict) {
    PyObject* exp = PyDict_GetItemWithError(numpy_dict, names.exp);
    if (!exp || !PyObject_TypeCheck(exp, &PyUFunc_Type)) {
        PyErr_Clear();
        return;
    }
    auto* ufunc = reinterpret_cast<PyUFuncObject*>(exp);
    if (ufunc->nin != 1 || ufunc->nout != 1 || !ufunc->functions || !ufunc->types) return;
    for (int i = 0; i < ufunc->ntypes; ++i) {
        if (ufunc->types[2 * i] == NPY_DOUBLE && ufunc->types[2 * i + 1] == NPY_DOUBLE && ufunc->functions[i]) {
            startup.exp = Py_NewRef(exp);
            startup.exp_loop = reinterpret_cast<void*>(ufunc->functions[i]);
            startup.exp_loop_data = ufunc->data ? ufunc->data[i] : nullptr;
            return;
        }
    }
}

}  // namespace

bool remember_startup_numpy() {
    if (startup.type) return true;
    PyObject* dict = PyModule_GetDict(state.numpy);
    if (!dict) return false;
    for (size_t i = 0; i < kReplacedCount; ++i) {
        PyObject* fn = PyDict_GetItemWithError(dict, *kReplacedFunctions[i]);
        if (!fn) {
            if (PyErr_Occurred()) return false;
            continue;  // stays null: the native path then never opens
        }
        startup.functions[i] = Py_NewRef(fn);
    }
    remember_exp_loop(dict);
    startup.type = Py_TYPE(state.numpy);
    watch_dicts(dict);
    prepare_ufunc_state_reader();
    return true;
}

namespace {

// What the last check found: the namespaces and NumPy's error state change
// only when Python code runs, so it holds until then.
struct LastConditions {
    bool known = false;
    unsigned long long points = 0;
    bool native = false;
    NativeConditions conditions;
};

LastConditions last_conditions;

bool check_native_conditions(NativeConditions& out) {
    if (!numpy_is_startups()) return false;
    UfuncState ufunc;
    if (!read_ufunc_state(ufunc)) return false;
    out.reduction_chunk = reduction_chunk(ufunc.bufsize);
    out.reported_flags = kernels::kHandOver;
    for (const FlagMode& mode : kFlagModes) {
        if (((ufunc.errmask >> mode.shift) & errmask::kModeBits) != errmask::kIgnore) {
            out.reported_flags |= mode.flag;
        }
    }
    return true;
}

}  // namespace

bool native_conditions(NativeConditions& out) {
    LastConditions& last = last_conditions;
    if (!last.known || last.points != python_code_points) {
        NativeConditions found;
        bool native = check_native_conditions(found);
        last = {true, python_code_points, native, found};
    }
    if (last.native) out = last.conditions;
    return last.native;
}

}  // namespace ombrix
