// Permission requests, the privacy panes, the relaunch after a Screen Recording grant and the
// installer's links, on virtual time; and a link handed over a real local socket.
#include <gtest/gtest.h>

#include <functional>

#include "Platform/Accessibility.h"
#include "Platform/AudioCapture.h"
#include "Platform/Linux/LocalURLEvents.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace PermissionTests {
namespace {

struct PermissionHarness {
    explicit PermissionHarness(bool captureGranted = false, bool trusted = false) {
        capture = std::make_shared<SimulatedScreenCaptureAccess>(captureGranted);
        accessibility = std::make_shared<SimulatedAccessibility>(trusted);
        app.environment.platform.screenCaptureAccess = capture;
        app.environment.platform.accessibility = accessibility;
        app.environment.launcher = launcher;
        // The first-run marks are set: these tests see only what they trigger.
        auto defaults = app.defaultsStore->standard();
        defaults->set("host.firstRun.screenCapturePrompted.149", true);
        defaults->set("host.firstRun.accessibilityPrompted", true);
    }
    std::size_t terminations() const {
        return static_cast<std::size_t>(std::count(app.shell->events.begin(), app.shell->events.end(), "terminate"));
    }
    AppHarness app;
    std::shared_ptr<SimulatedScreenCaptureAccess> capture;
    std::shared_ptr<SimulatedAccessibility> accessibility;
    std::shared_ptr<RecordingProcessLauncher> launcher = std::make_shared<RecordingProcessLauncher>();
};

TEST(PermissionLinks, TargetsRouteByPrecedenceAndRunOneAtATime) {
    PermissionHarness h;
    h.app.launch();
    auto& delegate = *h.app.delegate;

    // Not ours: ignored without a word.
    for (const char* url : {"QuillmereHost://accessibility", "https://accessibility", "quillmerehost", "quillmerehost://a b"}) {
        delegate.handlePermissionURLEvent(url);
    }
    EXPECT_EQ(h.app.count("permissions:"), 0u);

    // "accessibility" wins over "screen".
    delegate.handlePermissionURLEvent("quillmerehost://permissions/Screen-Accessibility?x=1");
    h.app.host.clock().advance(0.5);
    EXPECT_TRUE(h.app.logged("permissions: requesting Accessibility from installer link"));
    EXPECT_EQ(h.accessibility->promptCount(), 1);
    EXPECT_EQ(h.capture->requestCount(), 0);

    // While it runs, a second link waits and a third replaces it.
    delegate.handlePermissionURLEvent("quillmerehost://recording");
    delegate.handlePermissionURLEvent("quillmerehost:accessibility");
    EXPECT_TRUE(h.app.logged("permissions: queued installer permission request screenCapture"));
    EXPECT_TRUE(h.app.logged("permissions: queued installer permission request accessibility"));
    ASSERT_TRUE(delegate.permissions().queuedPermissionRequest);
    EXPECT_EQ(*delegate.permissions().queuedPermissionRequest, HostProbeDelegate::PermissionRequestKind::accessibility);
    h.app.host.clock().advance(5.5);
    EXPECT_EQ(h.app.count("permissions: requesting Accessibility from installer link"), 2u);
    EXPECT_EQ(h.app.count("permissions: requesting Screen Recording"), 0u);

    // No keyword: Accessibility now, Screen Recording 5.5 s after it started.
    h.app.host.clock().advance(6);
    delegate.handlePermissionURLEvent("quillmerehost://open");
    h.app.host.clock().advance(5.0);
    EXPECT_EQ(h.app.count("permissions: requesting Accessibility from installer link"), 3u);
    EXPECT_EQ(h.app.count("permissions: requesting Screen Recording from installer link"), 0u);
    h.app.host.clock().advance(0.6);
    EXPECT_EQ(h.app.count("permissions: requesting Screen Recording from installer link"), 1u);
    EXPECT_TRUE(h.app.defaultsStore->standard()->boolean("host.pendingScreenCaptureRelaunch"));
}

TEST(PermissionLinks, GrantedPermissionsOpenTheirPaneAndRefusedPromptsFallBackToIt) {
    PermissionHarness h(/*captureGranted=*/true, /*trusted=*/false);
    h.launcher->openablePrefixes = {"x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?"};
    h.app.launch();
    auto& delegate = *h.app.delegate;
    const int backBefore = delegate.status().summaryWindow->orderBackCount();

    delegate.permissions().enqueueInstallerPermissionRequest(HostProbeDelegate::PermissionRequestKind::screenCapture);
    EXPECT_TRUE(h.launcher->openAttempts.empty()) << "the desktop's opener never runs on the main queue";
    h.app.host.clock().runUntilIdle();
    EXPECT_TRUE(h.app.logged("permissions: opened System Settings pane Privacy_ScreenCapture"));
    EXPECT_EQ(h.launcher->openAttempts,
              (std::vector<std::string>{"x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture",
                                        "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?"
                                        "Privacy_ScreenCapture"}));
    EXPECT_EQ(delegate.status().summaryWindow->level(), WindowModel::normalLevel);
    EXPECT_GT(delegate.status().summaryWindow->orderBackCount(), backBefore);

    // The Accessibility prompt answers "not trusted": its pane follows a second later, and
    // neither address opens.
    h.launcher->openablePrefixes.clear();
    delegate.permissions().requestAccessibilityPermission();
    h.app.host.clock().advance(0.5);
    EXPECT_TRUE(h.app.logged("permissions: requesting Accessibility through TCC"));
    EXPECT_FALSE(h.app.logged("permissions: failed to open System Settings pane Privacy_Accessibility"));
    h.app.host.clock().advance(1.0);
    EXPECT_TRUE(h.app.logged("permissions: failed to open System Settings pane Privacy_Accessibility"));
}

TEST(Relaunch, StartsOnlyAfterTheQuitIsConfirmedAndACancelKeepsItPending) {
    PermissionHarness h;
    h.app.defaultsStore->standard()->set("host.pendingScreenCaptureRelaunch", true);
    h.app.launch();
    auto& delegate = *h.app.delegate;
    h.app.host.clock().advance(1);
    EXPECT_TRUE(h.app.shell->pendingSheets.empty()) << "not granted yet: nothing happens";

    // Granted: the next refresh asks to quit; nothing is started before the answer.
    h.capture->setGranted(true);
    h.app.host.clock().advance(1.4);
    ASSERT_EQ(h.app.shell->pendingSheets.size(), 1u);
    EXPECT_TRUE(h.launcher->launches.empty());

    // "Keep Running": no script waits for this process, the request stays pending, and the
    // refresh does not ask again.
    h.app.shell->pendingSheets.front()(1001);
    h.app.shell->pendingSheets.clear();
    h.app.host.clock().advance(10);
    EXPECT_TRUE(h.launcher->launches.empty());
    EXPECT_TRUE(h.app.defaultsStore->standard()->boolean("host.pendingScreenCaptureRelaunch"));
    EXPECT_TRUE(h.app.shell->pendingSheets.empty());
    EXPECT_EQ(h.terminations(), 0u);

    // A later confirmed quit relaunches.
    h.app.shell->scriptedResponses.push_back(1000);
    delegate.requestQuitMenuAction();
    h.app.host.clock().advance(1);
    ASSERT_EQ(h.launcher->launches.size(), 1u);
    const auto& command = h.launcher->launches[0];
    ASSERT_EQ(command.size(), 3u);
    EXPECT_EQ(command[0], "/bin/sh");
    EXPECT_EQ(command[2], "while /bin/kill -0 4242 2>/dev/null; do /bin/sleep 0.2; done; exec '/opt/quillmere/bin/QuillmereHost'");
    EXPECT_TRUE(h.app.logged("permissions: Screen Recording approved; relaunching Host pid=4242 so ScreenCaptureKit "
                             "sees the new TCC grant (reason=refresh)"));
    EXPECT_FALSE(h.app.defaultsStore->standard()->boolean("host.pendingScreenCaptureRelaunch"));
    EXPECT_EQ(h.terminations(), 1u);
}

TEST(Relaunch, ScriptQuotesThePathAndAFailedStartIsLogged) {
    EXPECT_EQ(PermissionsController::relaunchScript(7, "/a b/it's"),
              "while /bin/kill -0 7 2>/dev/null; do /bin/sleep 0.2; done; exec '/a b/it'\\''s'");
    PermissionHarness h(/*captureGranted=*/true);
    h.launcher->launchFailure = "Permission denied";
    h.app.defaultsStore->standard()->set("host.pendingScreenCaptureRelaunch", true);
    h.app.shell->scriptedResponses.push_back(1000);  // the user quits when asked
    h.app.launch();
    h.app.host.clock().advance(1);
    EXPECT_TRUE(h.app.logged("permissions: relaunch script failed to start: Permission denied"));
    EXPECT_EQ(h.terminations(), 1u);
}

TEST(Relaunch, AStopFromOutsideStartsNothingAndKeepsTheRequestPending) {
    // SIGTERM while the relaunch's own quit question is up, and the installer's restart link.
    using Stop = std::function<void(HostProbeDelegate&)>;
    for (const auto& stop : {Stop([](HostProbeDelegate& d) { d.terminateApplication("signal 15"); }),
                             Stop([](HostProbeDelegate& d) { d.handlePermissionURLEvent("quillmerehost://update/restart"); })}) {
        PermissionHarness h(/*captureGranted=*/true);
        h.app.defaultsStore->standard()->set("host.pendingScreenCaptureRelaunch", true);
        h.app.launch();
        h.app.host.clock().advance(1);
        EXPECT_EQ(h.app.shell->pendingSheets.size(), 1u) << "the relaunch asks to quit";
        stop(*h.app.delegate);
        h.app.host.clock().advance(1);
        EXPECT_EQ(h.terminations(), 1u);
        EXPECT_TRUE(h.launcher->launches.empty());
        EXPECT_TRUE(h.app.defaultsStore->standard()->boolean("host.pendingScreenCaptureRelaunch"));
    }
}

TEST(PermissionLinks, RestartLinkOverARealLocalSocketQuitsWithoutAQuestion) {
    PermissionHarness h;
    h.app.launch();
    const auto path = h.app.caches.path() / "host.sock";
    std::string error;
    std::weak_ptr<HostProbeDelegate> weak = h.app.delegate;
    auto listener = LocalURLEventListener::listen(path, h.app.host.platform().mainQueue,
                                                  [weak](const std::string& url) {
                                                      if (auto delegate = weak.lock()) delegate->handlePermissionURLEvent(url);
                                                  },
                                                  &error);
    ASSERT_TRUE(listener) << error;
    // A second listener at the same place refuses: one Host owns the socket.
    EXPECT_FALSE(LocalURLEventListener::listen(path, h.app.host.platform().mainQueue, [](const std::string&) {}, &error));

    ASSERT_EQ(LocalURLEventListener::send(path, "quillmerehost://Update/Restart", &error),
              LocalURLEventListener::HandOff::taken)
        << error;
    ASSERT_TRUE(waitUntil([&] {
        h.app.host.clock().runUntilIdle();
        return h.app.logged("upgrade: received installer restart request");
    }));
    h.app.host.clock().advance(1);
    EXPECT_TRUE(h.app.shell->pendingSheets.empty());
    EXPECT_EQ(h.terminations(), 1u);

    listener.reset();
    EXPECT_EQ(LocalURLEventListener::send(path, "quillmerehost://update/restart", &error),
              LocalURLEventListener::HandOff::noHost);
}

}  // namespace
}  // namespace PermissionTests
}  // namespace qm::test
