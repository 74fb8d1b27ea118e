#include "empty_mean.hpp"

#include <climits>
#include <string_view>

#include "../capi/calls.hpp"
#include "../capi/numpy_api.hpp"
#include "../capi/numpy_runtime.hpp"
#include "../capi/process_state.hpp"
#include "../capi/ref.hpp"

namespace ombrix {

EmptyMeanWarnings empty_mean_warnings;

namespace {

EmptyMeanWarnings& recorded = empty_mean_warnings;

// Run at start-up: every warning that np.mean of an empty array issues
// reaches `record` (the filters say "always"), which finds the frame the
// warning is attributed to, and so its module namespace. NumPy's registries
// are set aside meanwhile, so that a warning shown before still shows here,
// and the filters and display are put back as they were, without the
// version change that would make every registry forget what it has shown.
constexpr const char* kProbeSource = R"(
def probe(np, warnings, sys, errstate):
    seen = []
    def record(message, category, filename, lineno, file=None, line=None):
        frame = sys._getframe(1)
        while frame is not None and (frame.f_code.co_filename != filename or frame.f_lineno != lineno):
            frame = frame.f_back
        seen.append((category, str(message), filename, lineno, None if frame is None else frame.f_globals))
    aside = []
    for name, module in list(sys.modules.items()):
        space = getattr(module, "__dict__", None)
        if (name == "numpy" or name.startswith("numpy.")) and type(space) is dict:
            aside.append((space, space.pop("__warningregistry__", None)))
    saved = warnings.filters, warnings.showwarning
    warnings.filters, warnings.showwarning = [("always", None, Warning, None, 0)], record
    try:
        with np.errstate(**errstate):
            value = np.mean(np.empty(0))
    finally:
        warnings.filters, warnings.showwarning = saved
        for space, registry in aside:
            space.pop("__warningregistry__", None)
            if registry is not None:
                space["__warningregistry__"] = registry
    return value, seen
)";

bool is_interrupt_or_memory_error() {
    return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

Ref probe_function() {
    Ref code = Ref::steal(Py_CompileString(kProbeSource, "<ombrix: np.mean of an empty array>", Py_file_input));
    if (!code) return {};
    Ref space = Ref::steal(PyDict_New());
    if (!space || PyDict_SetItemString(space.get(), "__builtins__", state.builtins) < 0) return {};
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), space.get(), space.get()));
    if (!done) return {};
    return Ref::borrow(PyDict_GetItemString(space.get(), "probe"));
}

// One recorded warning, checked for the form the interpreter's own
// warnings take: (category, text, file, line, module namespace).
bool read_warning(PyObject* item, RecordedWarning& out) {
    if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 5) return false;
    PyObject* category = PyTuple_GET_ITEM(item, 0);
    PyObject* text = PyTuple_GET_ITEM(item, 1);
    PyObject* filename = PyTuple_GET_ITEM(item, 2);
    PyObject* lineno = PyTuple_GET_ITEM(item, 3);
    PyObject* globals = PyTuple_GET_ITEM(item, 4);
    if (!PyType_Check(category) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(category),
                                                     reinterpret_cast<PyTypeObject*>(PyExc_Warning))) {
        return false;
    }
    if (!PyUnicode_CheckExact(text) || !PyUnicode_CheckExact(filename) || !PyLong_CheckExact(lineno) ||
        !PyDict_CheckExact(globals)) {
        return false;
    }
    long line = PyLong_AsLong(lineno);
    if (line <= 0 || line > INT_MAX) {
        PyErr_Clear();
        return false;
    }
    out = {Py_NewRef(category), Py_NewRef(text), Py_NewRef(filename), static_cast<int>(line), Py_NewRef(globals)};
    return true;
}

