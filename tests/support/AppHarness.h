#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "HostApp/App/HostProbeDelegate.h"
#include "Platform/DistributedNotifications.h"
#include "Platform/Core/LogSink.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "support/InMemoryViewer.h"
#include "support/RecordingHostShell.h"
#include "support/TestUpdater.h"

namespace qm::test {

// A delegate on virtual time with the real server on in-memory connections, a recording desktop
// (or the one given) and in-memory defaults. The string tables are the shipped ones, which the
// build names with QM_HOST_RESOURCES_DIR.
struct AppHarness {
    explicit AppHarness(HostLaunchFlags flags = {}, bool withServer = true,
                        std::shared_ptr<HostShell> desktop = nullptr);
    ~AppHarness();
    std::shared_ptr<HostProbeDelegate> make();
    void launch();
    std::vector<std::string> log() const;
    bool logged(const std::string& line) const;
    std::ptrdiff_t indexOf(const std::string& line) const;
    std::size_t count(const std::string& prefix) const;

    ManualServer host;
    TemporaryDirectory caches;
    std::shared_ptr<InMemoryUserDefaultsStore> defaultsStore = std::make_shared<InMemoryUserDefaultsStore>();
    std::shared_ptr<RecordingHostShell> shell = std::make_shared<RecordingHostShell>();
    std::shared_ptr<InMemoryLoginItems> loginItems = std::make_shared<InMemoryLoginItems>();
    std::shared_ptr<InMemoryDistributedNotificationCenter> notifications =
        std::make_shared<InMemoryDistributedNotificationCenter>();
    std::vector<QuillmereRouteRecord> routes;
    std::string hostName = "studio-mac";
    HostProbeDelegate::Environment environment;
    std::shared_ptr<HostProbeDelegate> delegate;
    TestUpdater updater;
    std::vector<std::function<void(std::optional<QuillmereReleaseFeed>)>> feedRequests;
    // Answers the oldest feed request on the main queue, as the real fetch does.
    void answerFeed(std::optional<QuillmereReleaseFeed> feed);
};

}  // namespace qm::test
