// The rule at every door from the interpreter into C++: no C++ exception
// crosses it. A failed allocation becomes MemoryError, anything else
// SystemError; a forced unwind (the interpreter ending this thread at exit)
// is no exception and goes on.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <new>
#include <utility>

namespace ombrix {

// body(), or `failed` with the Python exception set when it threw;
// set_memory_error() sets the MemoryError, in the words of the door.
// A forced unwind is caught by reference as glibc asks, though it has no C++
// exception object: the sanitizer's null-reference check would flag it.
template <class Result, class Body, class SetMemoryError>
__attribute__((no_sanitize("null"))) Result without_cxx_exceptions(Result failed, Body&& body,
                                                                   SetMemoryError&& set_memory_error,
                                                                   const char* internal_error) {
    try {
        return std::forward<Body>(body)();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        set_memory_error();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, internal_error);
    }
    return failed;
}

template <class Result, class Body>
Result without_cxx_exceptions(Result failed, Body&& body, const char* out_of_memory, const char* internal_error) {
    return without_cxx_exceptions(
        failed, std::forward<Body>(body), [&] { PyErr_SetString(PyExc_MemoryError, out_of_memory); },
        internal_error);
}

}  // namespace ombrix
