#include "interpreter_lock.h"

#include <cxxabi.h>
#include <unistd.h>

namespace velmora::binding {

namespace {

// The Python thread state of a thread that Python did not start (an engine thread): made at
// its first callback, kept from one callback to the next, released when the thread ends.
class EngineThreadState {
public:
    EngineThreadState() = default;
    EngineThreadState(const EngineThreadState&) = delete;
    EngineThreadState& operator=(const EngineThreadState&) = delete;

    ~EngineThreadState() {
        // During or after finalization the state is left alone: the interpreter would end
        // this thread if it asked for the lock, and after finalization it is gone.
        if (state_ == nullptr || _Py_IsFinalizing() || !Py_IsInitialized()) return;
        RestoreThreadOrWait(state_);
        // The last hold on the state: it is cleared and deleted, and the lock released.
        PyGILState_Release(PyGILState_UNLOCKED);
    }

    // Gives this thread a thread state of its own. The state is made by PyGILState_Ensure and
    // one hold on it is never given back until the thread ends, so later callbacks find it.
    static void Adopt() {
        // This thread's own instance: its destructor runs when the thread ends.
        thread_local EngineThreadState kept;
        // What the interpreter does to a thread that asks for its lock during finalization;
        // after finalization there is no interpreter to make a state in.
        if (_Py_IsFinalizing() || !Py_IsInitialized()) PyThread_exit_thread();
        PyGILState_Ensure();
        kept.state_ = PyGILState_GetThisThreadState();
        PyEval_SaveThread();
    }

private:
    PyThreadState* state_ = nullptr;
};

}  // namespace

[[noreturn]] void WaitForProcessExit() {
    for (;;) pause();
}

void RestoreThreadOrWait(PyThreadState* saved) noexcept {
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        WaitForProcessExit();
    }
}

void CallbackLock::AdoptThread() { EngineThreadState::Adopt(); }

}  // namespace velmora::binding
