// What must be made good before Python code may run, or before a call goes
// back to the interpreter: a layer above may keep work pending while only
// native code runs (the draws keep NumPy's generator state and lock for a
// whole call), and registers here how to finish it. Every place where Python
// code may run calls before_python_code() first: calls into Python objects,
// a hand-over to NumPy's call, a warning, a check for signals, a traceback
// entry, the conversion of an object whose type is defined in Python, and
// each door back to the interpreter.
#pragma once

#include <Python.h>

namespace ombrix {

using PendingWork = void (*)();

// Set once, by the layer that keeps the work pending.
void set_before_python_code(PendingWork finish);

extern PendingWork pending_work;

// How many times Python code may have run: what a native shortcut learned of
// Python's state (a warning that would do nothing) holds while it is unchanged.
extern unsigned long long python_code_points;

inline void before_python_code() {
    ++python_code_points;
    if (pending_work) pending_work();
}

// PyErr_CheckSignals(), which runs Python's signal handlers.
inline int check_signals() {
    before_python_code();
    return PyErr_CheckSignals();
}

// Finishes the pending work where it goes out of scope: a loop of native
// steps leaves nothing pending to the code after it, which may make objects
// that the cyclic collector tracks (and so run finalizers).
struct FinishedAtEnd {
    FinishedAtEnd() = default;
    FinishedAtEnd(const FinishedAtEnd&) = delete;
    FinishedAtEnd& operator=(const FinishedAtEnd&) = delete;
    ~FinishedAtEnd() { before_python_code(); }
};

// How much work may pass between two checks for signals: a long loop of
// small steps checks after about this many profile positions, so that a
// pending state is not made good at every step, and a Ctrl-C still stops it
// within a few milliseconds.
class SignalCheck {
public:
    static constexpr long long kPositionsBetweenChecks = 1LL << 18;
    // Counts `positions` of work; true with the exception set when a signal
    // handler raised at a check that was due.
    bool interrupted_after(long long positions) {
        done_ += positions;
        if (done_ < kPositionsBetweenChecks) return false;
        done_ = 0;
        return check_signals() < 0;
    }

private:
    long long done_ = kPositionsBetweenChecks;  // the first step checks at once
};

}  // namespace ombrix
