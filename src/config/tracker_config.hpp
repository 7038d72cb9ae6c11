// The Python-visible configuration object: a profile name, resolved only when a tracker
// is built from it.
#pragma once

#include <string>

namespace molvane {

struct TrackerConfig {
    std::string profile = "default";
};

}  // namespace molvane
