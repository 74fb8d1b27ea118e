#include "numpy_runtime.hpp"

#include <cstring>

#include "numpy_api.hpp"
#include "process_state.hpp"
#include "ref.hpp"

namespace ombrix {

RunningNumpy running_numpy;

namespace {

RunningNumpy& running = running_numpy;

// The majors whose summation, rounding, moments and flag reporting the
// kernels are tested against; any other takes the NumPy-call path.
constexpr int kVerifiedMajors[] = {1, 2};

// NumPy 1's ufunc table holds PyUFunc_GetPyValues in this slot; NumPy 2
// removed the function and left the slot empty.
constexpr int kNumpy1GetPyValuesSlot = 25;
using GetPyValues = decltype(RunningNumpy::numpy1_get_py_values);

// NumPy 2 keeps the state in a capsule held by a context variable; the
// capsule's layout is checked against NumPy's own reading before use.
constexpr const char* kNumpy2ExtobjCapsule = "numpy.ufunc.extobj";
struct Numpy2Extobj {
    int errmask;
    npy_intp bufsize;
    PyObject* pyfunc;
};

using Reader = RunningNumpy::StateReader;

bool read_numpy1(UfuncState& out) {
    int bufsize = 0, errmask = 0;
    PyObject* errobj = nullptr;
    char name[] = "ombrix";
    int status = running.numpy1_get_py_values(name, &bufsize, &errmask, &errobj);
    Py_XDECREF(errobj);
    if (status < 0 || PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out.bufsize = bufsize;
    out.errmask = errmask;
    return true;
}

bool read_numpy2(UfuncState& out) {
    PyObject* raw = nullptr;
    if (PyContextVar_Get(running.numpy2_extobj_var, nullptr, &raw) < 0 || !raw) {
        PyErr_Clear();
        return false;
    }
    Ref capsule = Ref::steal(raw);
    auto* extobj = static_cast<Numpy2Extobj*>(PyCapsule_GetPointer(capsule.get(), kNumpy2ExtobjCapsule));
    if (!extobj) {
        PyErr_Clear();
        return false;
    }
    out.bufsize = extobj->bufsize;
    out.errmask = extobj->errmask;
    return true;
}

// NumPy 2's own reading of the state, as {"divide": "warn", ..., "bufsize": n}.
bool agrees_with_numpy2_dict(PyObject* umath, const UfuncState& read) {
    Ref dict = Ref::steal(PyObject_CallMethod(umath, "_get_extobj_dict", nullptr));
    if (!dict || !PyDict_Check(dict.get())) return false;
    PyObject* bufsize = PyDict_GetItemString(dict.get(), "bufsize");
    if (!bufsize || PyLong_AsSsize_t(bufsize) != read.bufsize) return false;
    static const char* const modes[] = {"ignore", "warn", "raise", "call", "print", "log"};
    const struct {
        const char* key;
        int shift;
    } conditions[] = {{"divide", errmask::kDivideShift},
                      {"over", errmask::kOverflowShift},
                      {"under", errmask::kUnderflowShift},
                      {"invalid", errmask::kInvalidShift}};
    for (const auto& condition : conditions) {
        PyObject* mode = PyDict_GetItemString(dict.get(), condition.key);
        int index = (read.errmask >> condition.shift) & errmask::kModeBits;
        if (!mode || !PyUnicode_Check(mode) || index >= 6 ||
            PyUnicode_CompareWithASCIIString(mode, modes[index]) != 0) {
            return false;
        }
    }
    return true;
}

bool prepare_numpy2_reader() {
    Ref umath = Ref::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!umath) return false;
    Ref var = Ref::steal(PyObject_GetAttrString(umath.get(), "_extobj_contextvar"));
    if (!var || !PyContextVar_CheckExact(var.get())) return false;
    running.numpy2_extobj_var = var.release();
    UfuncState read;
    if (!read_numpy2(read) || !agrees_with_numpy2_dict(umath.get(), read)) {
        Py_CLEAR(running.numpy2_extobj_var);
        return false;
    }
    running.reader = Reader::Numpy2ContextVar;
    return true;
}

}  // namespace

bool detect_numpy_major() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "numpy.__version__ is not a string");
        return false;
    }
    auto read_number = [&text] {
        int number = 0;
        for (; *text >= '0' && *text <= '9' && number < 1000; ++text) number = number * 10 + (*text - '0');
        return number;
    };
    running.major = read_number();
    running.minor = *text == '.' ? (++text, read_number()) : 0;
    return true;
}

int numpy_major() { return running.major; }

const char* numpy_import_failure_message() {
    return running.major >= 2 ? "numpy._core.multiarray failed to import"
                              : "numpy.core.multiarray failed to import";
}

void prepare_ufunc_state_reader() {
    running.reader = Reader::None;
    bool verified = false;
    for (int major : kVerifiedMajors) verified = verified || major == running.major;
    if (!verified) return;
    if (running.major == 1) {
        running.numpy1_get_py_values = reinterpret_cast<GetPyValues>(PyUFunc_API[kNumpy1GetPyValuesSlot]);
        if (running.numpy1_get_py_values) running.reader = Reader::Numpy1Table;
        return;
    }
    if (!prepare_numpy2_reader()) PyErr_Clear();
}

Py_ssize_t reduction_chunk(Py_ssize_t bufsize) {
    bool chunked = running.major < 2 || (running.major == 2 && running.minor < 3);
    return chunked ? bufsize : PY_SSIZE_T_MAX;
}

bool read_ufunc_state(UfuncState& out) {
    bool ok = false;
    switch (running.reader) {
        case Reader::None: return false;
        case Reader::Numpy1Table: ok = read_numpy1(out); break;
        case Reader::Numpy2ContextVar: ok = read_numpy2(out); break;
    }
    return ok && out.bufsize > 0;
}

}  // namespace ombrix
