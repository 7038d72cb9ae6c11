// Rectangular linear assignment (shortest augmenting paths with dual potentials).
#pragma once

#include <cstddef>
#include <vector>

#if defined(_WIN32)
#define MOLVANE_EXPORT __declspec(dllexport)
#else
#define MOLVANE_EXPORT __attribute__((visibility("default")))
#endif

namespace molvane {

// Gives each row at most one column (and each column at most one row), matching
// min(rows, cols) pairs at minimal total cost. Entry r is the column of row r or -1.
// Throws std::invalid_argument "Hungarian cost matrix must be rectangular".
MOLVANE_EXPORT std::vector<int> hungarian(const std::vector<std::vector<double>>& cost);

// Working storage of the solver, kept by a caller that solves every frame.
struct HungarianScratch {
    std::vector<double> u, v, minv;
    std::vector<std::size_t> p, way;
    std::vector<unsigned char> used;
    std::vector<int> byColumn;
};

// The same, writing the answer into `answer` and working in `scratch`: once both have
// grown, a call allocates nothing.
void hungarian(const std::vector<std::vector<double>>& cost, std::vector<int>& answer, HungarianScratch& scratch);

}  // namespace molvane
