// Counters saturate instead of overflowing on endless streams.
#pragma once

#include <climits>

namespace molvane {

inline void increment(int& counter) {
    if (counter < INT_MAX) ++counter;
}

}  // namespace molvane
