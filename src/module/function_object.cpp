#include "function_object.hpp"

#include "../capi/failures.hpp"
#include "../capi/no_cxx_exceptions.hpp"
#include "../capi/process_state.hpp"
#include "../capi/python_code.hpp"
#include "../capi/static_type.hpp"
#include "binding.hpp"

namespace ombrix {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* module_name;
    PyObject* defaults;  // tuple, or None
    PyObject* code;      // describes the parameters to inspect
    PyObject* param_names[kMaxParams];
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* call_entry(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FunctionSpec& spec = *f->spec;
    PyObject* defaults = f->defaults == Py_None ? nullptr : f->defaults;
    BoundArgs bound;
    if (!bind_arguments(spec, f->param_names, defaults, args, nargs, kwnames, bound)) return nullptr;
    PyObject* result = spec.entry(bound);
    before_python_code();  // back to the interpreter: nothing left pending
    if (!result && spec.entry_adds_definition_line) add_traceback(spec.qualname, spec.definition_line);
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& spec = *as_function(self)->spec;
    return without_cxx_exceptions<PyObject*>(
        nullptr, [&] { return call_entry(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames); },
        [&] {
            PyErr_Format(PyExc_MemoryError, "%s(): out of memory (a native allocation failed)", spec.name);
            add_traceback(spec.qualname, spec.definition_line);
        },
        "ombrix: unexpected internal error");
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module_name);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->code);
    for (PyObject* name : f->param_names) Py_XDECREF(name);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Bound like a Python function when stored on a class.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module_name); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_globals(PyObject*, void*) { return Py_NewRef(state.globals); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference: the module attribute of the same name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t = static_type("ombrix.function", sizeof(FunctionObject));
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_get;
    return t;
}();

Ref make_defaults(const FunctionSpec& spec) {
    if (spec.defaults.empty()) return Ref::borrow(Py_None);
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.defaults.size())));
    if (!tuple) return {};
    for (std::size_t i = 0; i < spec.defaults.size(); ++i) {
        const DefaultValue& d = spec.defaults[i];
        PyObject* value = d.kind == DefaultValue::Kind::Float
                              ? PyFloat_FromDouble(d.value)
                              : PyLong_FromLong(static_cast<long>(d.value));
        if (!value) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
    }
    return tuple;
}

// A code object naming the parameters, so inspect.signature() and help()
// describe the function like one written in Python.
Ref make_code(const FunctionSpec& spec, PyObject* const* param_names) {
    Py_ssize_t count = static_cast<Py_ssize_t>(spec.params.size());
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(kSourceFile, spec.name, spec.definition_line)));
    Ref varnames = Ref::steal(PyTuple_New(count));
    if (!empty || !varnames) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(param_names[i]));
    }
    Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), names.replace));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref argcount = Ref::steal(PyLong_FromSsize_t(count));
    if (!replace || !kwargs || !argcount) return {};
    if (PyDict_SetItem(kwargs.get(), names.co_argcount, argcount.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_nlocals, argcount.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_varnames, varnames.get()) < 0) {
        return {};
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return {};
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

}  // namespace

bool ready_function_type() { return PyType_Ready(&FunctionType) == 0; }

Ref new_function(const FunctionSpec& spec, PyObject* module_name) {
    auto* f = PyObject_New(FunctionObject, &FunctionType);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = nullptr;
    f->module_name = Py_NewRef(module_name);
    f->defaults = nullptr;
    f->code = nullptr;
    for (PyObject*& name : f->param_names) name = nullptr;
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));

    f->name = PyUnicode_InternFromString(spec.name);
    if (!f->name) return {};
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        f->param_names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (!f->param_names[i]) return {};
    }
    Ref defaults = make_defaults(spec);
    Ref code = make_code(spec, f->param_names);
    if (!defaults || !code) return {};
    f->defaults = defaults.release();
    f->code = code.release();
    return function;
}

}  // namespace ombrix
