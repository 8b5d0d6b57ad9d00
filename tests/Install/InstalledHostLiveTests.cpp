// The installed Host as a user meets it: scripts/install puts it into a prefix of its own, and the
// installed executable runs as a throwaway user on an X display of its own (openbox managing it),
// in a network namespace of its own. A file sent through the installed send-files action reaches
// a signed-in Viewer, the permission walk-through, found from the Host's own location, comes
// back to its sheet when a settings button finds no settings program to start, a click on the
// quit question answers it while the walk-through is up too, and the application menu's launcher
// starts the Host again after it quit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <vector>

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

bool hostPrinted(const BuiltHost& host, const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return host.log().find(text) != std::string::npos; }, timeout);
}

// ---- The screen as the user sees it -------------------------------------------------------------

// A rectangle of the screen.
struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool overlaps(const Area& other) const {
        return x < other.x + other.width && other.x < x + width && y < other.y + other.height && other.y < y + height;
    }
    int centerX() const { return x + width / 2; }
    int centerY() const { return y + height / 2; }
};

// Where a viewable window is on the screen; none when it is not on screen (or gone).
std::optional<Area> areaOf(Display* display, Window window) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable ||
        attributes.c_class == InputOnly) {
        return std::nullopt;
    }
    int x = 0;
    int y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child)) return std::nullopt;
    return Area{x, y, attributes.width, attributes.height};
}

bool viewable(Display* display, Window window) { return areaOf(display, window).has_value(); }

// The root's children, bottom to top (the window manager's frames and override-redirect windows).
std::vector<Window> topLevels(Display* display) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> all;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        all.assign(children, children + count);
        if (children) XFree(children);
    }
    return all;
}

// The root's child that holds `window` (its frame, under a window manager).
Window topLevelOf(Display* display, Window window) {
    const Window root = DefaultRootWindow(display);
    for (int depth = 0; depth < 16; ++depth) {
        Window top = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &top, &parent, &children, &count)) return 0;
        if (children) XFree(children);
        if (parent == root || parent == 0) return window;
        window = parent;
    }
    return 0;
}

// Whether any window stacked above `window` hides part of it.
bool covered(Display* display, Window window) {
    const auto area = areaOf(display, window);
    const Window own = topLevelOf(display, window);
    if (!area || !own) return true;
    const auto all = topLevels(display);
    const auto at = std::find(all.begin(), all.end(), own);
    if (at == all.end()) return true;
    return std::any_of(at + 1, all.end(), [&](Window above) {
        const auto other = areaOf(display, above);
        return other && other->overlaps(*area);
    });
}

bool ofHostClass(Display* display, Window window) {
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint)) return false;
    const bool host = hint.res_class && std::string(hint.res_class) == "QuillmereHost";
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return host;
}

// The Host's status icon: the small window of its own it embeds in the tray (so not one of the
// root's children, as its tooltips are).
Window statusIcon(Display* display) {
    Window found = 0;
    std::function<void(Window)> walk = [&](Window window) {
        if (found) return;
        const auto area = ofHostClass(display, window) ? areaOf(display, window) : std::nullopt;
        if (area && area->width <= 64 && area->height <= 64 && topLevelOf(display, window) != window) {
            found = window;
            return;
        }
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count)) return;
        for (unsigned int i = 0; i < count; ++i) walk(children[i]);
        if (children) XFree(children);
    };
    walk(DefaultRootWindow(display));
    return found;
}

// A menu of the Host's on screen (an override-redirect window of its own taller than a tooltip):
// where it is.
std::optional<Area> hostMenu(Display* display) {
    for (Window window : topLevels(display)) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, window, &attributes) || !attributes.override_redirect ||
            attributes.height < 120 || !ofHostClass(display, window)) {
            continue;
        }
        if (auto area = areaOf(display, window)) return area;
    }
    return std::nullopt;
}

