#include "core/reasons.hpp"

#include <cstddef>

namespace molvane {

namespace {

// Indexed by the enum's value, in declaration order.
constexpr const char* kReasonTexts[] = {
    "",
    "init",
    "correlation",
    "motion",
    "template",
    "correlation+foreground-box",
    "correlation-guarded",
    "boundary",
    "foreground",
    "contrast",
    "sky-reacquire",
    "reacquire-wide",
    "reacquire-full",
    "lost-low-template",
    "lost-low-template-psr",
    "lost-ambiguous-template",
    "lost-search-small",
    "lost-speed-gate",
    "lost-low-confidence",
    "lost-owned-region",
    "lost-sky-search",
    "lost-confirming",
    "coast-ambiguous-owner",
    "coast-owned-by-other",
    "coast-weak-reacquire",
    "prediction-ambiguous-owner",
    "prediction-owned-by-other",
    "prediction-weak-reacquire",
    "prediction-unobserved",
};

constexpr std::size_t kReasonCount = sizeof(kReasonTexts) / sizeof(kReasonTexts[0]);
static_assert(kReasonCount == static_cast<std::size_t>(Reason::kPredictionUnobserved) + 1,
              "every reason needs its text");

}  // namespace

const char* reasonText(Reason r) {
    const auto i = static_cast<std::size_t>(r);
    return i < kReasonCount ? kReasonTexts[i] : "";
}

bool namesReacquisition(Reason r) {
    switch (r) {
        case Reason::kSkyReacquire:
        case Reason::kReacquireWide:
        case Reason::kReacquireFull:
        case Reason::kCoastWeakReacquire:
        case Reason::kPredictionWeakReacquire:
            return true;
        default:
            return false;
    }
}

}  // namespace molvane
