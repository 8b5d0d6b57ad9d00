#pragma once

#include <optional>

#include "Platform/Displays.h"
#include "QuillmereProfiles/DisplayPayloads.h"

namespace qm {

// The layout of one display as Viewers are told it: its rectangle and the rectangle around all
// active displays in points, its pixel size, and the HiDPI flag (more than 1.25 pixels per
// point). None for a display that is not there or has no area. Both the server and the video
// capture describe a display through this one function.
std::optional<DisplayLayoutPayload> displayLayout(const DisplayService& displays, DisplayID displayID);

}  // namespace qm