// Whether the keyboard focus is on the window.
bool focusedOn(Display* display, Window window) {
    Window focused = 0;
    int revert = 0;
    XGetInputFocus(display, &focused, &revert);
    return focused == window;
}

// The user's click: the pointer moves there, the left button goes down and up.
void click(Display* display, int x, int y) {
    XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
    XSync(display, False);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
}

// The pixels of a part of the screen as they are drawn now.
std::vector<unsigned long> pixelsOf(Display* display, const Area& area) {
    std::vector<unsigned long> pixels;
    XImage* image = XGetImage(display, DefaultRootWindow(display), area.x, area.y, static_cast<unsigned>(area.width),
                              static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
    if (!image) return pixels;
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) pixels.push_back(XGetPixel(image, x, y));
    }
    XDestroyImage(image);
    return pixels;
}

// The user's click on a button: the pointer goes there, the left button goes down, and comes up
// once the button is drawn pressed (a user holds it until it gives), or after a while when it
// never is.
void clickButton(Display* display, const Area& button) {
    XTestFakeMotionEvent(display, -1, button.centerX(), button.centerY(), CurrentTime);
    XSync(display, False);
    const auto unpressed = pixelsOf(display, button);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XSync(display, False);
    waitUntil([&] { return pixelsOf(display, button) != unpressed; }, 5s);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
}

