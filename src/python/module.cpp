#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(molvane, m) {
    m.doc() = "Molvane Python SDK - selected-target lock and track (pybind11)";
}
