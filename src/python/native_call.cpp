#include "python/native_call.hpp"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <new>
#include <thread>

namespace molvane {

namespace py = pybind11;

namespace {

[[noreturn]] void parkForever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// The gate the exit hook closes. The thread that closes it (the one running the exit
// hooks) still passes, since exit hooks registered before this module may use trackers.
struct ExitGate {
    std::mutex mutex;
    std::condition_variable drained;
    int inside = 0;
    bool closed = false;
    std::thread::id closer;
};

ExitGate& gate() {
    // Never destroyed: parked threads may still hold a reference at process exit.
    static ExitGate* g = new ExitGate;
    return *g;
}

// A forked child has only the thread that called fork. Calls that other threads of the
// parent were making are not running in the child, yet their count (and possibly the
// gate's mutex, held at that instant) came along; the child's exit would wait for them
// forever. The child starts with a fresh gate, built over the old one without destroying
// it, since a mutex held by a thread that no longer exists cannot be destroyed.
void resetGateInChild() { new (&gate()) ExitGate; }

}  // namespace

GilRelease::~GilRelease() {
    // Finalisation has begun: taking the lock back would end this thread. Park first.
    if (interpreterFinalizing()) parkForever();
    // Finalisation began while this thread waited for the lock (a thread that left its
    // native section while the exit hook drained): CPython ends it with pthread_exit, a
    // forced unwind. Parking inside the handler, never leaving it, stops that unwind here;
    // leaving the handler without rethrowing would abort. The handler is catch (...)
    // because a forced unwind carries no C++ object to bind a reference to.
    try {
        PyEval_RestoreThread(state_);
    } catch (...) {
        parkForever();
    }
}

NativeSection::NativeSection() : counted_(false) {
    ExitGate& g = gate();
    std::unique_lock<std::mutex> hold(g.mutex);
    if (g.closed) {
        if (std::this_thread::get_id() == g.closer) return;
        hold.unlock();
        parkForever();
    }
    ++g.inside;
    counted_ = true;
}

NativeSection::~NativeSection() {
    if (!counted_) return;
    ExitGate& g = gate();
    std::lock_guard<std::mutex> hold(g.mutex);
    if (--g.inside == 0 && g.closed) g.drained.notify_all();
}

void registerExitDrain() {
    gate();  // made now, before any thread or fork could race to make it
    pthread_atfork(nullptr, nullptr, &resetGateInChild);
    // The hook keeps the interpreter lock while it waits: the calls it waits for leave
    // their section before they ask for that lock, and none of them can start Python work
    // (and with it new native calls) before the interpreter moves on.
    py::cpp_function drain([] {
        ExitGate& g = gate();
        std::unique_lock<std::mutex> hold(g.mutex);
        g.closed = true;
        g.closer = std::this_thread::get_id();
        g.drained.wait(hold, [&] { return g.inside == 0; });
    });
    py::module_::import("atexit").attr("register")(drain);
}

}  // namespace molvane