// The buttons along the bottom of an alert as they are drawn, left to right (the first button of
// the alert is the rightmost): the runs of columns of the strip above the bottom edge in which
// some pixel is not the alert's background. The strip lies below the texts (12 points above the
// buttons) and within the bottom margin's reach (16 points below them). Empty while the window
// is not drawn yet or is hidden in part.
std::vector<Area> buttonsAlongTheBottom(Display* display, Window alert) {
    const auto area = areaOf(display, alert);
    if (!area || area->height < 80 || area->width < 80 || covered(display, alert)) return {};
    const int top = area->height - 48;
    const int bottom = area->height - 4;
    XImage* image = XGetImage(display, alert, 0, top, static_cast<unsigned>(area->width),
                              static_cast<unsigned>(bottom - top), AllPlanes, ZPixmap);
    if (!image) return {};
    const unsigned long background = XGetPixel(image, 2, bottom - top - 1);
    auto differs = [&](unsigned long pixel) {
        int distance = 0;
        for (int shift : {0, 8, 16}) {
            distance += std::abs(static_cast<int>((pixel >> shift) & 0xff) - static_cast<int>((background >> shift) & 0xff));
        }
        return distance > 24;
    };
    std::vector<Area> buttons;
    int runStart = -1;  // the first column of the run being read
    int runTop = 0;
    int runBottom = 0;
    for (int x = 0; x <= area->width; ++x) {
        int first = -1;
        int last = -1;
        for (int y = 0; x < area->width && y < bottom - top; ++y) {
            if (!differs(XGetPixel(image, x, y))) continue;
            if (first < 0) first = y;
            last = y;
        }
        if (first >= 0) {
            if (runStart < 0) {
                runStart = x;
                runTop = first;
                runBottom = last;
            }
            runTop = std::min(runTop, first);
            runBottom = std::max(runBottom, last);
        } else if (runStart >= 0) {
            // Wider than a stray pixel or a focus mark: a button.
            if (x - runStart >= 24) {
                buttons.push_back(Area{area->x + runStart, area->y + top + runTop, x - runStart, runBottom - runTop + 1});
            }
            runStart = -1;
        }
    }
    XDestroyImage(image);
    return buttons;
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

// The quit question over the permission walk-through: a click on one of its buttons answers it,
// whichever of the two sheets came first. "Keep Running" leaves the Host running, round after
// round; "Quit Host" ends it, and the application menu's launcher starts it again.
TEST(InstalledHostLive, AClickAnswersTheQuitQuestionWithTheWalkThroughUp) {
    TemporaryDirectory root;
    const auto prefix = openFolder(root) / "quillmere-host";
    ASSERT_TRUE(install(root.path() / "installer", prefix));
    std::string whyNot;
    auto host = BuiltHost::prepare(prefix / "bin/QuillmereHost", whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    if (!host->startWindowManager()) GTEST_SKIP() << "openbox does not manage the display";
    // The quit item is in the status item's menu: a tray for it, before the Host starts.
    if (!host->startSystemTray()) GTEST_SKIP() << "trayer does not take status icons";
    ASSERT_TRUE(host->start()) << host->log();
    Display* display = openDisplay(host->displayName());
    ASSERT_NE(display, nullptr);

    const std::string walkThroughTitle = "Confirm Both Permissions";
    const std::string questionTitle = "Quit Corventis Host?";
    const std::string kept = "quit cancelled: Host keeps running";
    const std::string deferred = "permissions: initial install onboarding permission confirmation deferred by user";
    auto count = [&](const std::string& message) {
        const auto all = host->messages();
        return std::count(all.begin(), all.end(), message);
    };
    auto refreshes = [&] {
        const auto all = host->messages();
        return std::count_if(all.begin(), all.end(),
                             [](const std::string& line) { return line.starts_with("refresh generation="); });
    };
    auto ended = [&] { return host->log().find("terminating:") != std::string::npos; };
    ASSERT_TRUE(waitUntil([&] { return findMappedWindow(display, walkThroughTitle) != 0; }, 60s)) << host->log();

    // "Quit Host..." from the status item's menu (its last item), clicked; the question once it is up.
    auto askToQuit = [&]() -> Window {
        Window question = 0;
        waitUntil(
            [&] {
                const Window icon = statusIcon(display);
                const auto place = icon ? areaOf(display, icon) : std::nullopt;
                if (!place) return false;
                click(display, place->centerX(), place->centerY());
                std::optional<Area> menu;
                if (!waitUntil([&] { return (menu = hostMenu(display)).has_value(); }, 5s)) return false;
                // The last item sits right above the menu's bottom edge.
                click(display, menu->centerX(), menu->y + menu->height - 12);
                return waitUntil([&] { return (question = findMappedWindow(display, questionTitle)) != 0; }, 5s);
            },
            30s);
        return question;
    };
    // A button of the question where it is drawn, once nothing covers it: `fromRight` 0 is the
    // first one, "Quit Host"; 1 is "Keep Running".
    auto buttonOf = [&](Window question, std::size_t fromRight) -> std::optional<Area> {
        std::vector<Area> buttons;
        if (!waitUntil([&] { return (buttons = buttonsAlongTheBottom(display, question)).size() == 2; }, 20s)) {
            return std::nullopt;
        }
        return buttons[buttons.size() - 1 - fromRight];
    };

    int wrongRounds = 0;
    constexpr int rounds = 21;
    for (int round = 0; round < rounds && wrongRounds < 3 && !ended(); ++round) {
        // Every third round the walk-through comes back over a question already up: the user put it
        // off, asked to quit, then an installer link brought it back. In another third the user
        // reads the question a moment before clicking; in the rest the click comes at once.
        const bool walkThroughLast = round % 3 == 2;
        const bool readFirst = round % 3 == 0;
        if (walkThroughLast) {
            const Window walkThrough = findMappedWindow(display, walkThroughTitle);
            ASSERT_NE(walkThrough, 0u) << host->log();
            const auto before = count(deferred);
            pressKeys(display, walkThrough, {XK_Escape});
            ASSERT_TRUE(waitUntil([&] { return count(deferred) > before && !viewable(display, walkThrough); }, 20s))
                << host->log();
        } else {
            ASSERT_NE(findMappedWindow(display, walkThroughTitle), 0u) << "the walk-through is up\n" << host->log();
        }
        const Window question = askToQuit();
        ASSERT_NE(question, 0u) << "round " << round << ": no question\n" << host->log();
        if (walkThroughLast) {
            std::string output;
            ASSERT_EQ(host->runAgain({"quillmerehost://install"}, output), 0) << output;
            Window walkThrough = 0;
            ASSERT_TRUE(waitUntil([&] { return (walkThrough = findMappedWindow(display, walkThroughTitle)) != 0; }, 20s))
                << host->log();
            // It came up over the question; the user drags it down out of the way (again, should the
            // window manager place it once more after the first move).
            ASSERT_TRUE(waitUntil(
                [&] {
                    XMoveWindow(display, walkThrough, 200, 560);
                    XSync(display, False);
                    return waitUntil([&] { return areaOf(display, walkThrough).value_or(Area{}).y >= 500; }, 2s);
                },
                20s))
                << host->log();
        }
        // The user clicks once the Host has brought its newest question forward: it has the focus
        // (should it never get it, the click goes in all the same).
        const std::string newest = walkThroughLast ? walkThroughTitle : questionTitle;
        waitUntil([&] { return focusedOn(display, findMappedWindow(display, newest)); }, 20s);
        if (readFirst) {
            // The user reads the question while the Host goes on with its own work (its 2 s refresh
            // runs once more, and the walk-through's 1 s poll with it).
            const auto before = refreshes();
            ASSERT_TRUE(waitUntil([&] { return refreshes() > before; }, 30s)) << host->log();
        }
        const auto keepRunning = buttonOf(question, 1);
        ASSERT_TRUE(keepRunning) << "round " << round << ": the question's buttons are not in sight\n" << host->log();
        const auto before = count(kept);
        clickButton(display, *keepRunning);
        const bool answered =
            waitUntil([&] { return count(kept) == before + 1 && !viewable(display, question); }, 10s);
        ASSERT_FALSE(ended()) << "round " << round << ": \"Keep Running\" ended the Host\n" << host->log();
        if (answered) continue;
        ADD_FAILURE() << "round " << round << (walkThroughLast ? " (walk-through last)" : "")
                      << ": the click on \"Keep Running\" did not answer the question";
        ++wrongRounds;
        // Answered with the keyboard, for the next round.
        if (viewable(display, question)) pressKeys(display, question, {XK_Escape});
        waitUntil([&] { return !viewable(display, question); }, 10s);
    }
    ASSERT_EQ(wrongRounds, 0) << host->log();

    // The walk-through still up, "Quit Host" quits, in order.
    ASSERT_NE(findMappedWindow(display, walkThroughTitle), 0u) << host->log();
    const Window question = askToQuit();
    ASSERT_NE(question, 0u) << host->log();
    const auto quitHost = buttonOf(question, 0);
    ASSERT_TRUE(quitHost) << host->log();
    clickButton(display, *quitHost);
    ASSERT_EQ(host->waitForEnd(60s), 0) << host->log();
    EXPECT_TRUE(host->logged("terminating: quit menu")) << host->log();

    // The user starts it again from the application menu, which lists the Host's launcher: its
    // command, as the menu runs it (no address), starts the installed Host, and its window is back.
    const auto launcher = root.path() / "installer/.local/share/applications/quillmere-host.desktop";
    EXPECT_TRUE(DesktopEntries::shownInMenus(launcher));
    std::optional<std::vector<std::string>> words;
    for (const auto& line : DesktopEntries::execLines(launcher)) {
        if (line.section == "Desktop Entry") words = DesktopEntries::execCommand(line.value, {}, "");
    }
    ASSERT_TRUE(words);
    ASSERT_EQ(words->front(), (prefix / "bin/QuillmereHost").string());
    ASSERT_TRUE(host->start(30s, std::vector<std::string>(words->begin() + 1, words->end()))) << host->log();
    EXPECT_TRUE(waitUntil([&] { return findMappedWindow(display, "Corventis Host") != 0; }, 60s)) << host->log();
    XCloseDisplay(display);
}

}  // namespace
}  // namespace InstalledHostLiveTests
}  // namespace qm::test
