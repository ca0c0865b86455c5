// The process-wide lock that makes backtest_ calls run one after another.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "pyglue/errors.hpp"
#include "pyglue/python.hpp"

namespace zelvor::trevane {

// One backtest at a time in the whole process. A run's recorder state and results are
// process-wide, and a run calls into Python (NumPy, label comparison, truth values), where the
// interpreter may switch threads; without this, two threads' runs interleave inside the recorder.
inline std::timed_mutex run_mutex;
// The thread holding run_mutex (0: none), so that a call from inside a running backtest on the
// same thread is refused instead of waiting for itself.
inline std::atomic<unsigned long> run_owner{0};

// Lets other threads run Python code while this one waits.
class InterpreterLockRelease {
public:
    InterpreterLockRelease() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterLockRelease() { PyEval_RestoreThread(saved_); }
    InterpreterLockRelease(const InterpreterLockRelease&) = delete;
    InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

private:
    PyThreadState* saved_;
};

// Holds run_mutex for the length of a run. It is only ever waited on with the interpreter lock
// released, so a thread holding the interpreter lock never blocks on it, and the run that holds
// it can always get the interpreter lock back: no path deadlocks.
class RunLock {
public:
    RunLock() {
        const unsigned long self = PyThread_get_thread_ident();
        if (!run_mutex.try_lock()) {
            if (run_owner.load() == self) {
                glue::raise(PyExc_RuntimeError,
                            "backtest_() was called from inside a running backtest on the same thread (from a "
                            "callback such as a label's comparison or a truth value); runs cannot be nested");
            }
            wait();
        }
        run_owner.store(self);
    }
    ~RunLock() {
        run_owner.store(0);
        run_mutex.unlock();
    }
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    // Waits in slices, so that a signal (Ctrl-C in the main thread) still interrupts the wait.
    static void wait() {
        for (;;) {
            bool acquired = false;
            {
                const InterpreterLockRelease released;
                acquired = run_mutex.try_lock_for(std::chrono::milliseconds(50));
            }
            if (acquired) return;
            glue::check_status(PyErr_CheckSignals());
        }
    }
};

}  // namespace zelvor::trevane