// Calls the probe with one error state; false with an exception pending
// when it failed, false without one when it returned something unexpected.
bool run_probe(const Ref& probe, PyObject* numpy, PyObject* warnings, int invalid_mode, EmptyMean& out) {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return false;
    // all="raise": the empty mean must raise no other flag
    Ref errstate = Ref::steal(Py_BuildValue("{s:s,s:s}", "all", "raise", "invalid",
                                            invalid_mode == errmask::kWarn ? "warn" : "ignore"));
    if (!errstate) return false;
    Ref result = call(probe, {numpy, warnings, sys.get(), errstate.get()});
    if (!result) return false;
    if (!PyTuple_CheckExact(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) return false;
    PyObject* value = PyTuple_GET_ITEM(result.get(), 0);
    PyObject* seen = PyTuple_GET_ITEM(result.get(), 1);
    if (!Py_IS_TYPE(value, &PyDoubleArrType_Type) || !PyList_CheckExact(seen)) return false;
    out.value = Py_NewRef(value);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seen); ++i) {
        RecordedWarning warning;
        if (!read_warning(PyList_GET_ITEM(seen, i), warning)) return false;
        out.warnings.push_back(warning);
    }
    return true;
}

bool same_warning(const RecordedWarning& a, const RecordedWarning& b) {
    return a.category == b.category && a.lineno == b.lineno && a.globals == b.globals &&
           PyUnicode_Compare(a.text, b.text) == 0 && PyUnicode_Compare(a.filename, b.filename) == 0;
}

// With the flag warned, NumPy issues what it issues with it ignored, and
// then the invalid flag's warning (unless the machine raised no flag, as
// under an emulator that keeps none).
bool consistent(const EmptyMean& warned, const EmptyMean& ignored) {
    if (warned.warnings.size() < ignored.warnings.size()) return false;
    for (size_t i = 0; i < ignored.warnings.size(); ++i) {
        if (!same_warning(warned.warnings[i], ignored.warnings[i])) return false;
    }
    return true;
}

// The machinery that issued the recorded warnings: NumPy's Python code calls
// warnings.warn; the interpreter shows a warning through warnings._showwarnmsg.
bool remember_machinery(PyObject* warnings) {
    Ref warn = Ref::steal(PyObject_GetAttr(warnings, names.warn));
    Ref show = Ref::steal(PyObject_GetAttr(warnings, names._showwarnmsg));
    if (!warn || !show) return false;
    if (!PyCFunction_Check(warn.get()) || !PyFunction_Check(show.get())) return false;
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    Ref pattern_type = re ? Ref::steal(PyObject_GetAttrString(re.get(), "Pattern")) : Ref();
    if (!pattern_type || !PyType_Check(pattern_type.get())) return false;
    recorded.pattern_type = reinterpret_cast<PyTypeObject*>(pattern_type.release());
    recorded.warnings_module = Py_NewRef(warnings);
    recorded.warn = warn.release();
    recorded.show_message = show.release();
    return true;
}

// The attribute of the warnings module as the interpreter reads it, borrowed.
PyObject* warnings_attr(PyObject* module_dict, PyObject* name) {
    return PyDict_GetItemWithError(module_dict, name);
}

// Shows go through NumPy's route only where no Python code of the caller's
// sees them: the display of start-up, or catch_warnings(record=True), which
// appends each to a list.
bool plain_display(PyObject* module_dict) {
    PyObject* showwarning = warnings_attr(module_dict, names.showwarning);
    PyObject* original = warnings_attr(module_dict, names._showwarning_orig);
    PyObject* show = warnings_attr(module_dict, names._showwarnmsg);
    PyObject* impl = warnings_attr(module_dict, names._showwarnmsg_impl);
    if (!showwarning || showwarning != original || show != recorded.show_message || !impl) return false;
    if (PyFunction_Check(impl)) return PyFunction_GET_GLOBALS(impl) == PyFunction_GET_GLOBALS(show);
    if (!PyCFunction_Check(impl)) return false;
    PyObject* self = PyCFunction_GET_SELF(impl);
    return self && PyList_CheckExact(self) &&
           std::string_view(reinterpret_cast<PyCFunctionObject*>(impl)->m_ml->ml_name) == "append";
}

// The filter's test of a message or module: None matches all, a plain str
// only itself, anything else through its match().
int matches(PyObject* pattern, PyObject* text) {
    if (pattern == Py_None) return 1;
    if (PyUnicode_CheckExact(pattern)) {
        int compared = PyUnicode_Compare(pattern, text);
        if (compared == -1 && PyErr_Occurred()) return -1;
        return compared == 0;
    }
    Ref found = call_method(pattern, names.match, {text});
    return found ? PyObject_IsTrue(found.get()) : -1;
}

