// Checks a buffer's struct-module format string against the one element type
// that a typed view expects, with the module's ValueError messages.
#pragma once

#include <Python.h>

#include <cstddef>

namespace ombrix {

struct ElementType {
    const char* name;  // as the messages write it: 'double', 'int64_t'
    char group;        // 'R' real, 'I' signed integer
    std::size_t size;
};

inline constexpr ElementType kDouble{"double", 'R', 8};
inline constexpr ElementType kInt64{"int64_t", 'I', 8};

// Returns false with ValueError set when `format` does not describe exactly
// one element of `expected`. A null format means unsigned bytes.
bool check_buffer_format(const char* format, const ElementType& expected);

}  // namespace ombrix
