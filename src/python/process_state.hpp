// Everything the module keeps for the life of the process, in one place: the
// module and its namespace, interned names and shared constants, the NumPy
// imported at start-up with the functions the native kernels stand in for,
// and the scratch arrays that the native path reuses. All of it is made once,
// when the module is executed, and is owned here (never released: the
// interpreter may tear modules down in any order at exit).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../kernels/legacy_random.hpp"

namespace ombrix {

struct ModuleState {
    PyObject* module = nullptr;        // owned once executed
    PyObject* globals = nullptr;       // borrowed from the module
    PyObject* builtins = nullptr;      // owned
    PyObject* ndarray_type = nullptr;  // owned, from the type-size checks
    int64_t interpreter_id = -1;       // the one interpreter the module may load into
    bool run_as_main = false;          // set only by a host that runs the module as __main__
};

// The NumPy the module runs with, and how the caller's ufunc error state and
// buffer size are read: through NumPy 1's ufunc table, or NumPy 2's context
// variable.
struct RunningNumpy {
    int major = 0;  // 0 while unknown
    int minor = 0;
    enum class StateReader { None, Numpy1Table, Numpy2ContextVar } reader = StateReader::None;
    int (*numpy1_get_py_values)(char*, int*, int*, PyObject**) = nullptr;
    PyObject* numpy2_extobj_var = nullptr;
};

#define OMBRIX_NAMES(X)                                                         \
    X(np) X(numpy) X(mean) X(std) X(ddof) X(diff) X(where) X(zeros)             \
    X(concatenate) X(sum) X(exp) X(var) X(random) X(seed) X(poisson)            \
    X(exponential) X(size) X(inf) X(round) X(cumsum) X(repeat) X(abs)           \
    X(isnan) X(astype) X(tolist) X(smooth_segment)                            \
    X(rearrange_score) X(limit) X(dc) X(num_greater) X(x) X(cal_limit)          \
    X(double_) X(replace) X(co_argcount) X(co_varnames) X(co_nlocals)          \
    X(acquire) X(release) X(_bit_generator) X(_rand) X(filters)                \
    X(defaultaction) X(showwarning) X(_showwarning_orig) X(_showwarnmsg)        \
    X(_showwarnmsg_impl) X(warn) X(match) X(append) X(dunder_name)              \
    X(dunder_warningregistry) X(warnings)

// Interned attribute, parameter and key names ("double_" stands for
// "double", "dunder_x" for "__x__").
struct Names {
#define OMBRIX_DECLARE_NAME(n) PyObject* n = nullptr;
    OMBRIX_NAMES(OMBRIX_DECLARE_NAME)
#undef OMBRIX_DECLARE_NAME
};

struct Constants {
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* float_0_6 = nullptr;
    PyObject* float_1_0 = nullptr;
    PyObject* ddof_kwnames = nullptr;   // ("ddof",)
    PyObject* size_kwnames = nullptr;   // ("size",)
    PyObject* where_kwnames = nullptr;  // ("where",)
    PyObject* column_key[3] = {};       // (slice(None), j): column j of a table
};

// The NumPy module that the module body imported, and the functions of it
// whose work the native kernels reproduce, as they were at start-up.
inline constexpr std::size_t kReplacedFunctionCount = 12;
struct StartupNumpy {
    PyObject* module = nullptr;
    PyTypeObject* type = nullptr;
    PyObject* functions[kReplacedFunctionCount] = {};
    // np.exp, and its float64 inner loop (with the loop's data), which the
    // native path calls as the ufunc does, once the loop has given NumPy's
    // own results (0 until checked, 1 verified, -1 not to be used).
    PyObject* exp = nullptr;
    void* exp_loop = nullptr;
    void* exp_loop_data = nullptr;
    int exp_loop_state = 0;
    // Whether the module namespace or NumPy's may have changed since the gate
    // last found everything in place: dictionary watchers from Python 3.12 on,
    // the dictionaries' version tags before.
    bool dicts_changed = true;
    int dict_watcher = -1;
    uint64_t checked_globals_version = 0;
    uint64_t checked_numpy_version = 0;
};

// NumPy's legacy global generator as found at the first draw after
// numpy.random was imported (NumPy imports it on first use): the module, the
// functions of it that the backgrounds call, the RandomState behind them,
// its MT19937 bit generator, that generator's lock and state, and where the
// RandomState keeps its cached Gaussian. Found and checked once; while its
// objects are still in place, the native generator draws on NumPy's own state.
struct StartupRandom {
    bool examined = false;  // once found, or found wanting
    bool usable = false;
    PyObject* module = nullptr;  // numpy.random
    PyObject* mtrand_dict = nullptr;
    PyObject* seed = nullptr;
    PyObject* poisson = nullptr;
    PyObject* exponential = nullptr;
    PyObject* random_state = nullptr;
    PyObject* bit_generator = nullptr;
    PyObject* lock = nullptr;
    kernels::Mt19937* mt19937 = nullptr;
    Py_ssize_t has_gauss_offset = 0;  // in the RandomState object
    Py_ssize_t gauss_offset = 0;
    // NumPy's own seeding has run on this bit generator: its seed sequence
    // is None, as every later legacy seeding leaves it.
    bool seeded_by_numpy = false;
};

// What np.mean of an empty float64 array does, found at start-up by calling
// it: the warnings it issues, in order (category, text, and the file, line
// and module namespace they are attributed to), and the value it returns,
// with the invalid flag warned and with it ignored; and the warnings
// machinery it went through then. While that machinery is still in place,
// the native path issues the same warnings itself.
struct RecordedWarning {
    PyObject* category = nullptr;
    PyObject* text = nullptr;
    PyObject* filename = nullptr;
    int lineno = 0;
    PyObject* globals = nullptr;
};
struct EmptyMean {
    std::vector<RecordedWarning> warnings;
    PyObject* value = nullptr;  // np.float64, as NumPy returned it
};
struct EmptyMeanWarnings {
    bool usable = false;
    EmptyMean when_warned;
    EmptyMean when_ignored;
    PyObject* warnings_module = nullptr;
    PyObject* warn = nullptr;  // warnings.warn, which NumPy's Python code calls
    PyObject* show_message = nullptr;  // warnings._showwarnmsg
    PyTypeObject* pattern_type = nullptr;  // re.Pattern, whose match() is native
};

// Float64 arrays that the native path reuses from one unit of work to the next.
enum class Scratch { smoothed, gaps, run_lengths, count };
struct ScratchArrays {
    PyObject* spare[static_cast<int>(Scratch::count)] = {};
};

extern ModuleState state;
extern RunningNumpy running_numpy;
extern Names names;
extern Constants constants;
extern StartupNumpy startup_numpy;
extern StartupRandom startup_random;
extern EmptyMeanWarnings empty_mean_warnings;
extern ScratchArrays scratch_arrays;

// Creates the names and constants; false with an exception set.
bool create_names_and_constants();

}  // namespace ombrix
