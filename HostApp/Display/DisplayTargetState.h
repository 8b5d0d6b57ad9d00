#pragma once

#include <cstdint>
#include <optional>

#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/DisplayProfiles.h"
#include "QuillmereProfiles/MediaPayloads.h"

namespace qm {

// Which display the stream shows and in which capture mode: the selected and the physical
// display, whether a person chose it, whether capture is on the virtual display, the mode and
// request in force, and the layout Viewers were last told. Owned by the server queue.
struct DisplayTargetState {
    std::uint32_t selectedDisplayID = 0;
    std::uint32_t physicalDisplayID = 0;
    bool displaySelectionIsManual = false;
    bool useHeadlessVirtualDisplay = false;
    VideoCaptureMode currentVideoMode = VideoCaptureMode::easy;
    CaptureModeControlPayload currentCaptureRequest = defaultCaptureRequest();
    VideoChromaMode currentVideoChromaMode = VideoChromaMode::yuv420;
    std::optional<DisplayLayoutPayload> lastDisplayLayout;

    // The request a stream starts with when no Viewer asked for one: Easy, 4:2:0, physical.
    static CaptureModeControlPayload defaultCaptureRequest() {
        return CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                 VideoCaptureBackend::physical);
    }
};

}  // namespace qm
