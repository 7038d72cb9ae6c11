// The complete vocabulary of reason strings an engine step can report. Each string is
// written here once; the engine passes these pointers around and compares them by value.
#pragma once

namespace molvane::reason {

inline constexpr const char* kInit = "init";
inline constexpr const char* kCorrelation = "correlation";
inline constexpr const char* kMotion = "motion";
inline constexpr const char* kTemplate = "template";
inline constexpr const char* kCorrelationForegroundBox = "correlation+foreground-box";
inline constexpr const char* kCorrelationGuarded = "correlation-guarded";
inline constexpr const char* kBoundary = "boundary";
inline constexpr const char* kForeground = "foreground";
inline constexpr const char* kContrast = "contrast";
inline constexpr const char* kSkyReacquire = "sky-reacquire";
inline constexpr const char* kReacquireWide = "reacquire-wide";
inline constexpr const char* kReacquireFull = "reacquire-full";
inline constexpr const char* kLostLowTemplate = "lost-low-template";
inline constexpr const char* kLostLowTemplatePsr = "lost-low-template-psr";
inline constexpr const char* kLostAmbiguousTemplate = "lost-ambiguous-template";
inline constexpr const char* kLostSearchSmall = "lost-search-small";
inline constexpr const char* kLostSpeedGate = "lost-speed-gate";
inline constexpr const char* kLostLowConfidence = "lost-low-confidence";
inline constexpr const char* kLostOwnedRegion = "lost-owned-region";
inline constexpr const char* kLostSkySearch = "lost-sky-search";
inline constexpr const char* kLostConfirming = "lost-confirming";
inline constexpr const char* kCoastAmbiguousOwner = "coast-ambiguous-owner";
inline constexpr const char* kCoastOwnedByOther = "coast-owned-by-other";
inline constexpr const char* kCoastWeakReacquire = "coast-weak-reacquire";
inline constexpr const char* kPredictionAmbiguousOwner = "prediction-ambiguous-owner";
inline constexpr const char* kPredictionOwnedByOther = "prediction-owned-by-other";
inline constexpr const char* kPredictionWeakReacquire = "prediction-weak-reacquire";
inline constexpr const char* kPredictionUnobserved = "prediction-unobserved";

// Reason strings are compared by content so that a copy (for example one that went
// through Python) still matches.
bool same(const char* a, const char* b);

}  // namespace molvane::reason
