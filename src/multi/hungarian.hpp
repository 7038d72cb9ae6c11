// Rectangular linear assignment (shortest augmenting paths with dual potentials).
#pragma once

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

}  // namespace molvane
