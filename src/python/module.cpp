// The `molvane` extension module: four classes, registered in the order Python lists them,
// and the package's version as __version__.
#include <exception>
#include <new>
#include <stdexcept>

#include <pybind11/pybind11.h>

#include "python/bindings.hpp"
#include "python/native_call.hpp"

namespace py = pybind11;

namespace {

// Bad arguments become ValueError; every other native failure, OpenCV's included, becomes
// RuntimeError carrying its message. The binding layer's own exceptions and allocation
// failures keep their usual Python types.
void translateNativeError(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const py::error_already_set&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

}  // namespace

PYBIND11_MODULE(molvane, m) {
    m.doc() = "Molvane Python SDK - selected-target lock and track (pybind11)";
    py::register_local_exception_translator(&translateNativeError);
    molvane::bindTrackerConfig(m);
    molvane::bindTrackResult(m);
    molvane::bindTracker(m);
    molvane::bindMultiTracker(m);
    molvane::registerExitDrain();
    m.attr("__version__") = MOLVANE_VERSION;
}
