#pragma once

namespace qm {

struct VideoQueueLabels {
    static constexpr const char* capture = "v230.host.video.capture";
    static constexpr const char* encode = "v230.host.video.encode";
    static constexpr const char* lifecycle = "v230.host.video.lifecycle";
    // Where encoder sessions that were replaced or dropped are closed, so that no frame waits for it.
    static constexpr const char* close = "v230.host.video.close";
};

}  // namespace qm
