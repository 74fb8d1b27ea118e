#include "empty_mean.hpp"

#include <climits>
#include <string_view>

#include "../python/calls.hpp"
#include "../python/numpy_api.hpp"
#include "../python/numpy_runtime.hpp"
#include "../python/ref.hpp"

namespace ombrix {

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

// With the flag warned, NumPy issues what it issues with it ignored, and one
// warning more: the invalid flag's.
bool consistent(const EmptyMean& warned, const EmptyMean& ignored) {
    if (warned.warnings.size() != ignored.warnings.size() + 1) return false;
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

// The action the filters give a warning, as the interpreter finds it; an
// empty Ref (with or without an exception) where it would fail.
Ref filter_action(PyObject* module_dict, const RecordedWarning& warning, PyObject* module_name) {
    PyObject* filters = warnings_attr(module_dict, names.filters);
    if (!filters || !PyList_Check(filters)) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(filters, i));
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 5) return {};
        PyObject* action = PyTuple_GET_ITEM(item.get(), 0);
        if (!PyUnicode_Check(action)) return {};
        int message_matches = matches(PyTuple_GET_ITEM(item.get(), 1), warning.text);
        if (message_matches < 0) return {};
        int module_matches = matches(PyTuple_GET_ITEM(item.get(), 3), module_name);
        if (module_matches < 0) return {};
        int subclass = PyObject_IsSubclass(warning.category, PyTuple_GET_ITEM(item.get(), 2));
        if (subclass < 0) return {};
        Py_ssize_t line = PyLong_AsSsize_t(PyTuple_GET_ITEM(item.get(), 4));
        if (line == -1 && PyErr_Occurred()) return {};
        if (message_matches && module_matches && subclass && (line == 0 || line == warning.lineno)) {
            return Ref::borrow(action);
        }
    }
    PyObject* fallback = warnings_attr(module_dict, names.defaultaction);
    if (!fallback || !PyUnicode_Check(fallback)) return {};
    return Ref::borrow(fallback);
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

bool replayable(PyObject* module_dict, const RecordedWarning& warning) {
    PyObject* registry = PyDict_GetItemWithError(warning.globals, names.dunder_warningregistry);
    if (registry && registry != Py_None && !PyDict_Check(registry)) return false;
    Ref module_name = module_name_of(warning.globals);
    if (!module_name) return false;
    Ref action = filter_action(module_dict, warning, module_name.get());
    return action && quiet_action(action.get());
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
    if (!recorded.usable) return nullptr;
    UfuncState ufunc;
    if (!read_ufunc_state(ufunc)) return nullptr;
    int mode = (ufunc.errmask >> errmask::kInvalidShift) & errmask::kModeBits;
    const EmptyMean* mean = mode == errmask::kWarn     ? &recorded.when_warned
                            : mode == errmask::kIgnore ? &recorded.when_ignored
                                                       : nullptr;
    if (!mean) return nullptr;
    // The interpreter's warnings read the module in sys.modules.
    PyObject* module = PyImport_GetModule(names.warnings);
    Ref held = Ref::steal(module);
    bool ok = module == recorded.warnings_module;
    PyObject* module_dict = ok ? PyModule_GetDict(module) : nullptr;
    ok = ok && module_dict && warnings_attr(module_dict, names.warn) == recorded.warn && plain_display(module_dict);
    for (size_t i = 0; ok && i < mean->warnings.size(); ++i) ok = replayable(module_dict, mean->warnings[i]);
    if (PyErr_Occurred()) PyErr_Clear();
    return ok ? mean : nullptr;
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