// A filter's pattern or category that the interpreter tests without
// running Python code.
bool tested_natively(PyObject* pattern) {
    return pattern == Py_None || PyUnicode_CheckExact(pattern) || Py_IS_TYPE(pattern, recorded.pattern_type);
}

// The action the filters give a warning, as the interpreter finds it (an
// empty Ref, with or without an exception, where it would fail), and
// whether finding it ran no Python code.
struct FilterVerdict {
    Ref action;
    bool pure = true;
};

FilterVerdict filter_action(PyObject* module_dict, const RecordedWarning& warning, PyObject* module_name) {
    FilterVerdict verdict;
    PyObject* filters = warnings_attr(module_dict, names.filters);
    if (!filters || !PyList_Check(filters)) return verdict;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(filters, i));
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 5) return verdict;
        PyObject* action = PyTuple_GET_ITEM(item.get(), 0);
        PyObject* message = PyTuple_GET_ITEM(item.get(), 1);
        PyObject* category = PyTuple_GET_ITEM(item.get(), 2);
        PyObject* module = PyTuple_GET_ITEM(item.get(), 3);
        if (!PyUnicode_Check(action)) return verdict;
        verdict.pure = verdict.pure && tested_natively(message) && tested_natively(module) &&
                       Py_IS_TYPE(category, &PyType_Type);
        int message_matches = matches(message, warning.text);
        if (message_matches < 0) return verdict;
        int module_matches = matches(module, module_name);
        if (module_matches < 0) return verdict;
        int subclass = PyObject_IsSubclass(warning.category, category);
        if (subclass < 0) return verdict;
        Py_ssize_t line = PyLong_AsSsize_t(PyTuple_GET_ITEM(item.get(), 4));
        if (line == -1 && PyErr_Occurred()) return verdict;
        if (message_matches && module_matches && subclass && (line == 0 || line == warning.lineno)) {
            verdict.action = Ref::borrow(action);
            return verdict;
        }
    }
    PyObject* fallback = warnings_attr(module_dict, names.defaultaction);
    if (fallback && PyUnicode_Check(fallback)) verdict.action = Ref::borrow(fallback);
    return verdict;
}

// The module name the interpreter gives a warning from these globals; an
// empty Ref where it is not a str.
Ref module_name_of(PyObject* globals) {
    PyObject* name = PyDict_GetItemWithError(globals, names.dunder_name);
    if (!name || !PyUnicode_Check(name)) return {};
    return Ref::borrow(name);
}

// Shown, recorded, or ignored, but not raised: the actions the interpreter
// knows other than "error".
bool quiet_action(PyObject* action) {
    for (const char* known : {"default", "always", "ignore", "module", "once"}) {
        if (PyUnicode_CompareWithASCIIString(action, known) == 0) return true;
    }
    return false;
}

enum class Outlook { refused, issued, silent };

// What issuing the warning now does: what NumPy's call would not do alike
// (refused), or nothing at all, no Python code run and nothing changed
// (silent: ignored by a filter found natively, or already in its registry;
// after one issue, which brought the registry's version up to date).
Outlook outlook(PyObject* module_dict, const RecordedWarning& warning) {
    PyObject* registry = PyDict_GetItemWithError(warning.globals, names.dunder_warningregistry);
    if (registry && registry != Py_None && !PyDict_Check(registry)) return Outlook::refused;
    Ref module_name = module_name_of(warning.globals);
    if (!module_name) return Outlook::refused;
    FilterVerdict verdict = filter_action(module_dict, warning, module_name.get());
    if (!verdict.action || !quiet_action(verdict.action.get())) return Outlook::refused;
    if (verdict.pure && PyUnicode_CompareWithASCIIString(verdict.action.get(), "ignore") == 0) {
        return Outlook::silent;
    }
    if (registry && PyDict_Check(registry)) {
        Ref lineno = Ref::steal(PyLong_FromLong(warning.lineno));
        Ref key = lineno ? Ref::steal(PyTuple_Pack(3, warning.text, warning.category, lineno.get())) : Ref();
        PyObject* seen = key ? PyDict_GetItemWithError(registry, key.get()) : nullptr;
        if (seen && PyBool_Check(seen) && seen == Py_True) return Outlook::silent;
    }
    return Outlook::issued;
}

