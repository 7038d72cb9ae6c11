// How a tracker object runs its native work: outside the interpreter lock, one call per
// object at a time, and without tripping over the interpreter's exit.
//
// Lock order is always the interpreter lock first released, then the object's mutex taken,
// and the mutex is given back before the interpreter lock is taken again. A thread never
// waits for one while holding the other, so two threads sharing an object cannot
// deadlock, and a thread waiting for a busy object does not stall the other Python threads.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include <Python.h>
#include <pybind11/pybind11.h>

namespace molvane {

// Releases the interpreter lock for its lifetime. Taking the lock back copes with the
// interpreter's exit, which pybind11's own guard does not: CPython ends a thread that
// comes back for the lock while the interpreter finalises with pthread_exit, a forced
// unwind that cannot pass a noexcept destructor (std::terminate) and that, if it could,
// would drop Python references without the lock on the way out. Such a thread is parked
// instead, holding nothing; the process exit ends it.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease();
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Native calls that are running without the interpreter lock, so that the interpreter's
// exit can wait for them: once the exit has begun nothing may still be inside OpenCV or
// an engine while the process tears its libraries down. A call that starts after that point
// on another thread (a daemon thread; ordinary threads have all been joined by then)
// never runs: its thread is parked.
class NativeSection {
public:
    NativeSection();
    ~NativeSection();
    NativeSection(const NativeSection&) = delete;
    NativeSection& operator=(const NativeSection&) = delete;

private:
    bool counted_;
};

// Registers the exit hook that closes the gate to new native calls and waits for those
// running, and gives a forked child a fresh gate (the calls of the parent's other threads
// do not run in the child). Called once from the module's initialisation.
void registerExitDrain();

// Runs `work` for one tracker object: the interpreter lock released, the object's `mutex`
// held. Whatever `work` throws is carried out of the unlocked region and rethrown once the
// interpreter lock is back, so the lock is never re-taken during unwinding.
template <class Work>
auto runExclusive(std::mutex& mutex, Work&& work) -> std::invoke_result_t<Work&> {
    using Result = std::invoke_result_t<Work&>;
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    {
        GilRelease release;
        NativeSection section;
        try {
            std::lock_guard<std::mutex> hold(mutex);
            if constexpr (std::is_void_v<Result>) {
                work();
                result.emplace(true);
            } else {
                result.emplace(work());
            }
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace molvane
