// The real Host process on an X display of its own with a window manager and no system tray: its
// window stays, a second start shows it and ends, and a stop signal ends it even with the quit
// question up. The Host runs in a network namespace of its own (`unshare -rn`), so its listeners
// are private to the test, with its own home, runtime folder and no system bus or sound server.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/BuiltHost.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

extern char** environ;

namespace qm::test {
namespace HostProcessTests {
namespace {

using namespace std::chrono_literals;

bool namespacesAvailable() {
    return std::system("unshare -rn true >/dev/null 2>&1") == 0;
}

// One start of the Host binary, with standard error kept in a file.
class HostProcess {
public:
    HostProcess(const std::string& display, const std::filesystem::path& home, const std::filesystem::path& log) {
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            for (const auto* dropped : {"DISPLAY=", "HOME=", "XDG_", "DBUS_", "PULSE_", "WAYLAND_DISPLAY=", "LANG=", "LC_",
                                        "LANGUAGE=", "QT_QPA_PLATFORM=", "QM_LOG_DETAIL=", "QUILLMERE_"}) {
                if (entry.rfind(dropped, 0) == 0) goto skip;
            }
            environment.push_back(entry);
        skip:;
        }
        environment.push_back("DISPLAY=" + display);
        // Its home, its configuration and its install marker are the test's own.
        for (auto& entry : testHostEnvironment(home)) environment.push_back(entry);
        environment.push_back("XDG_RUNTIME_DIR=" + (home / "runtime").string());
        // No system bus (logind, Avahi) and no sound server: nothing of the machine is touched.
        environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (home / "no-bus").string());
        environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "no-bus").string());
        environment.push_back("PULSE_SERVER=unix:" + (home / "no-pulse").string());
        environment.push_back("LANG=C.UTF-8");
        // The tests read the application's own lines (its refresh count, a second start, why it
        // ends), which reach standard error only with detail.
        environment.push_back("QM_LOG_DETAIL=1");
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        const char* argv[] = {"unshare", "-rn", QM_HOST_EXECUTABLE, nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (::posix_spawnp(&pid_, "unshare", &actions, nullptr, const_cast<char**>(argv), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~HostProcess() {
        if (pid_ > 0 && !exitStatus_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int number) { ::kill(pid_, number); }
    // The exit code once it ended within `timeout`; -1 for a signal; none while it runs.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        if (exitStatus_) return exitStatus_;
        waitUntil([&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return exitStatus_.has_value();
        }, timeout);
        return exitStatus_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

std::string readWhole(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The X display as a user sees it: which named windows are on screen.
class Screen {
public:
    explicit Screen(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
        // Windows come and go while the tree is walked: a request about one that just went is
        // answered with an error, which must not end the test process (Xlib's default does).
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~Screen() {
        if (display_) XCloseDisplay(display_);
    }
    bool open() const { return display_ != nullptr; }

    // Every window of the screen, frames and clients alike.
    void forEachWindow(const std::function<void(Window)>& visit) {
        std::function<void(Window)> walk = [&](Window window) {
            visit(window);
            Window root = 0, parent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            if (XQueryTree(display_, window, &root, &parent, &children, &count)) {
                for (unsigned int i = 0; i < count; ++i) walk(children[i]);
                if (children) XFree(children);
            }
        };
        walk(DefaultRootWindow(display_));
    }
    // The client windows with this title (WM_NAME), whatever their frames.
    std::vector<Window> windowsTitled(const std::string& title) {
        std::vector<Window> found;
        forEachWindow([&](Window window) {
            char* name = nullptr;
            if (XFetchName(display_, window, &name) && name) {
                if (title == name) found.push_back(window);
                XFree(name);
            }
        });
        return found;
    }
    bool viewable(Window window) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display_, window, &attributes)) return false;
        return attributes.map_state == IsViewable;
    }
    bool anyViewable(const std::string& title) {
        XSync(display_, False);
        for (auto window : windowsTitled(title)) {
            if (viewable(window)) return true;
        }
        return false;
    }
    // How many windows of the application class are on screen (an alert may have no title).
    int viewableOfClass(const std::string& applicationClass) {
        XSync(display_, False);
        int count = 0;
        forEachWindow([&](Window window) {
            XClassHint hint{};
            if (!XGetClassHint(display_, window, &hint)) return;
            if (hint.res_class && applicationClass == hint.res_class && viewable(window)) ++count;
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
        });
        return count;
    }
    // What the window manager's close button does: asks the client to close the window.
    void askToClose(const std::string& title) {
        const Atom protocols = XInternAtom(display_, "WM_PROTOCOLS", False);
        const Atom deleteWindow = XInternAtom(display_, "WM_DELETE_WINDOW", False);
        for (auto window : windowsTitled(title)) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = window;
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = static_cast<long>(deleteWindow);
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display_, window, False, NoEventMask, &event);
        }
        XFlush(display_);
    }

private:
    Display* display_;
};

constexpr const char* summaryTitle = "Corventis Host";

struct DesktopHost : ::testing::Test {
    VirtualXServer x{"1024x768x24"};
    TemporaryDirectory home;
    std::filesystem::path log = home.path() / "host.log";

    void SetUp() override {
        if (!namespacesAvailable()) GTEST_SKIP() << "no private network namespace (unshare -rn) here";
        if (!x.running()) GTEST_SKIP() << x.reason();
        ASSERT_TRUE(x.startWindowManager());
        for (const auto* folder : {"config", "cache", "runtime"}) std::filesystem::create_directories(home.path() / folder);
        std::filesystem::permissions(home.path() / "runtime", std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
    }
    // The Host's own clock passing: its 2 s refresh has counted up to `generation`.
    bool refreshedUpTo(int generation) {
        return waitUntil([&] { return readWhole(log).find("refresh generation=" + std::to_string(generation)) != std::string::npos; },
                         60s);
    }
};

TEST_F(DesktopHost, WithoutATrayTheWindowStaysAndASecondStartShowsItAndEnds) {
    HostProcess host(x.name(), home.path(), log);
    ASSERT_TRUE(host.started());
    Screen screen(x.name());
    ASSERT_TRUE(screen.open());
    ASSERT_TRUE(waitUntil([&] { return screen.anyViewable(summaryTitle); }, 60s)) << readWhole(log);

    // Past the launch auto-close (5 s): the 2 s refresh has run three more times.
    ASSERT_TRUE(refreshedUpTo(4)) << readWhole(log);
    EXPECT_TRUE(screen.anyViewable(summaryTitle)) << "without a tray nothing could bring the window back";

    // The user closes it; a plain second start brings it back and ends at once with 0.
    screen.askToClose(summaryTitle);
    ASSERT_TRUE(waitUntil([&] { return !screen.anyViewable(summaryTitle); }, 20s));
    HostProcess second(x.name(), home.path(), home.path() / "second.log");
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.waitForExit(30s), 0) << readWhole(home.path() / "second.log");
    EXPECT_NE(readWhole(home.path() / "second.log").find("a Host is already running"), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return screen.anyViewable(summaryTitle); }, 20s)) << readWhole(log);
    EXPECT_NE(readWhole(log).find("app: a second start of the Host asked to show it"), std::string::npos);
    EXPECT_EQ(readWhole(log).find("listener failed"), std::string::npos) << "the second start served nothing";

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(30s), 0) << readWhole(log);
}

