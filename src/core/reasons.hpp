// The complete vocabulary of reasons an engine step can report. The engine passes and
// compares the enum; the text Python sees is written once, in reasons.cpp.
#pragma once

#include <cstdint>

namespace molvane {

enum class Reason : uint8_t {
    kNone,  // no measurement yet (empty text)
    kInit,
    kCorrelation,
    kMotion,
    kTemplate,
    kCorrelationForegroundBox,
    kCorrelationGuarded,
    kBoundary,
    kForeground,
    kContrast,
    kSkyReacquire,
    kReacquireWide,
    kReacquireFull,
    kLostLowTemplate,
    kLostLowTemplatePsr,
    kLostAmbiguousTemplate,
    kLostSearchSmall,
    kLostSpeedGate,
    kLostLowConfidence,
    kLostOwnedRegion,
    kLostSkySearch,
    kLostConfirming,
    kCoastAmbiguousOwner,
    kCoastOwnedByOther,
    kCoastWeakReacquire,
    kPredictionAmbiguousOwner,
    kPredictionOwnedByOther,
    kPredictionWeakReacquire,
    kPredictionUnobserved,
};

// The reason's text as Python reports it, e.g. "sky-reacquire"; "" for kNone and for a
// value outside the vocabulary.
const char* reasonText(Reason r);

// True for every reason whose text names a reacquisition: the sky, wide and full-frame
// reacquisitions and the coast/prediction steps that held back a weak one.
bool namesReacquisition(Reason r);

}  // namespace molvane
