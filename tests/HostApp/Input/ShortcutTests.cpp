#include <dlfcn.h>

#include <fstream>

#include "Platform/SessionDesktop.h"
#include "InputFixture.h"

namespace qm::test {
namespace ShortcutTests {
namespace {

using T = EventType;
using K = HostShortcutKind;

struct Shortcuts : InputFixture {
    // System key types posted, from the key-down events.
    std::vector<std::int64_t> systemKeys() const {
        std::vector<std::int64_t> result;
        for (const auto& p : events()) {
            if (p.event.type == T::systemDefined && ((p.event.data1 >> 8) & 0xFF) == 0x0a) result.push_back(p.event.data1 >> 16);
        }
        return result;
    }
};

TEST_F(Shortcuts, SpacedCombinationsAre35MillisecondsApart) {
    onQueue([this] { input->posting().postDelayedKeyCombo(20, 0x160000); });
    manual.clock->advance(1);
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"59d{40000}", "56d{60000}", "55d{160000}", "20d{160000}",
                                                    "20u{160000}", "55u{160000}", "56u{60000}", "59u{40000}"}));
    const auto all = events();
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_EQ(all[i].uptimeNs - all[i - 1].uptimeNs, 35'000'000u);
    // A step still pending when the input object is gone is dropped.
    poster->clear();
    onQueue([this] { input->posting().postDelayedKeyCombo(49, EventFlag::control); });
    manual.clock->advance(0.04);
    input.reset();
    manual.clock->advance(1);
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"59d{40000}", "49d{40000}"}));
}

TEST_F(Shortcuts, EveryKindPostsItsStepsAndReportsItsText) {
    const struct {
        K kind;
        std::vector<std::string> keys;
        std::vector<std::int64_t> systemKeys;
        std::vector<std::string> logged;
        bool toViewers;
    } rows[] = {
        {K::appExpose, {"59d{40000}", "125d{40000}", "125u{40000}", "59u{40000}"}, {},
         {"host shortcut: Control+Down App Expose"}, true},
        {K::playPause, {}, {16}, {}, false},
        {K::nextTrack, {}, {17}, {}, false},
        {K::previousTrack, {}, {18}, {}, false},
        {K::mute, {}, {7}, {}, false},
        {K::volumeUp, {}, {0}, {}, false},
        {K::volumeDown, {}, {1}, {}, false},
        {K::brightnessUp, {}, {2}, {}, false},
        {K::brightnessDown, {}, {3}, {}, false},
        {K::keyboardIlluminationUp, {}, {21}, {}, false},
        {K::keyboardIlluminationDown, {}, {22}, {}, false},
        {K::nextInputSource, {"59d{40000}", "49d{40000}", "49u{40000}", "59u{40000}", "59u{0}"}, {},
         {"host shortcut: next input source (Ctrl+Space)"}, false},
        {K::screenshot, {"56d{20000}", "55d{120000}", "20d{120000}", "20u{120000}", "55u{120000}", "56u{20000}"}, {},
         {"host shortcut: screenshot (Shift+Cmd+3)"}, false},
        {K::screenRecording,
         {"56d{20000}", "55d{120000}", "23d{120000}", "23u{120000}", "55u{120000}", "56u{20000}"}, {},
         {"host shortcut: recording toggle (Shift+Cmd+5)"}, false},
        {K::lockScreen, {"59d{40000}", "55d{140000}", "12d{140000}", "12u{140000}", "55u{140000}", "59u{40000}"}, {},
         {"host shortcut: lock screen (Ctrl+Cmd+Q)"}, true},
        {K::wakeDisplay, {}, {}, {"host shortcut: wake display (PM assertion)"}, true},
        {K::pauseStream, {}, {}, {}, false},
        {K::resumeStream, {}, {}, {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.kind));
        poster->clear();
        published.clear();
        broadcast.clear();
        shortcut(row.kind);
        manual.clock->advance(1);
        EXPECT_EQ(keySteps(), row.keys);
        EXPECT_EQ(systemKeys(), row.systemKeys);
        EXPECT_EQ(published, row.logged);
        EXPECT_EQ(broadcast, row.toViewers ? row.logged : std::vector<std::string>{});
    }
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(resumes, 1);
    EXPECT_EQ(in().inputState().inputKeyboardFlags, 0u);
}

TEST_F(Shortcuts, InputSourceReleasesControlAfterAQuarterSecond) {
    key(0xFFE3, true);  // Control held from the keyboard
    poster->clear();
    shortcut(K::nextInputSource);
    manual.clock->advance(0.2);
    EXPECT_EQ(in().inputState().inputKeyboardFlags, EventFlag::control);
    manual.clock->advance(0.05);
    EXPECT_EQ(keySteps().back(), "59u{0}");
    EXPECT_EQ(events().back().uptimeNs - events().front().uptimeNs, 250'000'000u);
    EXPECT_EQ(in().inputState().inputKeyboardFlags, 0u);
}

