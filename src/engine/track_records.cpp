#include "engine/track_records.hpp"

#include <cstring>

#include "engine/reasons.hpp"

namespace molvane {

const char* stateName(int32_t state) {
    switch (state) {
        case kConfirmed: return "confirmed";
        case kLost: return "lost";
        case kTentative: return "tentative";
        default: return "unknown";
    }
}

bool reason::same(const char* a, const char* b) {
    return a == b || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

}  // namespace molvane
