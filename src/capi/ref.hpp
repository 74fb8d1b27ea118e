// Owning handle for a PyObject reference: every temporary in the module is
// held by one, so every exit path releases it without hand-counted decrefs.
#pragma once

#include <Python.h>

#include <utility>

namespace ombrix {

// A thread that the interpreter ends while it finalises (a daemon thread
// refused the GIL back) unwinds through the module without the GIL, while the
// main thread tears modules down: its references are left alone, since the
// process is ending.
inline bool may_release_references() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing() || PyGILState_Check();
#else
    return !_Py_IsFinalizing() || PyGILState_Check();
#endif
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() {
        if (ptr_ && may_release_references()) Py_DECREF(ptr_);
    }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference (nullptr allowed: it marks a failed call).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (for return values).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace ombrix
