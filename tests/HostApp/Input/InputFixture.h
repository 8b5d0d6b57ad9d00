#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HostApp/Input/HostRemoteInput.h"
#include "Platform/Accessibility.h"
#include "Platform/Displays.h"
#include "Platform/InputEvents.h"
#include "Platform/ToolRunner.h"
#include "Platform/UserActivity.h"
#include "Platform/Workspace.h"
#include "support/TestPlatform.h"

namespace qm::test {

// Remote input on simulations and manual queues: the server queue, the main queue and the
// recorder share one virtual clock.
struct InputFixture : ::testing::Test {
    ManualPlatform manual;
    std::shared_ptr<SimulatedDisplayService> displays = std::make_shared<SimulatedDisplayService>();
    std::shared_ptr<RecordingEventPoster> poster = std::make_shared<RecordingEventPoster>(manual.clock);
    std::shared_ptr<SimulatedAccessibility> accessibility = std::make_shared<SimulatedAccessibility>(true);
    std::shared_ptr<SimulatedUserActivity> userActivity = std::make_shared<SimulatedUserActivity>();
    std::shared_ptr<SimulatedWorkspace> workspace = std::make_shared<SimulatedWorkspace>();
    std::shared_ptr<SimulatedToolRunner> tools = std::make_shared<SimulatedToolRunner>();
    std::shared_ptr<ManualDispatchQueue> queue;
    std::vector<std::string> published;
    std::vector<std::string> broadcast;
    HostConsoleSessionState console{"ann", "Ann", false, false, true};
    std::map<UUID, std::string> names;
    std::map<UUID, std::string> addresses;
    DisplayID selectedDisplay = 0;
    int pauses = 0;
    int resumes = 0;
    RemoteInputConfiguration configuration;
    std::shared_ptr<HostRemoteInput> input;
    UUID viewer = UUID::random();

    InputFixture() {
        manual.platform.displays = displays;
        manual.platform.eventPoster = poster;
        manual.platform.accessibility = accessibility;
        manual.platform.userActivity = userActivity;
        manual.platform.workspace = workspace;
        manual.platform.toolRunner = tools;
        queue = manual.clock->makeQueue("v230.host.audio.aux");
        configuration.dockExecutablePath = "/nonexistent/Dock";
    }

    HostRemoteInput& make() {
        HostRemoteInput::ServerHooks hooks;
        hooks.publish = [this](const std::string& text) { published.push_back(text); };
        hooks.broadcastHostError = [this](const std::string& text) { broadcast.push_back(text); };
        hooks.currentConsoleSessionState = [this] { return console; };
        hooks.viewerSessionName = [this](const UUID& id) -> std::optional<std::string> {
            auto it = names.find(id);
            return it == names.end() ? std::nullopt : std::optional(it->second);
        };
        hooks.viewerSessionRemoteAddress = [this](const UUID& id) -> std::optional<std::string> {
            auto it = addresses.find(id);
            return it == addresses.end() ? std::nullopt : std::optional(it->second);
        };
        hooks.selectedDisplayID = [this] { return selectedDisplay; };
        hooks.pauseStream = [this] { ++pauses; };
        hooks.resumeStream = [this] { ++resumes; };
        input = HostRemoteInput::create(manual.platform, queue, hooks, configuration);
        return *input;
    }

    HostRemoteInput& in() { return input ? *input : make(); }

    // Runs the block on the server queue, then everything that became ready.
    template <class F>
    void onQueue(F&& f) {
        in();
        queue->async(std::forward<F>(f));
        manual.clock->runUntilIdle();
    }

    void pointer(std::uint8_t mask, std::uint16_t x, std::uint16_t y, UUID from = {}) {
        const UUID id = from.isNil() ? viewer : from;
        onQueue([this, mask, x, y, id] { input->applyPointerEvent({mask, x, y, 1920, 1080}, id); });
    }
    void key(std::uint32_t keysym, bool down) {
        onQueue([this, keysym, down] { input->applyKeyEvent({keysym, down}, viewer); });
    }
    void shortcut(HostShortcutKind kind) {
        onQueue([this, kind] { input->applyHostShortcut({kind}, viewer); });
    }

    std::vector<RecordingEventPoster::Posted> events() const { return poster->posted(); }
    std::vector<EventType> types() const {
        std::vector<EventType> result;
        for (const auto& posted : poster->posted()) result.push_back(posted.event.type);
        return result;
    }
    // Key events as "55d{100000}" (code, d/u, flags in hex) for compact sequence checks.
    std::vector<std::string> keySteps() const;
};

}  // namespace qm::test
