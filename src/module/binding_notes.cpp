#include "binding_notes.hpp"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "../capi/numpy_api.hpp"
#include "../capi/pending_exception.hpp"

namespace ombrix {

namespace {

// Adds the note that `build(overflow)` writes to the pending exception, when
// it is one of the classes a bad argument raises. The exception is set aside
// while the note is built; any failure here leaves it as it was.
template <class Build>
void add_note(Build build) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        return;
    }
    bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
    Ref exception = take_pending_exception();
    if (!exception) return;
    try {
        std::string text = build(overflow);
        Ref note = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        Ref done;
        if (note) done = Ref::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
    } catch (const std::bad_alloc&) {
        // The failure is reported without its note.
    }
    PyErr_Clear();
    restore_pending_exception(std::move(exception));
}

std::string utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return "?";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Pieces appended in order (GCC 12 warns falsely about `"..." + string`).
std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view piece : pieces) out.append(piece);
    return out;
}

std::string quoted(std::string_view name) { return concat({"'", name, "'"}); }

std::string with_article(std::string_view noun) {
    bool vowel = !noun.empty() && std::string_view("aeiouAEIOU").find(noun[0]) != std::string_view::npos;
    return concat({vowel ? "an " : "a ", noun});
}

// "(data, chr_pos, lbd, possion_lbd, size, seed=1)"
std::string signature(const FunctionSpec& spec) {
    std::string out = "(";
    std::size_t first_default = spec.params.size() - spec.defaults.size();
    for (std::size_t p = 0; p < spec.params.size(); ++p) {
        if (p) out += ", ";
        out += spec.params[p].name;
        if (p < first_default) continue;
        const DefaultValue& value = spec.defaults[p - first_default];
        if (value.kind == DefaultValue::Kind::Int) {
            out += concat({"=", std::to_string(static_cast<long long>(value.value))});
        } else {
            char* repr = PyOS_double_to_string(value.value, 'r', 0, 0, nullptr);
            if (repr) out += concat({"=", repr});
            PyMem_Free(repr);
        }
    }
    out += ")";
    return out;
}

// Edit distance, for the parameter a mistyped keyword most resembles.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

