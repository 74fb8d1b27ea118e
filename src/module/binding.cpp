#include "binding.hpp"

#include "../capi/failures.hpp"
#include "../capi/scalars.hpp"
#include "binding_notes.hpp"

namespace ombrix {

namespace {

struct Keywords {
    PyObject* names;  // tuple, or nullptr for a call without keywords
    PyObject* const* values;
};

void raise_count_error(const FunctionSpec& spec, Py_ssize_t given) {
    Py_ssize_t total = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t required = spec.required();
    bool exact = required == total;
    Py_ssize_t expected = given < required ? required : total;
    const char* more_or_less = exact ? "exactly" : (given < required ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

// Compares a keyword with a parameter name: identity first, then equality of
// strings. Returns 1 on a match, 0 otherwise, -1 on error.
int names_match(PyObject* keyword, PyObject* param) {
    if (keyword == param) return 1;
    if (!PyUnicode_Check(keyword)) return 0;
    if (PyUnicode_GET_LENGTH(keyword) != PyUnicode_GET_LENGTH(param)) return 0;
    int cmp = PyUnicode_Compare(keyword, param);
    if (cmp == -1 && PyErr_Occurred()) return -1;
    return cmp == 0;
}

// The value passed for `param` by keyword, or nullptr (check PyErr_Occurred).
PyObject* keyword_value(const Keywords& kw, PyObject* param) {
    Py_ssize_t count = PyTuple_GET_SIZE(kw.names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (PyTuple_GET_ITEM(kw.names, k) == param) return kw.values[k];
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        int match = names_match(PyTuple_GET_ITEM(kw.names, k), param);
        if (match < 0) return nullptr;
        if (match) return kw.values[k];
    }
    return nullptr;
}

// Assigns every keyword to its parameter, refusing keywords that are not
// strings, name no parameter, or name one already given positionally.
bool assign_keywords(const FunctionSpec& spec, PyObject* const* param_names, const Keywords& kw,
                     Py_ssize_t nargs, PyObject** values) {
    Py_ssize_t total = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t count = PyTuple_GET_SIZE(kw.names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kw.names, k);
        bool assigned = false;
        for (Py_ssize_t p = nargs; p < total && !assigned; ++p) {
            if (param_names[p] == key) {
                values[p] = kw.values[k];
                assigned = true;
            }
        }
        if (assigned) continue;
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        for (Py_ssize_t p = nargs; p < total && !assigned; ++p) {
            int match = names_match(key, param_names[p]);
            if (match < 0) return false;
            if (match) {
                values[p] = kw.values[k];
                assigned = true;
            }
        }
        if (assigned) continue;
        for (Py_ssize_t p = 0; p < nargs; ++p) {
            int match = names_match(key, param_names[p]);
            if (match < 0) return false;
            if (match) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
        return false;
    }
    return true;
}

// Collects the argument object of every parameter (borrowed), defaults
// included.
bool collect(const FunctionSpec& spec, PyObject* const* param_names, PyObject* defaults,
             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
    Py_ssize_t total = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t required = spec.required();
    if (nargs > total || (!kwnames && nargs < required)) {
        raise_count_error(spec, nargs);
        return false;
    }
    for (Py_ssize_t p = 0; p < nargs; ++p) values[p] = args[p];
    if (kwnames) {
        Keywords kw{kwnames, args + nargs};
        Py_ssize_t unmatched = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t p = nargs; p < total; ++p) {
            if (p >= required && unmatched <= 0) break;
            PyObject* value = keyword_value(kw, param_names[p]);
            if (value) {
                values[p] = value;
                --unmatched;
            } else if (PyErr_Occurred()) {
                return false;
            } else if (p < required) {
                raise_count_error(spec, p);
                return false;
            }
        }
        if (unmatched > 0 && !assign_keywords(spec, param_names, kw, nargs, values)) return false;
    }
    for (Py_ssize_t p = required; p < total; ++p) {
        if (!values[p]) values[p] = PyTuple_GET_ITEM(defaults, p - required);
    }
    return true;
}

bool convert(const ParamSpec& param, PyObject* value, BoundValue& out) {
    switch (param.kind) {
        case ParamKind::FloatVector:
            return bind_vector(value, kDouble, true, out.vector) &&
                   check_vector_length(out.vector.length);
        case ParamKind::FloatMatrix:
            return bind_matrix(value, true, out.matrix);
        case ParamKind::Double:
            return to_double(value, out.real);
        case ParamKind::Int32:
            return to_int32(value, out.integer);
        case ParamKind::Truth:
            return to_truth(value, out.truth);
    }
    return false;
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* const* param_names, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
    PyObject* values[kMaxParams] = {};
    if (!collect(spec, param_names, defaults, args, nargs, kwnames, values)) {
        note_call_shape_failure(spec, nargs, kwnames);
        add_traceback(spec.qualname, spec.definition_line);
        return false;
    }
    for (std::size_t p = 0; p < spec.params.size(); ++p) {
        if (!convert(spec.params[p], values[p], out.values[p])) {
            note_conversion_failure(spec, spec.params[p], values[p]);
            add_traceback(spec.qualname, spec.params[p].line);
            return false;
        }
    }
    return true;
}

}  // namespace ombrix
