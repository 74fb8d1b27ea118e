#include "process_state.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "ref.hpp"

namespace ombrix {

ModuleState state;
Names names;
Constants constants;

namespace {

// "double_" stands for the string "double" (a C++ keyword otherwise),
// "dunder_x" for "__x__" (names with double underscores are reserved in C++).
PyObject* intern(const char* identifier) {
    if (std::strcmp(identifier, "double_") == 0) identifier = "double";
    constexpr std::string_view dunder = "dunder_";
    std::string_view name = identifier;
    if (name.starts_with(dunder)) {
        std::string spelled = "__" + std::string(name.substr(dunder.size())) + "__";
        return PyUnicode_InternFromString(spelled.c_str());
    }
    return PyUnicode_InternFromString(identifier);
}

PyObject* tuple_of(PyObject* item) {
    return item ? PyTuple_Pack(1, item) : nullptr;
}

}  // namespace

bool create_names_and_constants() {
#define OMBRIX_CREATE_NAME(n) \
    if (!(names.n = intern(#n))) return false;
    OMBRIX_NAMES(OMBRIX_CREATE_NAME)
#undef OMBRIX_CREATE_NAME
    constants.int_0 = PyLong_FromLong(0);
    constants.int_1 = PyLong_FromLong(1);
    constants.float_0_6 = PyFloat_FromDouble(0.6);
    constants.float_1_0 = PyFloat_FromDouble(1.0);
    constants.ddof_kwnames = tuple_of(names.ddof);
    constants.size_kwnames = tuple_of(names.size);
    constants.where_kwnames = tuple_of(names.where);
    Ref all_rows = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!all_rows) return false;
    for (long j = 0; j < 3; ++j) {
        Ref index = Ref::steal(PyLong_FromLong(j));
        if (!index || !(constants.column_key[j] = PyTuple_Pack(2, all_rows.get(), index.get()))) {
            return false;
        }
    }
    return constants.int_0 && constants.int_1 && constants.float_0_6 && constants.float_1_0 &&
           constants.ddof_kwnames && constants.size_kwnames && constants.where_kwnames;
}

}  // namespace ombrix