TEST_F(Shortcuts, OptionSystemKeysReleaseOptionAfterTheKey) {
    shortcut(K::optionMissionControl);
    manual.clock->advance(1);
    shortcut(K::optionLaunchpad);
    manual.clock->advance(1);
    std::vector<std::string> seen;
    for (const auto& p : events()) {
        if (p.event.type == T::flagsChanged) seen.push_back("flags " + std::to_string(p.event.flags));
        if (p.event.type == T::systemDefined) {
            seen.push_back(std::to_string(p.event.data1 >> 16) + ((p.event.data1 & 0x0100) ? " up" : " down"));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"flags 524288", "160 down", "160 up", "flags 0", "flags 524288",
                                              "13 down", "13 up", "flags 0"}));
    EXPECT_TRUE(published.empty());
}

TEST_F(Shortcuts, DesktopSwitchFallsBackUntilTheTapIsInstalledThenSwipes) {
    shortcut(K::nextDesktop);
    manual.clock->advance(1);
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"59d{40000}", "124d{40000}", "124u{40000}", "59u{40000}"}));
    EXPECT_EQ(broadcast, (std::vector<std::string>{"host shortcut: Control+Right next desktop fallback"}));
    EXPECT_TRUE(in().hasDockSwipeEventTap());
    EXPECT_TRUE(poster->lastTapEnabled());

    poster->clear();
    shortcut(K::previousDesktop);
    const auto all = events();
    ASSERT_EQ(all.size(), 6u);
    const double progress[] = {0, -1, -2};
    const double velocity[] = {0, -400, -400};
    const std::int64_t phase[] = {1, 2, 4};
    for (int i = 0; i < 3; ++i) {
        const InputEvent& control = all[2 * i].event;
        EXPECT_EQ(all[2 * i].tap, EventTapLocation::session);
        EXPECT_EQ(control.type, T::dockControl);
        EXPECT_EQ(control.integerField(110), 23);
        EXPECT_EQ(control.integerField(132), phase[i]);
        EXPECT_EQ(control.integerField(135), 0);
        EXPECT_EQ(control.doubleFields.at(124), progress[i]);
        EXPECT_EQ(control.doubleFields.at(129), velocity[i]);
        EXPECT_EQ(all[2 * i + 1].event.type, T::gesture);
    }
    EXPECT_EQ(broadcast.back(), "host shortcut: Dock swipe previous desktop");

    // A tap the system disables is switched back on.
    poster->deliverToTaps(T::tapDisabledByTimeout);
    EXPECT_TRUE(poster->lastTapEnabled());
}

TEST_F(Shortcuts, TapFailuresAreReportedAndTheFallbackKeepsWorking) {
    poster->setTapCreationFails(true);
    shortcut(K::nextDesktop);
    EXPECT_EQ(published.back(), "host shortcut: failed to install Dock swipe event tap");
    poster->setTapCreationFails(false);
    poster->setRunLoopSourceFails(true);
    shortcut(K::nextDesktop);
    EXPECT_EQ(published.back(), "host shortcut: failed to create Dock swipe run loop source");
    EXPECT_FALSE(in().hasDockSwipeEventTap());
}

TEST_F(Shortcuts, MissionControlOpensTheApplicationAndFallsBackToControlUp) {
    accessibility->setTrusted(false);
    shortcut(K::missionControl);
    EXPECT_EQ(published[0], "remote input: Mission Control requested by Viewer from unknown");
    EXPECT_EQ(published.back(), "host shortcut: opened Mission Control");  // reported even untrusted
    EXPECT_TRUE(events().empty());

    accessibility->setTrusted(true);
    names[viewer] = "iPad";
    addresses[viewer] = "10.0.0.7:50000";
    published.clear();
    shortcut(K::missionControl);
    manual.clock->advance(1);
    EXPECT_EQ(published.front(), "remote input: Mission Control requested by iPad from 10.0.0.7:50000");
    EXPECT_EQ(types().front(), T::flagsChanged);
    EXPECT_EQ(systemKeys(), (std::vector<std::int64_t>{160}));
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"59d{40000}", "126d{40000}", "126u{40000}", "59u{40000}"}));

    // Opened through the open tool: no key fallback.
    workspace->installApplication("com.apple.exposelauncher", "/System/Applications/Mission Control.app");
    tools->setHandler([](const auto&) { return SimulatedToolRunner::exited(0); });
    poster->clear();
    shortcut(K::missionControl);
    manual.clock->advance(1);
    EXPECT_TRUE(keySteps().empty());
    EXPECT_EQ(tools->invocations().back().arguments, (std::vector<std::string>{"/System/Applications/Mission Control.app"}));
}