// The machinery and error state as at start-up; the recorded mean for the
// caller's invalid-flag mode, or null.
const EmptyMean* mean_for_now(PyObject*& module_dict, Ref& module) {
    if (!recorded.usable) return nullptr;
    UfuncState ufunc;
    if (!read_ufunc_state(ufunc)) return nullptr;
    int mode = (ufunc.errmask >> errmask::kInvalidShift) & errmask::kModeBits;
    const EmptyMean* mean = mode == errmask::kWarn     ? &recorded.when_warned
                            : mode == errmask::kIgnore ? &recorded.when_ignored
                                                       : nullptr;
    if (!mean) return nullptr;
    // The interpreter's warnings read the module in sys.modules.
    module = Ref::steal(PyImport_GetModule(names.warnings));
    if (module.get() != recorded.warnings_module) return nullptr;
    module_dict = PyModule_GetDict(module.get());
    if (!module_dict || warnings_attr(module_dict, names.warn) != recorded.warn || !plain_display(module_dict)) {
        return nullptr;
    }
    return mean;
}

// The outlook of all the warnings of the mean for now: refused if any is.
Outlook outlook_now(const EmptyMean*& mean) {
    Ref module;
    PyObject* module_dict = nullptr;
    mean = mean_for_now(module_dict, module);
    Outlook all = mean ? Outlook::silent : Outlook::refused;
    for (size_t i = 0; mean && all != Outlook::refused && i < mean->warnings.size(); ++i) {
        Outlook one = outlook(module_dict, mean->warnings[i]);
        if (one != Outlook::silent) all = one;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return all;
}

}  // namespace

bool record_empty_mean(PyObject* numpy) {
    auto failed = [] {
        if (PyErr_Occurred()) {
            if (is_interrupt_or_memory_error()) return false;
            PyErr_Clear();
        }
        return true;  // the native path makes NumPy's call for every empty mean
    };
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) return failed();
    Ref probe = probe_function();
    if (!probe) return failed();
    EmptyMean warned, ignored;
    if (!run_probe(probe, numpy, warnings.get(), errmask::kWarn, warned) ||
        !run_probe(probe, numpy, warnings.get(), errmask::kIgnore, ignored) || !consistent(warned, ignored) ||
        !remember_machinery(warnings.get())) {
        return failed();
    }
    recorded.when_warned = std::move(warned);
    recorded.when_ignored = std::move(ignored);
    recorded.usable = true;
    return true;
}

const EmptyMean* replayable_empty_mean() {
    const EmptyMean* mean = nullptr;
    return outlook_now(mean) == Outlook::refused ? nullptr : mean;
}

const EmptyMean* silent_empty_mean() {
    const EmptyMean* mean = nullptr;
    return outlook_now(mean) == Outlook::silent ? mean : nullptr;
}

bool issue_empty_mean_warnings(const EmptyMean& mean) {
    for (const RecordedWarning& warning : mean.warnings) {
        // As the interpreter's warn() does for a frame of this module: its
        // registry, made on first use, and its name.
        PyObject* registry = PyDict_GetItemWithError(warning.globals, names.dunder_warningregistry);
        Ref made;
        if (!registry) {
            if (PyErr_Occurred()) return false;
            made = Ref::steal(PyDict_New());
            if (!made || PyDict_SetItem(warning.globals, names.dunder_warningregistry, made.get()) < 0) return false;
            registry = made.get();
        }
        Ref held_registry = Ref::borrow(registry);
        Ref module_name = module_name_of(warning.globals);
        if (!module_name) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "ombrix: a NumPy module lost its name");
            return false;
        }
        if (PyErr_WarnExplicitObject(warning.category, warning.text, warning.filename, warning.lineno,
                                     module_name.get(), registry) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace ombrix
