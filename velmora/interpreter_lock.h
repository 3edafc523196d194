// The interpreter lock on threads that Python did not start, and at shutdown.
#pragma once

#include <Python.h>

namespace velmora::binding {

// Blocks the calling thread for good. During finalization the interpreter ends every other
// thread that asks for its lock by unwinding its stack; a thread inside a destructor cannot
// unwind (the process would abort), so it waits here until the process ends instead.
[[noreturn]] void WaitForProcessExit();

// Takes the interpreter lock back after an engine call made without it.
void RestoreThreadOrWait(PyThreadState* saved) noexcept;

// Holds the interpreter lock for one callback, on any thread: an engine thread keeps its
// thread state between callbacks; a thread that already holds the lock (a Python thread inside
// a session call) nests.
class CallbackLock {
public:
    CallbackLock() {
        if (PyGILState_GetThisThreadState() == nullptr) AdoptThread();
        state_ = PyGILState_Ensure();
    }
    ~CallbackLock() { PyGILState_Release(state_); }

    CallbackLock(const CallbackLock&) = delete;
    CallbackLock& operator=(const CallbackLock&) = delete;

private:
    // Gives an engine thread a thread state of its own, kept from one callback to the next and
    // released when the thread ends.
    static void AdoptThread();

    PyGILState_STATE state_;
};

}  // namespace velmora::binding