TEST_F(Shortcuts, WakeFailureCarriesTheResultCode) {
    userActivity->setResult(-536870212);
    shortcut(K::wakeDisplay);
    EXPECT_EQ(broadcast, (std::vector<std::string>{"host shortcut: wake display failed (-536870212)"}));
}

struct Launchpad : Shortcuts {
    std::optional<LaunchpadActivationResult> run() {
        std::optional<LaunchpadActivationResult> result;
        onQueue([&] { input->activateLaunchpad([&](LaunchpadActivationResult r) { result = r; }); });
        return result;
    }
};

TEST_F(Launchpad, DockNotificationFromALoadedLibraryWinsOrReportsItsStatus) {
    void* handle = dlopen(QM_FAKE_DOCK_PATH, RTLD_NOW);
    ASSERT_NE(handle, nullptr);
    auto setStatus = reinterpret_cast<void (*)(int)>(dlsym(handle, "qmFakeDockSetStatus"));
    auto lastName = reinterpret_cast<const char* (*)()>(dlsym(handle, "qmFakeDockLastName"));
    configuration.dockExecutablePath = QM_FAKE_DOCK_PATH;
    EXPECT_EQ(run(), LaunchpadActivationResult::dockPrivateToggle);
    EXPECT_STREQ(lastName(), "com.apple.launchpad.toggle");
    EXPECT_TRUE(tools->invocations().empty());

    setStatus(3);
    published.clear();
    EXPECT_EQ(run(), LaunchpadActivationResult::systemKey);  // the chain went on to the end
    EXPECT_EQ(published.front(), "host shortcut Launchpad Dock private toggle returned 3");
    setStatus(0);
    dlclose(handle);

    input.reset();
    configuration.dockExecutablePath = "/nonexistent/Dock";
    published.clear();
    run();
    EXPECT_EQ(published.front().rfind("host shortcut Launchpad Dock private toggle dlopen failed: ", 0), 0u);
}

TEST_F(Launchpad, DockTileIsFoundByTrimmedLowercasedTitleAndPressed) {
    workspace->addRunningApplication({"com.apple.dock", 42});
    auto dock = std::make_shared<SimulatedAXElement>();
    auto list = std::make_shared<SimulatedAXElement>();
    list->addChild(SimulatedAXElement::titled("Finder", Rect(0, 1000, 50, 50)));
    list->addChild(SimulatedAXElement::titled("LAUNCHPAD ", Rect(60, 1000, 50, 60)));
    dock->addChild(list);
    accessibility->setApplicationElement(42, dock);
    poster->setMouseLocation({500, 80});  // bottom-left origin on the 1080-point main display
    EXPECT_EQ(run(), LaunchpadActivationResult::dockTilePress);
    manual.clock->advance(1);
    const auto all = events();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].event.type, T::flagsChanged);
    EXPECT_EQ(all[1].event.type, T::mouseMoved);
    EXPECT_EQ(all[2].event.type, T::leftMouseDown);
    EXPECT_EQ(all[2].event.location, (Point{85, 1030}));
    EXPECT_EQ(all[3].event.type, T::leftMouseUp);
    EXPECT_EQ(all[3].uptimeNs - all[2].uptimeNs, 30'000'000u);
    EXPECT_EQ(all[4].event.location, (Point{500, 1000}));  // back where the pointer was, top-left origin
    EXPECT_EQ(all[4].uptimeNs - all[3].uptimeNs, 50'000'000u);
}

TEST_F(Launchpad, MissingTileListsTheFirstTwelveDockTitles) {
    workspace->addRunningApplication({"com.apple.dock", 42});
    auto dock = std::make_shared<SimulatedAXElement>();
    for (char c = 'A'; c <= 'Z'; ++c) dock->addChild(SimulatedAXElement::titled(std::string(1, c)));
    accessibility->setApplicationElement(42, dock);
    run();
    EXPECT_EQ(published[1], "host shortcut Launchpad Dock tile not found; Dock titles=A, B, C, D, E, F, G, H, I, J, K, L");
}

