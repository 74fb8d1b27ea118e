// The module's entry point: multi-phase initialisation with a create and an
// exec step, the NumPy interface import and the module body.
#include <Python.h>

#if defined(OMBRIX_REQUIRE_PY_DEBUG) && !defined(Py_DEBUG)
#error "Py_DEBUG is not defined: the build picked up the release pyconfig.h"
#endif

#include <cstdio>

#include <string_view>

#include "../array_ops/empty_mean.hpp"
#include "../array_ops/native_gate.hpp"
#include "../capi/failures.hpp"
#include "../capi/no_cxx_exceptions.hpp"
#include "../capi/numpy_import.hpp"
#include "../capi/process_state.hpp"
#include "../capi/views.hpp"
#include "../draws/global_generator.hpp"
#include "function_object.hpp"
#include "function_table.hpp"

namespace ombrix {

namespace {

// Line of the module body that import failures report for everything that
// is not a function definition.
constexpr int kModuleBodyLine = 1;

// Copies spec.<from> to module.__dict__[to]; a missing attribute is skipped.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                         bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(module_dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter_id == -1) {
        state.interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (current != state.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict || !copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

bool check_python_version() {
    int runtime_major = 0, runtime_minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &runtime_major, &runtime_minor) != 2) return true;
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return true;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "ombrix", "does not match", runtime_major,
                  runtime_minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_in_sys_modules() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, "ombrix");
    if (existing) return true;
    return PyDict_SetItemString(modules, "ombrix", state.module) == 0;
}

// The module body: `import numpy as np`, the function definitions, __test__.
bool run_module_body(int& line) {
    line = kModuleBodyLine;
    Ref numpy = Ref::steal(
        PyImport_ImportModuleLevelObject(names.numpy, state.globals, nullptr, nullptr, 0));
    if (!numpy || PyDict_SetItem(state.globals, names.np, numpy.get()) < 0) return false;
    if (!state.numpy) state.numpy = Py_NewRef(numpy.get());
    if (!remember_startup_numpy() || !record_empty_mean(state.numpy)) return false;
    install_draws();
    Ref module_name = Ref::steal(PyUnicode_InternFromString("ombrix"));
    if (!module_name) return false;
    for (const FunctionSpec& spec : function_table()) {
        line = spec.definition_line;
        Ref function = new_function(spec, module_name.get());
        if (!function || PyDict_SetItemString(state.globals, spec.name, function.get()) < 0) {
            return false;
        }
    }
    line = kModuleBodyLine;
    Ref test = Ref::steal(PyDict_New());
    return test && PyDict_SetItemString(state.globals, "__test__", test.get()) == 0;
}

bool exec_steps(PyObject* module, int& line) {
    line = kModuleBodyLine;
    state.module = Py_NewRef(module);
    state.globals = PyModule_GetDict(module);
    if (!state.globals) return false;
    if (!state.builtins) {
        state.builtins = PyImport_ImportModule("builtins");
        if (!state.builtins) return false;
    }
    if (PyDict_SetItemString(state.globals, "__builtins__", state.builtins) < 0) return false;
    if (!check_python_version()) return false;
    if (!names.np && !create_names_and_constants()) return false;
    if (!ready_view_types() || !ready_function_type()) return false;
    if (!import_numpy_interface() || !import_numpy_types()) return false;
    if (state.run_as_main) {
        Ref main_name = Ref::steal(PyUnicode_FromString("__main__"));
        if (!main_name || PyObject_SetAttrString(module, "__name__", main_name.get()) < 0) return false;
    }
    if (!register_in_sys_modules()) return false;
    return run_module_body(line);
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ombrix' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    int line = kModuleBodyLine;
    bool ok = without_cxx_exceptions(
        false, [&] { return exec_steps(module, line); }, "init ombrix: out of memory (a native allocation failed)",
        "ombrix: unexpected internal error during import");
    if (ok) return 0;
    if (PyErr_Occurred()) {
        add_traceback("init ombrix", line);
    } else {
        PyErr_SetString(PyExc_ImportError, "init ombrix");
    }
    Py_CLEAR(state.module);
    state.globals = nullptr;
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ombrix", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace ombrix

PyMODINIT_FUNC PyInit_ombrix() { return PyModuleDef_Init(&ombrix::module_def); }
