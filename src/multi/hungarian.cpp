#include "multi/hungarian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace molvane {

namespace {

// Shortest augmenting paths with dual potentials on an n x m problem (n <= m). `at(r, c)`
// reads the cost of zero-based row r and column c, so the transposed orientation needs
// no copy of the matrix. Indices inside are 1-based; index 0 is the sentinel column.
template <typename Cost>
void solveCore(std::size_t n, std::size_t m, const Cost& at, HungarianScratch& sc, std::vector<int>& answer) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::vector<double>&u = sc.u, &v = sc.v, &minv = sc.minv;
    std::vector<std::size_t>&p = sc.p, &way = sc.way;
    std::vector<unsigned char>& used = sc.used;
    u.assign(n + 1, 0.0);
    v.assign(m + 1, 0.0);
    minv.assign(m + 1, kInf);
    p.assign(m + 1, 0);
    way.assign(m + 1, 0);
    used.assign(m + 1, 0);

    for (std::size_t i = 1; i <= n; ++i) {
        p[0] = i;
        std::size_t j0 = 0;
        std::fill(minv.begin(), minv.end(), kInf);
        std::fill(used.begin(), used.end(), 0);
        do {
            used[j0] = 1;
            const std::size_t i0 = p[j0];
            double delta = kInf;
            std::size_t j1 = 0;
            for (std::size_t j = 1; j <= m; ++j) {
                if (used[j]) continue;
                const double cur = at(i0 - 1, j - 1) - u[i0] - v[j];
                if (cur < minv[j]) {
                    minv[j] = cur;
                    way[j] = j0;
                }
                if (minv[j] < delta) {
                    delta = minv[j];
                    j1 = j;
                }
            }
            // Finite inputs always leave a free column with a finite slack; only costs so
            // large that the potentials overflow get here, and continuing would loop forever.
            if (j1 == 0) throw std::overflow_error("Hungarian costs are too large to solve");
            for (std::size_t j = 0; j <= m; ++j) {
                if (used[j]) {
                    u[p[j]] += delta;
                    v[j] -= delta;
                } else {
                    minv[j] -= delta;
                }
            }
            j0 = j1;
        } while (p[j0] != 0);
        do {
            const std::size_t j1 = way[j0];
            p[j0] = p[j1];
            j0 = j1;
        } while (j0 != 0);
    }

    answer.assign(n, -1);
    for (std::size_t j = 1; j <= m; ++j) {
        if (p[j] != 0) answer[p[j] - 1] = static_cast<int>(j - 1);
    }
}

}  // namespace

std::vector<int> hungarian(const std::vector<std::vector<double>>& cost) {
    HungarianScratch scratch;
    std::vector<int> answer;
    hungarian(cost, answer, scratch);
    return answer;
}

void hungarian(const std::vector<std::vector<double>>& cost, std::vector<int>& answer, HungarianScratch& scratch) {
    const std::size_t rows = cost.size();
    answer.clear();
    if (rows == 0) return;
    const std::size_t cols = cost.front().size();
    if (cols == 0) {
        answer.assign(rows, -1);
        return;
    }
    for (const auto& row : cost) {
        if (row.size() != cols) throw std::invalid_argument("Hungarian cost matrix must be rectangular");
    }
    // An infinite or NaN cost has no meaningful place in a minimal sum and would stall the
    // search; callers that want to forbid a pair use a large finite cost instead.
    for (const auto& row : cost) {
        for (double c : row) {
            if (!std::isfinite(c)) throw std::invalid_argument("Hungarian cost matrix must hold finite costs");
        }
    }

    if (cols >= rows) {
        solveCore(rows, cols, [&cost](std::size_t r, std::size_t c) { return cost[r][c]; }, scratch, answer);
        return;
    }
    // More rows than columns: solve the transposed problem and invert its answer.
    std::vector<int>& byColumn = scratch.byColumn;
    solveCore(cols, rows, [&cost](std::size_t r, std::size_t c) { return cost[c][r]; }, scratch, byColumn);
    answer.assign(rows, -1);
    for (std::size_t j = 0; j < byColumn.size(); ++j) {
        if (byColumn[j] >= 0) answer[static_cast<std::size_t>(byColumn[j])] = static_cast<int>(j);
    }
}

}  // namespace molvane