const char* closest(std::string_view keyword, const std::vector<const char*>& candidates) {
    const char* best = nullptr;
    std::size_t best_distance = std::max<std::size_t>(2, (keyword.size() + 2) / 3) + 1;
    for (const char* candidate : candidates) {
        std::size_t distance = edit_distance(keyword, candidate);
        if (distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

bool names_param(PyObject* keyword, const char* param) {
    return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, param) == 0;
}

// --- what an argument is, and how it is usually made acceptable -----------

struct ArrayFacts {
    int ndim = 0;
    bool float64 = false;  // native-order double
    bool writable = false;
    std::string dtype;
    std::string shape;
};

// The element type's name ("int64", "float32"), and the shape, read without
// running Python code, so that a failed call stays as cheap as it was.
ArrayFacts array_facts(PyObject* value) {
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    ArrayFacts facts;
    facts.ndim = PyArray_NDIM(array);
    facts.float64 = PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array);
    facts.writable = PyArray_ISWRITEABLE(array);
    std::string_view type_name = PyArray_DESCR(array)->typeobj->tp_name;
    if (type_name.starts_with("numpy.")) type_name.remove_prefix(6);
    facts.dtype = concat({PyArray_ISNOTSWAPPED(array) ? "" : "byte-swapped ", type_name});
    facts.shape.push_back('(');
    for (int d = 0; d < facts.ndim; ++d) {
        facts.shape.append(d ? ", " : "");
        facts.shape.append(std::to_string(static_cast<long long>(PyArray_DIM(array, d))));
    }
    facts.shape.append(facts.ndim == 1 ? ",)" : ")");
    return facts;
}

bool from_pandas(PyObject* value) {
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return utf8(module.get()).starts_with("pandas");
}

std::string describe(PyObject* value) {
    std::string_view type_name = Py_TYPE(value)->tp_name;
    if (!PyArray_Check(value)) {
        if (from_pandas(value)) return concat({"a pandas ", type_name});
        return with_article(type_name);
    }
    ArrayFacts facts = array_facts(value);
    return with_article(concat({facts.writable ? "" : "read-only ", std::to_string(facts.ndim), "-D ",
                                facts.dtype, " array", facts.ndim != 1 ? " of shape " : "",
                                facts.ndim != 1 ? facts.shape : ""}));
}

std::string as_float64(std::string_view expression) {
    return concat({"np.ascontiguousarray(", expression, ", dtype=np.float64)"});
}

std::string vector_fix(std::string_view name, PyObject* value) {
    if (!PyArray_Check(value)) {
        if (from_pandas(value)) return concat({"Pass ", name, ".to_numpy(dtype=np.float64, copy=True)."});
        return concat({"Convert it with ", as_float64(name), "."});
    }
    ArrayFacts facts = array_facts(value);
    if (facts.ndim >= 2) {
        std::string row = concat({name, "[i]"});
        if (!facts.float64) row = as_float64(row);
        return concat({"Pass one profile at a time, such as ", row, " for row i (or ", name,
                       ".ravel() to score all values as one profile)."});
    }
    if (!facts.float64 || facts.ndim == 0) return concat({"Convert it with ", as_float64(name), "."});
    if (!facts.writable) return concat({"Pass a writable copy: ", name, ".copy()."});
    return concat({"Pass a NumPy float64 array, for example ", as_float64(name), "."});
}

std::string matrix_fix(std::string_view name, PyObject* value) {
    if (PyArray_Check(value)) {
        ArrayFacts facts = array_facts(value);
        if (facts.ndim == 2 && facts.float64 && !facts.writable) {
            return concat({"Pass None (the table is not read), or a writable copy: ", name, ".copy()."});
        }
    }
    return concat({"Pass None (the table is not read), or np.array(", name, ", dtype=np.float64, ndmin=2)."});
}

std::string conversion_note(const FunctionSpec& spec, const ParamSpec& param, PyObject* value,
                            bool overflow) {
    std::string_view name = param.name;
    std::string got = describe(value);
    auto note = [&](std::string_view takes, std::string_view fix) {
        return concat({spec.qualname, "(), parameter ", quoted(name), ": takes ", takes, "; got ", got,
                       ". ", fix});
    };
    switch (param.kind) {
        case ParamKind::FloatVector:
            return note("a 1-D float64 NumPy array (writable, any stride) or None", vector_fix(name, value));
        case ParamKind::FloatMatrix:
            return note("a 2-D float64 NumPy array or None", matrix_fix(name, value));
        case ParamKind::Double:
            return note("a real number", concat({"Pass a number, such as float(", name, ")."}));
        case ParamKind::Int32:
            if (overflow) {
                return note("a 32-bit integer, from -2147483648 to 2147483647", "Pass a value in that range.");
            }
            return note("an integer", concat({"Pass an integer, such as int(", name, ")."}));
        case ParamKind::Truth:
            return note("a truth value", "Pass True or False.");
    }
    return {};
}

std::string call_shape_note(const FunctionSpec& spec, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<const char*> missing, not_given;
    for (std::size_t p = static_cast<std::size_t>(std::max<Py_ssize_t>(nargs, 0));
         p < spec.params.size(); ++p) {
        bool given = false;
        for (Py_ssize_t k = 0; k < keyword_count && !given; ++k) {
            given = names_param(PyTuple_GET_ITEM(kwnames, k), spec.params[p].name);
        }
        if (given) continue;
        not_given.push_back(spec.params[p].name);
        if (static_cast<Py_ssize_t>(p) < spec.required()) missing.push_back(spec.params[p].name);
    }
    std::string note = concat({spec.qualname, "() takes ", signature(spec), "."});
    if (!missing.empty()) {
        note += " Missing: ";
        for (std::size_t m = 0; m < missing.size(); ++m) note += concat({m ? ", " : "", quoted(missing[m])});
        note += ".";
    }
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) continue;
        bool known = false;
        for (const ParamSpec& param : spec.params) known = known || names_param(keyword, param.name);
        if (known) continue;
        std::string text = utf8(keyword);
        note += concat({" The keyword ", quoted(text), " is not one of its parameters"});
        const char* guess = closest(text, missing.empty() ? not_given : missing);
        note += guess ? concat({": did you mean ", quoted(guess), "?"}) : std::string(".");
    }
    return note;
}

}  // namespace

void note_call_shape_failure(const FunctionSpec& spec, Py_ssize_t nargs, PyObject* kwnames) {
    add_note([&](bool) { return call_shape_note(spec, nargs, kwnames); });
}

void note_conversion_failure(const FunctionSpec& spec, const ParamSpec& param, PyObject* value) {
    add_note([&](bool overflow) { return conversion_note(spec, param, value, overflow); });
}

}  // namespace ombrix
