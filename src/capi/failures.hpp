// How failures reach the caller: traceback entries named after the module's
// functions, and the end of a guarded score computation.
#pragma once

#include <Python.h>

#include <optional>

namespace ombrix {

// The file name that every traceback entry of the module carries.
inline constexpr const char* kSourceFile = "ombrix.pyx";

// Adds one traceback entry (qualified function name, source line) to the
// pending exception.
void add_traceback(const char* qualname, int line);

// What a routine returns after a failure: no object, or an empty optional.
struct Failed {
    operator PyObject*() const noexcept { return nullptr; }
    template <class T>
    operator std::optional<T>() const noexcept { return std::nullopt; }
};

// The traceback entries of one function: `return trace.at(line);` adds the
// entry of the failing statement and returns the failure.
class Traceback {
public:
    constexpr explicit Traceback(const char* qualname) : qualname_(qualname) {}
    Failed at(int line) const {
        add_traceback(qualname_, line);
        return {};
    }

private:
    const char* qualname_;
};

// Ends a guarded score computation that raised. Exceptions derived from
// Exception are discarded (the score becomes 0.0) and true is returned;
// MemoryError, a failure of the machine rather than of the score, and
// anything not derived from Exception (KeyboardInterrupt, SystemExit) stay
// pending, so that a user can always interrupt and never gets a score made
// of a failure.
bool discard_guarded_exception();

}  // namespace ombrix
