#include "support/LiveHostApp.h"

#include "Platform/Core/LogSink.h"
#include "Platform/Linux/XdgFileManagerDesktop.h"
#include "Platform/ProcessLauncher.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"

namespace qm::test {

namespace fs = std::filesystem;

LiveHostApp::LiveHostApp() {
    LogSink::shared().setWritesStandardError(false);
    fs::create_directories(home());
    LiveServer::Setup setup;
    setup.start = [this](const std::shared_ptr<V230HostAudioAuxServer>& server, const HostPlatform& platform) {
        HostProbeDelegate::Environment environment;
        environment.platform = platform;
        environment.shell = shell;
        environment.defaults = std::make_shared<InMemoryUserDefaults>();
        environment.makeServer = [server] { return server; };
        environment.routeRecords = [] { return std::vector<QuillmereRouteRecord>{}; };
        environment.hostName = [] { return std::string("live-host"); };
        environment.fetchLatestFeed = [](auto) {};
        environment.cachesDirectory = folder.path() / "caches";
        environment.homeDirectory = home();
        environment.fileManager = std::make_shared<XdgFileManagerDesktop>(home(), std::make_shared<RecordingProcessLauncher>());
        environment.installerMarker = folder.path() / "no-marker";
        mainQueue = platform.mainQueue;
        delegate = HostProbeDelegate::create(environment);
        mainQueue->sync([this] { delegate->applicationDidFinishLaunching(); });
    };
    live = std::make_unique<LiveServer>(setup);
}

LiveHostApp::~LiveHostApp() {
    mainQueue->sync([this] {
        delegate->clipboardBridge()->stop();
        delegate->timer()->cancel();
    });
    live.reset();
    mainQueue->sync([this] { delegate.reset(); });
    LogSink::shared().setWritesStandardError(true);
}

fs::path LiveHostApp::home() const { return fs::weakly_canonical(folder.path()) / "home"; }

fs::path LiveHostApp::staging() const { return folder.path() / "caches" / "QuillmereFileInbox" / "Viewer"; }

bool LiveHostApp::stagingEmpty() const {
    std::error_code error;
    return !fs::exists(staging(), error) || fs::is_empty(staging(), error);
}

bool LiveHostApp::logged(const std::string& line) {
    for (const auto& entry : delegate->diagnosticLog()->lines())
        if (entry.substr(13) == line) return true;
    return false;
}

}  // namespace qm::test
