// The two permissions as an X desktop answers them, against a real server (Xvfb), and the
// desktop's settings program that the privacy-pane addresses open.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "Platform/Linux/DesktopPermissions.h"
#include "Platform/Linux/PosixProcessLauncher.h"
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

}  // namespace
}  // namespace DesktopPermissionsTests
}  // namespace qm::test
