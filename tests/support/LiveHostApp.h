#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "HostApp/App/HostProbeDelegate.h"
#include "support/LiveServer.h"
#include "support/RecordingHostShell.h"
#include "support/TestPlatform.h"

namespace qm::test {

// The application in this process, launched the way the process launches it: the delegate makes,
// wires and starts the real server on 127.0.0.1 with real queues and sockets; the file service,
// delivery and the Linux file-manager stand-in are the real ones. Its home and caches are
// temporary folders.
struct LiveHostApp {
    LiveHostApp();
    ~LiveHostApp();
    LiveHostApp(const LiveHostApp&) = delete;
    LiveHostApp& operator=(const LiveHostApp&) = delete;

    std::filesystem::path home() const;
    std::filesystem::path staging() const;
    bool stagingEmpty() const;
    // True once the diagnostic log holds exactly this line (its time stamp aside).
    bool logged(const std::string& line);

    TemporaryDirectory folder;
    std::shared_ptr<RecordingHostShell> shell = std::make_shared<RecordingHostShell>();
    std::shared_ptr<HostProbeDelegate> delegate;
    DispatchQueuePtr mainQueue;
    std::unique_ptr<LiveServer> live;
};

}  // namespace qm::test
