// The installed Host as a user meets it: scripts/install puts it into a prefix of its own, and the
// installed executable runs as a throwaway user on an X display of its own (openbox managing it),
// in a network namespace of its own. A file sent through the installed send-files action reaches
// a signed-in Viewer, and the permission walk-through, found from the Host's own location, comes
// back to its sheet when a settings button finds no settings program to start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "DesktopEntries.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "support/BuiltHost.h"
#include "support/Commands.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace qm::test {
namespace InstalledHostLiveTests {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// scripts/install for a user whose home is `home`, into `prefix`, without starting the Host.
// `marker` names the marker to write (default: the one under the prefix).
::testing::AssertionResult install(const fs::path& home, const fs::path& prefix, const std::vector<std::string>& more = {}) {
    fs::create_directories(home);
    std::vector<std::string> command{"env", "-u", "XDG_CONFIG_HOME", "-u", "XDG_DATA_HOME", "-u", "XDG_STATE_HOME",
                                     "HOME=" + home.string(), "bash", "-c", "exec \"$0\" \"$@\" 2>&1",
                                     std::string(QM_SOURCE_DIR) + "/scripts/install", "--user", "--no-start",
                                     "--prefix", prefix.string(), "--build-dir", QM_BUILD_DIR};
    command.insert(command.end(), more.begin(), more.end());
    const auto result = runCommand(command, 180s);
    if (!result) return ::testing::AssertionFailure() << "scripts/install did not run";
    if (result->exitStatus != 0) return ::testing::AssertionFailure() << result->output;
    return ::testing::AssertionSuccess();
}

// A folder the throwaway user may read and run programs from.
fs::path openFolder(const TemporaryDirectory& root) {
    ::chmod(root.path().c_str(), 0755);
    return root.path();
}

// The X display as the test's user sees it. The Host's windows come and go while the test looks
// at them: an error about a window that has just gone is no failure (Xlib's own handler would
// end the test's process).
Display* openDisplay(const std::string& name) {
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    return XOpenDisplay(name.c_str());
}

// The user's keys on the window, one after another, once it has the focus (the Host raises its
// windows again just after a sheet appears, which may move the focus for a moment).
void pressKeys(Display* display, Window window, const std::vector<KeySym>& keys) {
    waitUntil(
        [&] {
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
            XSync(display, False);
            Window focused = 0;
            int revert = 0;
            XGetInputFocus(display, &focused, &revert);
            return focused == window;
        },
        5s);
    for (KeySym symbol : keys) {
        const KeyCode key = XKeysymToKeycode(display, symbol);
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XSync(display, False);
    }
}

bool hostPrinted(const BuiltHost& host, const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return host.log().find(text) != std::string::npos; }, timeout);
}

TEST(InstalledHostLive, AFileSentThroughTheInstalledSendFilesActionReachesASignedInViewer) {
    TemporaryDirectory root;
    // A blank and a percent sign: the entries must quote and escape the path.
    const auto prefix = openFolder(root) / "opt dir %1" / "quillmere-host";
    const auto installerHome = root.path() / "installer";
    // The marker elsewhere: this Host has no walk-through to show.
    ASSERT_TRUE(install(installerHome, prefix, {"--marker", (root.path() / "elsewhere/marker").string()}));
    const auto executable = prefix / "bin/QuillmereHost";

    std::string whyNot;
    auto host = BuiltHost::prepare(executable, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    const auto sent = randomBytes(200'000, 3);  // more than one chunk
    host->writeHomeFile("report", sent);
    ASSERT_TRUE(host->start()) << host->log();
    auto viewer = host->signIn("Ada's Viewer", whyNot);
    ASSERT_TRUE(viewer) << whyNot << "\n" << host->log();

    // "Send Files via Quillmere" on a file in the file manager: the link handler's action, run
    // as the desktop runs it.
    std::optional<std::vector<std::string>> words;
    for (const auto& line : DesktopEntries::execLines(installerHome / ".local/share/applications/quillmere-host.desktop")) {
        if (line.section == "Desktop Action SendFiles") {
            words = DesktopEntries::execCommand(line.value, {(host->home() / "report").string()}, "");
        }
    }
    ASSERT_TRUE(words);
    ASSERT_EQ(words->front(), executable.string());
    std::string handOff;
    ASSERT_EQ(host->runAgain(std::vector<std::string>(words->begin() + 1, words->end()), handOff), 0) << handOff;

    // The destination picker opens on the Desktop preset; the user presses Return.
    Display* display = openDisplay(host->displayName());
    ASSERT_NE(display, nullptr);
    ASSERT_TRUE(waitUntil([&] { return findMappedWindow(display, "Send to Quillmere Viewer") != 0; }, 30s))
        << host->log();
    std::map<std::string, Bytes> files;
    bool ended = false;
    for (int attempt = 0; attempt < 5 && !ended; ++attempt) {
        if (Window picker = findMappedWindow(display, "Send to Quillmere Viewer")) {
            pressKeys(display, picker, {XK_Return});
        }
        while (auto frame = viewer->waitFor(AuxPacketType::fileTransfer, attempt == 4 ? 20s : 3s)) {
            auto packet = FileTransferPacket::decode(frame->payload);
            ASSERT_TRUE(packet);
            if (packet->op == FileTransferOp::fileStart) files[packet->path];
            if (packet->op == FileTransferOp::fileChunk) {
                files[packet->path].insert(files[packet->path].end(), packet->data.begin(), packet->data.end());
            }
            if (packet->op == FileTransferOp::batchEnd) {
                ended = true;
                break;
            }
        }
    }
    XCloseDisplay(display);
    ASSERT_TRUE(ended) << host->log();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files["report"] == sent) << files["report"].size() << " bytes";
}

TEST(InstalledHostLive, OpeningScreenRecordingSettingsWithNoSettingsProgramBringsTheConfirmationBack) {
    TemporaryDirectory root;
    const auto prefix = openFolder(root) / "quillmere-host";
    ASSERT_TRUE(install(root.path() / "installer", prefix));
    std::string whyNot;
    // Started as a log-in would, in an environment that names no marker.
    auto host = BuiltHost::prepare(prefix / "bin/QuillmereHost", whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    if (!host->startWindowManager()) GTEST_SKIP() << "openbox does not manage the display";
    ASSERT_TRUE(host->start()) << host->log();
    Display* display = openDisplay(host->displayName());
    ASSERT_NE(display, nullptr);

    // The display offers both permissions: the walk-through is at its confirmation.
    const std::string title = "Confirm Both Permissions";
    Window sheet = 0;
    ASSERT_TRUE(waitUntil([&] { return (sheet = findMappedWindow(display, title)) != 0; }, 60s))
        << host->log();
    // "Open Screen Recording Settings" is the third button: two Tabs from the first, then Space
    // (Return would press the default button, "I Have Enabled Both").
    pressKeys(display, sheet, {XK_Tab, XK_Tab, XK_space});
    EXPECT_TRUE(hostPrinted(*host, "permissions: failed to open System Settings pane Privacy_ScreenCapture", 30s))
        << host->log();
    // The sheet is back: a new one with the same title.
    Window back = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            back = findMappedWindow(display, title);
            return back != 0 && back != sheet;
        },
        30s))
        << host->log();
    EXPECT_EQ(host->log().find("initial install onboarding completed"), std::string::npos) << host->log();
    XCloseDisplay(display);
}

}  // namespace
}  // namespace InstalledHostLiveTests
}  // namespace qm::test