TEST_F(DesktopHost, AStopSignalWithTheQuitQuestionUpEndsTheProcess) {
    HostProcess host(x.name(), home.path(), log);
    ASSERT_TRUE(host.started());
    Screen screen(x.name());
    ASSERT_TRUE(screen.open());
    ASSERT_TRUE(waitUntil([&] { return screen.anyViewable(summaryTitle); }, 60s)) << readWhole(log);
    // The window's Quit item (Ctrl+Q) asks the question as a sheet: a second window of the Host.
    const auto key = "DISPLAY=" + x.name() + " timeout 10 xdotool search --name '^" + std::string(summaryTitle) +
                     "$' windowactivate --sync key ctrl+q >>" + (home.path() / "xdotool.log").string() + " 2>&1";
    // (xdotool's own status is no guide: activation may report a failure after the key went in.)
    ASSERT_TRUE(waitUntil([&] {
        [[maybe_unused]] const int status = std::system(key.c_str());
        return waitUntil([&] { return screen.viewableOfClass("QuillmereHost") >= 2; }, 3s);
    }, 30s)) << "the quit question did not come up: " << readWhole(home.path() / "xdotool.log");

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(30s), 0) << readWhole(log);
    EXPECT_NE(readWhole(log).find("terminating: signal 15"), std::string::npos) << readWhole(log);
}

}  // namespace
}  // namespace HostProcessTests
}  // namespace qm::test
