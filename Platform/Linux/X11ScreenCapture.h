#pragma once

#include <memory>

#include "Platform/ScreenCapture.h"
#include "Platform/Linux/X11Displays.h"

namespace qm {

// Screen capture of an X server through the MIT shared-memory extension.
//
// The listing is the active displays of the X11 display service. A stream reads its display's
// rectangle of the root window into shared-memory images (XShmGetImage) and hands each one out as
// the frame itself: the pixel buffer points into the image, so the converter reads the pixels
// where the server wrote them. A frame's image goes back to the stream's pool when the last
// consumer releases it; when every image is still held, that time slot is skipped. An output size
// other than the display's is scaled from the image into a buffer of its own (one copy).
// Frames are paced like the simulation's: slot k at start + (k + 1) x interval on the output
// queue's clock, a late consumer misses the slots that passed. The stream follows its display:
// a move or a new size is picked up at the next frame, and a display that went away stops the
// stream with "display N is no longer available". The pointer is not drawn into the picture.
class X11ScreenCapture final : public ScreenCaptureService {
public:
    explicit X11ScreenCapture(std::shared_ptr<X11DisplayService> displays);

    // Whether the server offers shared-memory images with a 32-bit BGRX layout on its root window.
    static bool isSupported(const std::string& serverName);

    ShareableContentResult shareableContent() override;
    std::shared_ptr<ScreenCaptureStream> makeStream(DisplayID displayID,
                                                    const StreamConfiguration& configuration) override;

private:
    std::shared_ptr<X11DisplayService> displays_;
};

}  // namespace qm