TEST_F(Launchpad, ChainFallsThroughWorkspaceToolsAndSystemKey) {
    // The workspace knows Launchpad but its open never completes: 2 s later the chain goes on.
    workspace->installApplication("com.apple.launchpad.launcher", "/System/Applications/Launchpad.app");
    workspace->setOpenOutcome(SimulatedWorkspace::OpenOutcome::neverCompletes);
    tools->setHandler([](const SimulatedToolRunner::Invocation& run) {
        return run.arguments.front() == "-a" ? SimulatedToolRunner::exited(1) : SimulatedToolRunner::notStarted();
    });
    std::optional<LaunchpadActivationResult> result;
    onQueue([&] { input->activateLaunchpad([&](LaunchpadActivationResult r) { result = r; }); });
    EXPECT_FALSE(result);
    manual.clock->advance(1.99);
    EXPECT_FALSE(result);
    manual.clock->advance(0.01);
    EXPECT_EQ(published[2], "host shortcut workspace open timed out com.apple.launchpad.launcher");
    EXPECT_EQ(published[3], "host shortcut open -b com.apple.launchpad.launcher failed: No such file or directory");
    EXPECT_EQ(published[4], "host shortcut open -a Launchpad exited with status 1");
    EXPECT_EQ(published[5], "host shortcut AppleScript activate com.apple.launchpad.launcher failed: No such file or directory");
    EXPECT_FALSE(result);  // the last workspace open is waiting again
    manual.clock->advance(2);
    EXPECT_EQ(result, LaunchpadActivationResult::systemKey);

    // A workspace open that succeeds, then an AppleScript that fails: bundle-id activation.
    workspace->setOpenOutcome(SimulatedWorkspace::OpenOutcome::succeeds);
    EXPECT_EQ(run(), LaunchpadActivationResult::bundleIdentifierActivation);
    tools->setHandler([](const auto&) { return SimulatedToolRunner::exited(0); });
    EXPECT_EQ(run(), LaunchpadActivationResult::appleScriptFallback);
}

TEST_F(Launchpad, UntrustedFailureIsReportedWithTheSystemName) {
    accessibility->setTrusted(false);
    shortcut(K::launchpad);
    manual.clock->advance(5);
    ASSERT_FALSE(broadcast.empty());
    EXPECT_EQ(broadcast.back().rfind("host shortcut: Launchpad trigger failed on Linux", 0), 0u);
    EXPECT_TRUE(events().empty());
}

TEST(ProcessToolRunner, ExitStatusesSignalsAndTimeOutsOfRealTools) {
    TemporaryDirectory dir;
    const auto script = [&](const std::string& name, const std::string& body) {
        const auto path = dir.path() / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    };
    ProcessToolRunner runner({{"/usr/bin/open", script("open", "[ \"$1\" = -a ] && [ \"$2\" = Launchpad ]")},
                              {"/usr/bin/osascript", script("osascript", "kill -9 $$")},
                              {"/usr/bin/slow", script("slow", "exec sleep 5")}});
    using namespace std::chrono_literals;
    const auto ok = runner.run("/usr/bin/open", {"-a", "Launchpad"}, 5s);
    EXPECT_TRUE(ok.started && ok.exitedNormally && ok.status == 0);
    const auto wrong = runner.run("/usr/bin/open", {"-a", "Other"}, 5s);
    EXPECT_TRUE(wrong.exitedNormally);
    EXPECT_EQ(wrong.status, 1);
    const auto killed = runner.run("/usr/bin/osascript", {}, 5s);
    EXPECT_TRUE(killed.started);
    EXPECT_FALSE(killed.exitedNormally);
    const auto slow = runner.run("/usr/bin/slow", {}, 100ms);
    EXPECT_TRUE(slow.timedOut);
    const auto missing = runner.run(dir.path() / "absent", {}, 5s);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.startError, "No such file or directory");
}


TEST_F(Shortcuts, WithASessionDesktopTheWindowManagerSwitchesAndTheSessionLocksAndFailuresSaySo) {
    auto session = std::make_shared<SimulatedSessionDesktop>();
    manual.platform.sessionDesktop = session;
    shortcut(K::nextDesktop);
    shortcut(K::previousDesktop);
    shortcut(K::lockScreen);
    manual.clock->advance(1);
    EXPECT_EQ(session->switches(), (std::vector<int>{1, -1}));
    EXPECT_EQ(session->locks(), 1);
    // Nothing reaches the focused application.
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(broadcast, (std::vector<std::string>{"host shortcut: next desktop (window manager)",
                                                   "host shortcut: previous desktop (window manager)",
                                                   "host shortcut: lock screen (session lock)"}));

    broadcast.clear();
    session->setFailure("no window manager publishes its desktops");
    shortcut(K::nextDesktop);
    shortcut(K::lockScreen);
    manual.clock->advance(1);
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(broadcast,
              (std::vector<std::string>{"host shortcut: next desktop failed (no window manager publishes its desktops)",
                                        "host shortcut: lock screen failed (no window manager publishes its desktops)"}));
}

}  // namespace
}  // namespace ShortcutTests
}  // namespace qm::test
