#pragma once

namespace qm {

// A desktop answers: WAYLAND_DISPLAY names a compositor, or the X display DISPLAY names opens.
bool desktopAnswers();

}  // namespace qm
