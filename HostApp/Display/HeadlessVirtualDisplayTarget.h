#pragma once

#include <cstdint>
#include <string>

#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

// The size and scale the headless virtual display must have for a capture mode.
struct HeadlessVirtualDisplayTarget {
    std::int64_t logicalWidth = 0;
    std::int64_t logicalHeight = 0;
    std::int64_t scale = 1;  // pixels per point, 1 or more

    static HeadlessVirtualDisplayTarget target(VideoCaptureMode mode);
    // "logical=1920x1080 px=1920x1080" or "logical=1920x1080 @2x px=3840x2160 HiDPI"
    std::string summary() const;

    friend bool operator==(const HeadlessVirtualDisplayTarget&, const HeadlessVirtualDisplayTarget&) = default;
};

}  // namespace qm
