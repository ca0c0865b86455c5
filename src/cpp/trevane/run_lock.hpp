// The process-wide lock that makes backtest_ calls run one after another.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>

#if __has_include(<pthread.h>)
#include <pthread.h>
#endif

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

// After a fork the child has only the thread that forked. A run that another thread had under way
// never finishes there, and its hold on run_mutex would make every backtest_ of the child wait
// forever: the child drops it. A run of the forking thread itself (a fork from one of its callbacks)
// goes on in the child and keeps the lock until it ends.
inline void reset_run_lock_in_child() noexcept {
    if (run_owner.load() == PyThread_get_thread_ident()) return;
    // The old mutex may be held by a thread that does not exist here, so it is neither unlocked nor
    // destroyed: a fresh one is made in its place.
    new (&run_mutex) std::timed_mutex();
    run_owner.store(0);
}

// Registers reset_run_lock_in_child to run in the child of every fork, once per process. Returns
// false with a Python error set when it cannot be registered.
inline bool reset_run_lock_after_fork() {
#if __has_include(<pthread.h>)
    static bool registered = false;
    if (registered) return true;
    if (pthread_atfork(nullptr, nullptr, &reset_run_lock_in_child) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "cannot register the engine lock's fork handler");
        return false;
    }
    registered = true;
#endif
    return true;
}

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
