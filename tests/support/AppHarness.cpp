#include "support/AppHarness.h"

namespace qm::test {

AppHarness::AppHarness(HostLaunchFlags flags, bool withServer, std::shared_ptr<HostShell> desktop) {
    LogSink::shared().setWritesStandardError(false);
    QuillmereL10n::Environment l10n;
    l10n.defaults = defaultsStore;
    l10n.resources = QM_HOST_RESOURCES_DIR;
    l10n.preferredSystemLanguages = {"en_US"};
    QuillmereL10n::configure(l10n);

    HostProbeDelegate::Environment environment;
    environment.platform = host.platform();
    environment.shell = desktop ? desktop : std::static_pointer_cast<HostShell>(shell);
    environment.defaults = defaultsStore->standard();
    environment.loginItems = loginItems;
    environment.notifications = notifications;
    if (withServer) {
        auto* server = &host.server();
        environment.makeServer = [server] {
            return std::static_pointer_cast<V230HostAudioAuxServer>(server->shared_from_this());
        };
    }
    environment.routeRecords = [this] { return routes; };
    environment.hostName = [this] { return hostName; };
    environment.bundle.shortVersion = "1.4.9";
    environment.bundle.bundleVersion = "149";
    environment.bundle.bundlePath = "/opt/quillmere";
    environment.bundle.executablePath = "/opt/quillmere/bin/QuillmereHost";
    environment.flags = flags;
    environment.cachesDirectory = caches.path();
    environment.homeDirectory = caches.path() / "home";
    std::filesystem::create_directories(environment.homeDirectory);
    environment.installerMarker = caches.path() / "installer-marker";
    environment.websiteURL = [](const std::string& path, const std::optional<std::string>& fragment) {
        return std::optional<std::string>("https://product.test/" + path + (fragment ? "#" + *fragment : ""));
    };
    environment.mainWebsiteURL = [](const std::string& path) {
        return std::optional<std::string>("https://maker.test/" + path);
    };
    // The feed is answered by the test (feedRequests); nothing reaches the network.
    environment.fetchLatestFeed = [this](std::function<void(std::optional<QuillmereReleaseFeed>)> answer) {
        feedRequests.push_back(std::move(answer));
    };
    environment.updaterLocations = updater.locations();
    this->environment = environment;
}

AppHarness::~AppHarness() {
    // Unlike a real shell, the recording one keeps every completion it was handed, answered
    // or not; they hold the work that presented them, which holds the shell.
    shell->releaseRecorded();
    delegate.reset();
    QuillmereL10n::configure({});
    LogSink::shared().setWritesStandardError(true);
}

std::shared_ptr<HostProbeDelegate> AppHarness::make() {
    delegate = HostProbeDelegate::create(environment);
    return delegate;
}

void AppHarness::launch() {
    if (!delegate) make();
    delegate->applicationDidFinishLaunching();
    host.clock().runUntilIdle();
}

std::vector<std::string> AppHarness::log() const {
    std::vector<std::string> lines;
    // Drop the "HH:mm:ss.SSS " stamp.
    for (const auto& line : delegate->diagnosticLog()->lines()) lines.push_back(line.substr(13));
    return lines;
}

bool AppHarness::logged(const std::string& line) const {
    auto lines = log();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::ptrdiff_t AppHarness::indexOf(const std::string& line) const {
    auto lines = log();
    auto found = std::find(lines.begin(), lines.end(), line);
    return found == lines.end() ? -1 : found - lines.begin();
}

std::size_t AppHarness::count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& line : log()) n += line.rfind(prefix, 0) == 0;
    return n;
}

void AppHarness::answerFeed(std::optional<QuillmereReleaseFeed> feed) {
    auto answer = feedRequests.front();
    feedRequests.erase(feedRequests.begin());
    host.platform().mainQueue->async([answer, feed] { answer(feed); });
    host.clock().runUntilIdle();
}

}  // namespace qm::test
