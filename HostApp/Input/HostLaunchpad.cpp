#include <algorithm>
#include <cctype>

#include "HostApp/Input/HostRemoteInput.h"
#include "Platform/DynamicLibrary.h"

namespace qm {

namespace {
constexpr const char* launchpadBundleIdentifier = "com.apple.launchpad.launcher";
constexpr const char* dockBundleIdentifier = "com.apple.dock";
constexpr const char* dockNotificationFunction = "CoreDockSendNotification";
constexpr const char* launchpadToggleNotification = "com.apple.launchpad.toggle";
constexpr double dockPressReleaseDelay = 0.03;
constexpr double dockPressReturnDelay = 0.05;
constexpr std::size_t dockTitlesReported = 12;
constexpr std::size_t dockTitlesGathered = 24;

std::string trimmed(const std::string& text) {
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && isSpace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::string lowercased(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The Dock's notification call: a notification name and 0, answering a status (0 = done).
using DockNotificationFunction = std::int32_t (*)(const char* name, std::int32_t flags);
}  // namespace

void HostRemoteInput::activateLaunchpad(std::function<void(LaunchpadActivationResult)> done) {
    assertOnQueue();
    if (toggleLaunchpadViaDockNotification()) {
        done(LaunchpadActivationResult::dockPrivateToggle);
        return;
    }
    const bool trusted = ensureInputTrust();
    if (trusted) {
        posting_->postFlagsChanged(0);
        if (clickDockLaunchpadItem()) {
            done(LaunchpadActivationResult::dockTilePress);
            return;
        }
    }
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    openApplicationByBundleIdentifierViaWorkspace(launchpadBundleIdentifier, [weak, trusted, done](bool opened) {
        if (auto self = weak.lock()) self->launchpadAfterWorkspace(trusted, opened, done);
    });
}

void HostRemoteInput::launchpadAfterWorkspace(bool trusted, bool opened,
                                              std::function<void(LaunchpadActivationResult)> done) {
    const std::string identifier = launchpadBundleIdentifier;
    if (!opened) opened = runToolAndWait(configuration_.openToolPath, {"-b", identifier}, "open -b " + identifier);
    if (opened) {
        done(activateApplicationByBundleIdentifierViaAppleScript(identifier)
                 ? LaunchpadActivationResult::appleScriptFallback
                 : LaunchpadActivationResult::bundleIdentifierActivation);
        return;
    }
    if (runToolAndWait(configuration_.openToolPath, {"-a", "Launchpad"}, "open -a Launchpad")) {
        done(LaunchpadActivationResult::openApplicationFallback);
        return;
    }
    if (activateApplicationByBundleIdentifierViaAppleScript(identifier)) {
        done(LaunchpadActivationResult::appleScriptFallback);
        return;
    }
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    openSystemApplication("Launchpad", identifier, [weak, trusted, done](bool openedApplication) {
        auto self = weak.lock();
        if (!self) return;
        if (openedApplication) {
            done(LaunchpadActivationResult::openApplicationFallback);
        } else if (trusted && self->posting_->postSystemDefinedKey(13)) {
            done(LaunchpadActivationResult::systemKey);
        } else {
            done(LaunchpadActivationResult::failed);
        }
    });
}

bool HostRemoteInput::toggleLaunchpadViaDockNotification() {
    std::string error;
    DynamicLibrary library = DynamicLibrary::open(configuration_.dockExecutablePath, error);
    if (!library.isOpen()) {
        publish(error.empty() ? std::string("host shortcut Launchpad Dock private toggle dlopen failed")
                              : "host shortcut Launchpad Dock private toggle dlopen failed: " + error);
        return false;
    }
    void* address = library.symbol(dockNotificationFunction, error);
    if (!address) {
        publish(error.empty() ? std::string("host shortcut Launchpad Dock private toggle dlsym failed")
                              : "host shortcut Launchpad Dock private toggle dlsym failed: " + error);
        return false;
    }
    const auto function = reinterpret_cast<DockNotificationFunction>(address);
    const std::int32_t status = function(launchpadToggleNotification, 0);
    if (status != 0) publish("host shortcut Launchpad Dock private toggle returned " + std::to_string(status));
    return status == 0;
}

bool HostRemoteInput::clickDockLaunchpadItem() {
    std::optional<int> dockProcess;
    for (const RunningApplication& application : workspace_->runningApplications()) {
        if (application.bundleIdentifier == dockBundleIdentifier) {
            dockProcess = application.processIdentifier;
            break;
        }
    }
    if (!dockProcess) {
        publish("host shortcut Launchpad Dock process not found");
        return false;
    }
    const AXElementPtr dock = accessibility_->applicationElement(*dockProcess);
    std::vector<std::string> titles;
    for (const std::string& title : launchpadDockItemCandidateTitles()) {
        const std::string lower = lowercased(title);
        if (std::find(titles.begin(), titles.end(), lower) == titles.end()) titles.push_back(lower);
    }
    const AXElementPtr tile = findAXElement(dock, titles, 5);
    if (!tile) {
        std::vector<std::string> seen = collectAXTitles(dock, 3);
        if (seen.size() > dockTitlesReported) seen.resize(dockTitlesReported);
        std::string joined;
        for (const std::string& title : seen) joined += (joined.empty() ? "" : ", ") + title;
        publish("host shortcut Launchpad Dock tile not found; Dock titles=" + joined);
        return false;
    }
    const auto center = axElementCenter(tile);
    if (!center) {
        publish("host shortcut Launchpad Dock tile geometry unavailable");
        return false;
    }
    const Point returnTo = state_->currentPointerLocation();
    posting_->postMouse(EventType::mouseMoved, MouseButton::left, *center);
    posting_->postMouse(EventType::leftMouseDown, MouseButton::left, *center);
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    const Point at = *center;
    queue_->asyncAfter(dockPressReleaseDelay, [weak, at, returnTo] {
        auto self = weak.lock();
        if (!self) return;
        self->posting_->postMouse(EventType::leftMouseUp, MouseButton::left, at);
        self->queue_->asyncAfter(dockPressReturnDelay, [weak, returnTo] {
            if (auto again = weak.lock()) again->posting_->postMouse(EventType::mouseMoved, MouseButton::left, returnTo);
        });
    });
    return true;
}

std::vector<std::string> HostRemoteInput::launchpadDockItemCandidateTitles() {
    std::vector<std::string> titles{"Launchpad", "启动台", "Apps", "应用", "应用程序"};
    if (auto url = workspace_->urlForApplication(launchpadBundleIdentifier)) {
        if (auto info = workspace_->bundleInfo(*url)) {
            for (const auto* dictionary : {&info->localizedInfo, &info->info}) {
                for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
                    auto it = dictionary->find(key);
                    if (it != dictionary->end() && !it->second.empty()) titles.push_back(it->second);
                }
            }
        }
    }
    std::vector<std::string> unique;
    for (auto& title : titles) {
        if (std::find(unique.begin(), unique.end(), title) == unique.end()) unique.push_back(std::move(title));
    }
    return unique;
}

std::optional<std::string> HostRemoteInput::axStringAttribute(const std::string& name, const AXElementPtr& of) {
    if (!of) return std::nullopt;
    const AXAttributeValue value = of->attribute(name);
    if (const auto* text = std::get_if<std::string>(&value)) return trimmed(*text);
    return std::nullopt;
}

std::optional<std::string> HostRemoteInput::axElementLabel(const AXElementPtr& element) {
    for (const char* name : {"AXTitle", "AXDescription"}) {
        if (auto text = axStringAttribute(name, element); text && !text->empty()) return text;
    }
    return std::nullopt;
}

std::vector<AXElementPtr> HostRemoteInput::axChildren(const AXElementPtr& of) {
    if (!of) return {};
    const AXAttributeValue value = of->attribute("AXChildren");
    if (const auto* children = std::get_if<std::vector<AXElementPtr>>(&value)) return *children;
    return {};
}

std::optional<Point> HostRemoteInput::axElementCenter(const AXElementPtr& element) {
    if (!element) return std::nullopt;
    const AXAttributeValue position = element->attribute("AXPosition");
    const AXAttributeValue size = element->attribute("AXSize");
    const auto* origin = std::get_if<Point>(&position);
    const auto* extent = std::get_if<Size>(&size);
    if (!origin || !extent) return std::nullopt;
    return Point{origin->x + extent->width / 2, origin->y + extent->height / 2};
}

AXElementPtr HostRemoteInput::findAXElement(const AXElementPtr& in, const std::vector<std::string>& matchingTitles,
                                            int remainingDepth) {
    if (!in) return nullptr;
    if (auto label = axElementLabel(in)) {
        if (std::find(matchingTitles.begin(), matchingTitles.end(), lowercased(*label)) != matchingTitles.end()) return in;
    }
    if (remainingDepth < 1) return nullptr;
    for (const AXElementPtr& child : axChildren(in)) {
        if (auto found = findAXElement(child, matchingTitles, remainingDepth - 1)) return found;
    }
    return nullptr;
}

std::vector<std::string> HostRemoteInput::collectAXTitles(const AXElementPtr& in, int remainingDepth) {
    std::vector<std::string> titles;
    if (!in) return titles;
    if (auto label = axElementLabel(in)) titles.push_back(*label);
    if (remainingDepth < 1) return titles;
    for (const AXElementPtr& child : axChildren(in)) {
        auto more = collectAXTitles(child, remainingDepth - 1);
        titles.insert(titles.end(), more.begin(), more.end());
        if (titles.size() >= dockTitlesGathered) break;
    }
    return titles;
}

void HostRemoteInput::openSystemApplication(const std::string& named, const std::optional<std::string>& bundleIdentifier,
                                            std::function<void(bool)> done) {
    std::optional<std::filesystem::path> url;
    if (bundleIdentifier) url = workspace_->urlForApplication(*bundleIdentifier);
    if (!url) {
        for (const char* folder : {"/System/Applications/", "/Applications/"}) {
            const std::filesystem::path candidate = std::string(folder) + named + ".app";
            if (workspace_->fileExists(candidate)) {
                url = candidate;
                break;
            }
        }
    }
    if (url) {
        if (runToolAndWait(configuration_.openToolPath, {url->string()}, "open " + url->filename().string())) {
            done(true);
            return;
        }
        openApplicationViaWorkspace(*url, named, std::move(done));
        return;
    }
    if (bundleIdentifier) {
        done(false);
        return;
    }
    done(runToolAndWait(configuration_.openToolPath, {"-a", named}, "open -a " + named));
}

void HostRemoteInput::openApplicationViaWorkspace(const std::filesystem::path& url, const std::string& label,
                                                  std::function<void(bool)> done) {
    if (mainQueue_ && mainQueue_->isCurrent()) {
        publish("host shortcut workspace open skipped on main thread for " + label);
        done(false);
        return;
    }
    // The open runs on the main queue and its answer comes back to this queue; the server queue
    // never blocks on the main thread. Whichever comes first, the answer or the time-out, wins.
    struct Pending {
        bool finished = false;
        std::function<void(bool)> done;
    };
    auto pending = std::make_shared<Pending>();
    pending->done = std::move(done);
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    auto timeout = queue_->asyncAfter(configuration_.workspaceOpenTimeout, [weak, pending, label] {
        auto self = weak.lock();
        if (!self || pending->finished) return;
        pending->finished = true;
        self->publish("host shortcut workspace open timed out " + label);
        pending->done(false);
    });
    auto workspace = workspace_;
    auto queue = queue_;
    auto target = mainQueue_ ? mainQueue_ : queue_;
    target->async([workspace, queue, url, weak, pending, label, timeout] {
        workspace->openApplication(url, true, [queue, weak, pending, label, timeout](std::optional<std::string> error) {
            queue->async([weak, pending, label, timeout, error] {
                auto self = weak.lock();
                if (!self) return;
                if (error) self->publish("host shortcut workspace open failed " + label + ": " + *error);
                if (pending->finished) return;
                pending->finished = true;
                timeout->cancel();
                pending->done(!error);
            });
        });
    });
}

void HostRemoteInput::openApplicationByBundleIdentifierViaWorkspace(const std::string& bundleIdentifier,
                                                                    std::function<void(bool)> done) {
    auto url = workspace_->urlForApplication(bundleIdentifier);
    if (!url) {
        publish("host shortcut no app URL for bundle id " + bundleIdentifier);
        done(false);
        return;
    }
    openApplicationViaWorkspace(*url, bundleIdentifier, std::move(done));
}

bool HostRemoteInput::activateApplicationByBundleIdentifierViaAppleScript(const std::string& bundleIdentifier) {
    return runToolAndWait(configuration_.appleScriptToolPath,
                          {"-e", "tell application id \"" + bundleIdentifier + "\" to activate"},
                          "AppleScript activate " + bundleIdentifier);
}

bool HostRemoteInput::runToolAndWait(const std::string& executablePath, const std::vector<std::string>& arguments,
                                     const std::string& failureLabel) {
    const ToolRunResult result = toolRunner_->run(executablePath, arguments, configuration_.toolTimeout);
    if (!result.started) {
        publish("host shortcut " + failureLabel + " failed: " + result.startError);
        return false;
    }
    if (result.timedOut) {
        publish("host shortcut " + failureLabel + " timed out");
        return false;
    }
    if (result.exitedNormally && result.status == 0) return true;
    publish("host shortcut " + failureLabel + " exited with status " + std::to_string(result.status));
    return false;
}

}  // namespace qm
