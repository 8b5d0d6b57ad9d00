// The two permissions as an X desktop answers them, against a real server (Xvfb), and the
// desktop's settings program that the privacy-pane addresses open.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "Platform/Linux/DesktopPermissions.h"
#include "Platform/Linux/PosixProcessLauncher.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

namespace qm::test {
namespace DesktopPermissionsTests {
namespace {

TEST(DesktopPermissions, AnXDisplayWithXTestAndAReadableRootGrantsBothTheSoundServerDecidingSystemAudio) {
    VirtualXServer server;
    if (!server.running()) GTEST_SKIP() << server.reason();
    XTestAccessibility accessibility(server.name());
    EXPECT_TRUE(accessibility.isProcessTrusted());
    EXPECT_TRUE(accessibility.isProcessTrustedWithPrompt()) << "no prompt: the same check";
    EXPECT_FALSE(accessibility.applicationElement(1));

    std::optional<bool> monitor;  // no sound server
    X11ScreenCaptureAccess capture([&monitor] { return monitor; }, server.name());
    EXPECT_TRUE(capture.preflight()) << "without a sound server there is no system audio to allow";
    monitor = true;
    EXPECT_TRUE(capture.preflight());
    monitor = false;
    EXPECT_FALSE(capture.preflight()) << "a sound server without the monitor source: no System Audio";
    EXPECT_FALSE(capture.request());
}

TEST(DesktopPermissions, WithoutADisplayBothAreMissing) {
    // A display number no server listens on.
    XTestAccessibility accessibility(":4093");
    X11ScreenCaptureAccess capture([] { return std::optional<bool>(true); }, ":4093");
    EXPECT_FALSE(accessibility.isProcessTrusted());
    EXPECT_FALSE(capture.preflight());
    EXPECT_FALSE(capture.request());
}

TEST(DesktopSettings, ThePrivacyAddressesOpenTheDesktopsSettingsProgramFoundOnThePath) {
    TemporaryDirectory folder;
    const auto bin = folder.path() / "bin";
    const auto other = folder.path() / "other";
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(other);
    auto program = [](const std::filesystem::path& path) {
        std::ofstream(path) << "#!/bin/sh\n";
        ::chmod(path.c_str(), 0755);
    };
    const std::string searchPath = "relative:" + other.string() + ":" + bin.string();
    EXPECT_FALSE(PosixProcessLauncher::desktopSettingsCommand(searchPath, true)) << "no settings program";
    program(bin / "systemsettings");
    EXPECT_EQ(PosixProcessLauncher::desktopSettingsCommand(searchPath, true),
              (std::vector<std::string>{(bin / "systemsettings").string()}));
    program(other / "gnome-control-center");
    EXPECT_EQ(PosixProcessLauncher::desktopSettingsCommand(searchPath, true),
              (std::vector<std::string>{(other / "gnome-control-center").string(), "privacy"}))
        << "the privacy page where the desktop has one";
    EXPECT_FALSE(PosixProcessLauncher::desktopSettingsCommand(searchPath, false)) << "no desktop, nothing to open";
    std::ofstream(bin / "xfce4-settings-manager") << "not executable";
    std::filesystem::remove(other / "gnome-control-center");
    std::filesystem::remove(bin / "systemsettings");
    EXPECT_FALSE(PosixProcessLauncher::desktopSettingsCommand(searchPath, true)) << "only executables count";
}

// The settings program a privacy address starts is followed until it, and what it started with
// it, has ended; the Host never waits on it.
TEST(DesktopSettings, TheStartedSettingsProgramIsFollowedUntilItAndItsChildrenEnd) {
    TemporaryDirectory folder;
    const auto bin = folder.path() / "bin";
    std::filesystem::create_directories(bin);
    const auto stopParent = folder.path() / "stop-parent";
    const auto stopChild = folder.path() / "stop-child";
    const auto pidFile = folder.path() / "pid";
    // A settings program that starts a helper of its own, then waits to be closed (named as the
    // one looked for first, so that it is the one started whatever else this machine has).
    std::ofstream(bin / "gnome-control-center")
        << "#!/bin/sh\n"
        << "echo $$ > '" << pidFile.string() << ".new'; mv '" << pidFile.string() << ".new' '" << pidFile.string() << "'\n"
        << "(while [ ! -e '" << stopChild.string() << "' ]; do sleep 0.05; done) &\n"
        << "while [ ! -e '" << stopParent.string() << "' ]; do sleep 0.05; done\n";
    ::chmod((bin / "gnome-control-center").c_str(), 0755);
    std::string pane = PosixProcessLauncher::systemSettingsScheme;
    pane += "Privacy_ScreenCapture";
    // The desktop's PATH and display for this test, as they were afterwards.
    struct Variable {
        Variable(const char* name, const std::string& value) : name(name) {
            if (const char* was = std::getenv(name)) before = was;
            ::setenv(name, value.c_str(), 1);
        }
        ~Variable() { before ? ::setenv(name, before->c_str(), 1) : ::unsetenv(name); }
        const char* name;
        std::optional<std::string> before;
    };
    const Variable path("PATH", bin.string() + ":/usr/bin:/bin");
    const Variable display("DISPLAY", ":99");
    PosixProcessLauncher launcher;
    auto opened = launcher.openURLFollowingProgram(pane);
    ASSERT_TRUE(opened.opened);
    ASSERT_TRUE(opened.program);
    EXPECT_FALSE(opened.program->hasEnded());
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(pidFile); }, std::chrono::seconds(30)));
    const pid_t settings = static_cast<pid_t>(std::stol(fileText(pidFile)));
    std::ofstream(stopParent) << "";
    // Gone (a zombie nobody reaps counts as gone) while its helper still runs: the settings may
    // still be on screen.
    ASSERT_TRUE(waitUntil(
        [&] {
            if (::kill(settings, 0) != 0) return true;
            const auto stat = fileText("/proc/" + std::to_string(settings) + "/stat");
            const auto close = stat.rfind(')');
            return close == std::string::npos || (close + 2 < stat.size() && stat[close + 2] == 'Z');
        },
        std::chrono::seconds(30)));
    EXPECT_FALSE(opened.program->hasEnded());
    std::ofstream(stopChild) << "";
    EXPECT_TRUE(waitUntil([&] { return opened.program->hasEnded(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(opened.program->hasEnded()) << "ended stays ended";
}

}  // namespace
}  // namespace DesktopPermissionsTests
}  // namespace qm::test
