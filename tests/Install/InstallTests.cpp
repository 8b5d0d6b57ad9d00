// The install step end to end: scripts/install puts the Host into a temporary prefix with a
// private home, puts its launcher into the application menu, registers its link handler, writes
// the marker and starts it; the installed Host runs from the prefix and begins the permission
// walk-through for its build, the commands of its installed desktop entries reach it, and started
// again in a bare environment it still finds its marker.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "DesktopEntries.h"
#include "QuillmereProfiles/QuillmereReleaseFeed.h"
#include "support/BuiltHost.h"
#include "support/Commands.h"
#include "support/TestPlatform.h"

namespace qm::test {
namespace InstallTests {
namespace {

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether the process is gone (a zombie no one reaps counts as gone).
bool processEnded(pid_t pid) {
    if (::kill(pid, 0) != 0) return true;
    const auto stat = readAll("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || (close + 2 < stat.size() && stat[close + 2] == 'Z');
}

TEST(InstallStep, InstallsIntoAPrefixRegistersTheLinkHandlerAndStartsTheOnboarding) {
    TemporaryDirectory root;
    // A blank and a percent sign: the desktop entry must quote and escape the path.
    const auto home = root.path() / "home dir %1";
    const auto runtime = root.path() / "run";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    const auto prefix = home / ".local/opt/quillmere-host";
    // Under the prefix, where the installed Host finds it by its own location.
    const auto marker = prefix / "var/lib/quillmere-host/initial-install-onboarding-build";

    // A private user without a desktop: the Host runs headless, and a Host of the real user is
    // never handed the link.
    std::vector<std::string> command{"env",
                                     "-u",
                                     "DISPLAY",
                                     "-u",
                                     "WAYLAND_DISPLAY",
                                     "-u",
                                     "XDG_CONFIG_HOME",
                                     "-u",
                                     "XDG_DATA_HOME",
                                     "-u",
                                     "XDG_STATE_HOME",
                                     "-u",
                                     "XDG_CACHE_HOME",
                                     "HOME=" + home.string(),
                                     "XDG_RUNTIME_DIR=" + runtime.string(),
                                     // The walk-through's steps are diagnostic lines: the
                                     // Host's output shows them only with detail.
                                     "QM_LOG_DETAIL=1",
                                     "bash",
                                     "-c",
                                     "exec \"$0\" \"$@\" 2>&1",
                                     std::string(QM_SOURCE_DIR) + "/scripts/install",
                                     "--user",  // never the system's folders, also as root
                                     "--build-dir",
                                     QM_BUILD_DIR};
    const auto result = runCommand(command, std::chrono::seconds(180));
    ASSERT_TRUE(result);
    ASSERT_EQ(result->exitStatus, 0) << result->output;

    // What the install put where.
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix / "bin/QuillmereHost"));
    EXPECT_EQ(readAll(prefix / "version.json"),
              std::string("{\"version\":\"") + QM_EXPECTED_VERSION + "\",\"build\":\"" + QM_EXPECTED_BUILD + "\"}\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix / "share/quillmere-host/de.lproj/Localizable.json"));
    const auto applications = home / ".local/share/applications";
    const auto entry = readAll(applications / "quillmere-host.desktop");
    std::string escaped;
    for (char c : (prefix / "bin/QuillmereHost").string()) escaped += c == '%' ? std::string("%%") : std::string(1, c);
    // Every command names the installed program and keeps its own arguments.
    EXPECT_NE(entry.find("\nExec=\"" + escaped + "\" %u\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nExec=\"" + escaped + "\" --send-files %F\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("MimeType=x-scheme-handler/quillmerehost;"), std::string::npos);
    const auto sendEntry = readAll(applications / "quillmere-host-send-files.desktop");
    EXPECT_NE(sendEntry.find("\nExec=\"" + escaped + "\" --send-files %F\n"), std::string::npos) << sendEntry;
    EXPECT_NE(readAll(home / ".config/mimeapps.list").find("x-scheme-handler/quillmerehost=quillmere-host.desktop"),
              std::string::npos);
    // The application menu lists the link handler's entry as the Host's launcher: under the Host's
    // name, filed in a category, with its icon, which the icon theme of the user's data folder has
    // (the install put it there from the prefix). The send-files entry stays out of menus.
    const auto launcher = applications / "quillmere-host.desktop";
    EXPECT_TRUE(DesktopEntries::shownInMenus(launcher)) << entry;
    EXPECT_EQ(DesktopEntries::value(launcher, "Name"), "Corventis Host");
    EXPECT_FALSE(DesktopEntries::value(launcher, "Categories").value_or("").empty()) << entry;
    const auto icon = DesktopEntries::value(launcher, "Icon").value_or("");
    const auto pictures = DesktopEntries::iconFiles(icon, {home / ".local/share"});
    EXPECT_FALSE(pictures.empty()) << "no picture of \"" << icon << "\" in the user's icon theme";
    for (const auto& picture : pictures) {
        if (picture.extension() == ".png") {
            EXPECT_EQ(readAll(picture).substr(0, 8), "\x89PNG\r\n\x1a\n") << picture;
        }
    }
    EXPECT_EQ(DesktopEntries::iconFiles(icon, {prefix / "share"}).size(), pictures.size()) << "the prefix has them too";
    EXPECT_FALSE(DesktopEntries::shownInMenus(applications / "quillmere-host-send-files.desktop")) << sendEntry;
    // Both entries as the desktop's own tools read them (desktop-file-utils, where installed).
    for (const auto& file : {launcher, applications / "quillmere-host-send-files.desktop"}) {
        const auto validated = runCommand({"sh", "-c", "! command -v desktop-file-validate >/dev/null || desktop-file-validate \"$0\"",
                                           file.string()},
                                          std::chrono::seconds(30));
        EXPECT_TRUE(validated && validated->exitStatus == 0) << file << ": " << (validated ? validated->output : "");
    }
    EXPECT_EQ(readAll(marker), std::string(QM_EXPECTED_BUILD) + "\n");

    // The installed version, as the installed-version check finds it in the user's folder.
    {
        const char* previous = std::getenv("HOME");
        const std::string saved = previous ? previous : "";
        ::setenv("HOME", home.c_str(), 1);
        const auto installed = QuillmereReleaseFeedService::installedHostVersion();
        if (previous) ::setenv("HOME", saved.c_str(), 1);
        if (!std::filesystem::exists(QuillmereReleaseFeedService::installedHostApplicationCandidates().front())) {
            ASSERT_TRUE(installed);
            EXPECT_EQ(installed->version, QM_EXPECTED_VERSION);
            EXPECT_EQ(installed->build, QM_EXPECTED_BUILD);
        }
    }

    // The started Host runs from the prefix, finds the marker and begins with Accessibility
    // (without a display neither permission is there).
    std::smatch started;
    const std::string output = result->output;
    ASSERT_TRUE(std::regex_search(output, started, std::regex("started the Host \\(pid ([0-9]+)\\); its output: (.*)")))
        << output;
    const pid_t pid = static_cast<pid_t>(std::stol(started[1].str()));
    const std::filesystem::path log = started[2].str();
    // A loaded machine starts the Host slowly.
    const bool walked = waitUntil(
        [&] { return readAll(log).find("permissions: initial install advancing to accessibility") != std::string::npos; },
        std::chrono::seconds(90));

    // Each installed entry's command, as the desktop runs it, reaches the running installed Host.
    const std::vector<std::string> userEnvironment{"env", "-i", "HOME=" + home.string(),
                                                   "XDG_RUNTIME_DIR=" + runtime.string(), "PATH=/usr/bin:/bin"};
    const auto sent = home / "a file";
    std::ofstream(sent) << "to send";
    std::size_t commands = 0;
    for (const auto& file : {applications / "quillmere-host.desktop", applications / "quillmere-host-send-files.desktop"}) {
        for (const auto& line : DesktopEntries::execLines(file)) {
            // No ASSERT while the Host runs: a failure must still stop it below.
            const auto words = DesktopEntries::execCommand(line.value, {sent.string()}, "quillmerehost://install");
            ++commands;
            if (!words) {
                ADD_FAILURE() << file << ": " << line.value;
                continue;
            }
            EXPECT_EQ(words->front(), (prefix / "bin/QuillmereHost").string()) << file << " [" << line.section << "]";
            auto run = userEnvironment;
            run.insert(run.end(), {"bash", "-c", "exec \"$0\" \"$@\" 2>&1"});
            run.insert(run.end(), words->begin(), words->end());
            auto handed = runCommand(run, std::chrono::seconds(60));
            if (!handed) handed = CommandResult{-1, "did not run"};
            EXPECT_EQ(handed->exitStatus, 0) << file << " [" << line.section << "]: " << handed->output;
            const bool sendsFiles = line.value.find("%F") != std::string::npos;
            EXPECT_NE(handed->output.find(sendsFiles ? "handed 1 file(s) to the running Host"
                                                     : "handed quillmerehost://install to the running Host"),
                      std::string::npos)
                << file << " [" << line.section << "]: " << handed->output;
        }
    }
    EXPECT_EQ(commands, 3u) << "the link handler, its send-files action and the send-files entry";

    const auto hostLog = readAll(log);
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return processEnded(pid); }, std::chrono::seconds(30))) << "the Host did not stop";
    if (!processEnded(pid)) ::kill(pid, SIGKILL);
    EXPECT_TRUE(walked) << hostLog;
    EXPECT_NE(hostLog.find("exec=" + (prefix / "bin/QuillmereHost").string()), std::string::npos) << hostLog;
    EXPECT_EQ(hostLog.find("ignored initial-install launch without matching marker"), std::string::npos) << hostLog;

    // Started again as a log-in or the autostart would, with nothing of the installer's
    // environment: the walk-through is still due, and it finds the marker by itself.
    const auto againLog = root.path() / "again.log";
    auto again = userEnvironment;
    // Its walk-through steps are diagnostic lines: on its output only when asked for.
    again.insert(again.end(), {"QM_LOG_DETAIL=1", "bash", "-c", "exec \"$0\" > \"$1\" 2>&1 < /dev/null & echo $!",
                               (prefix / "bin/QuillmereHost").string(), againLog.string()});
    const auto started2 = runCommand(again, std::chrono::seconds(30));
    ASSERT_TRUE(started2);
    ASSERT_EQ(started2->exitStatus, 0) << started2->output;
    const pid_t againPid = static_cast<pid_t>(std::stol(started2->output));
    const bool walkedAgain = waitUntil(
        [&] { return readAll(againLog).find("permissions: initial install advancing to accessibility") != std::string::npos; },
        std::chrono::seconds(90));
    ::kill(againPid, SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return processEnded(againPid); }, std::chrono::seconds(30))) << "the Host did not stop";
    if (!processEnded(againPid)) ::kill(againPid, SIGKILL);
    EXPECT_TRUE(walkedAgain) << readAll(againLog);
}

// Whether anything below `folder` (itself included) belongs to root.
std::vector<std::filesystem::path> ownedByRoot(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> found;
    struct stat status {};
    if (::lstat(folder.c_str(), &status) == 0 && status.st_uid == 0) found.push_back(folder);
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (::lstat(it->path().c_str(), &status) == 0 && status.st_uid == 0) found.push_back(it->path());
    }
    return found;
}

// The user's clone as the install step uses it: the script, the sources the install reads and a
// Release build folder holding the built Host. The build folder's install script names the
// folders it was made in: the copy's names the copy's.
void copyClone(const std::filesystem::path& clone) {
    namespace fs = std::filesystem;
    const fs::path source(QM_SOURCE_DIR);
    const fs::path build(QM_BUILD_DIR);
    const auto copied = clone / "build-release";
    for (const auto* file : {"scripts/install", "config/quillmere-host.desktop", "config/quillmere-host-send-files.desktop",
                             "cmake/InstallDesktopEntry.cmake"}) {
        fs::create_directories((clone / file).parent_path());
        fs::copy_file(source / file, clone / file);
    }
    fs::create_directories(clone / "HostApp/Resources");
    fs::copy(source / "HostApp/Resources", clone / "HostApp/Resources", fs::copy_options::recursive);
    fs::create_directories(copied / "icons/hicolor");
    fs::copy(build / "icons/hicolor", copied / "icons/hicolor", fs::copy_options::recursive);
    fs::copy_file(build / "QuillmereHost", copied / "QuillmereHost");
    fs::copy_file(build / "version.json", copied / "version.json");
    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
        return text;
    };
    for (const auto* script : {"cmake_install.cmake", "tests/cmake_install.cmake", "fuzz/cmake_install.cmake", "bench/cmake_install.cmake"}) {
        if (!fs::exists(build / script)) continue;
        fs::create_directories((copied / script).parent_path());
        std::ofstream(copied / script)
            << replaced(replaced(readAll(build / script), build.string(), copied.string()), source.string(), clone.string());
    }
}

// `sudo scripts/install` in a user's clone, the Host quit, then `scripts/install` as the user in
// the same clone: the system install leaves nothing of root's in the user's build folder and
// state folder, each install starts its Host, and an install whose Host cannot start says so and
// fails. The machine's folders a system install writes to are seen privately by this test.
TEST(InstallStep, ASystemInstallThenAUserInstallFromOneCloneBothStartTheHost) {
    namespace fs = std::filesystem;
    std::string whyNot;
    if (!writePrivately({"/opt", "/usr/local/share", "/var/lib", "/home"}, whyNot)) GTEST_SKIP() << whyNot;
    auto user = TestUser::create(whyNot);
    if (!user) GTEST_SKIP() << whyNot;
    const fs::path home = "/home/" + user->name();
    const auto clone = home / "clone";
    fs::create_directories(home);
    copyClone(clone);
    ASSERT_EQ(std::system(("chown -R " + user->name() + ": " + home.string()).c_str()), 0);
    // The started Hosts listen on the fixed ports: on a network of this test's own.
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0);

    // Started headless; a sanitizer's options name files the user may not reach.
    const std::vector<std::string> bare{"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "XAUTHORITY", "-u", "LSAN_OPTIONS",
                                        "-u", "ASAN_OPTIONS", "-u", "UBSAN_OPTIONS", "QM_LOG_DETAIL=1", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    auto install = [&](std::vector<std::string> command) {
        command.insert(command.end(), {"bash", "-c", "exec \"$0\" \"$@\" 2>&1", (clone / "scripts/install").string()});
        auto result = runCommand(command, std::chrono::seconds(180));
        return result ? *result : CommandResult{-1, "did not run"};
    };
    // The started Host shows the walk-through, then is quit.
    auto walkedAndQuit = [&](const std::string& output) {
        std::smatch started;
        if (!std::regex_search(output, started, std::regex("started the Host \\(pid ([0-9]+)\\); its output: (.*)"))) {
            return ::testing::AssertionFailure() << output;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(started[1].str()));
        const fs::path log = started[2].str();
        const bool walked = waitUntil(
            [&] { return readAll(log).find("permissions: initial install advancing to accessibility") != std::string::npos; },
            std::chrono::seconds(90));
        ::kill(pid, SIGTERM);
        if (!waitUntil([&] { return processEnded(pid); }, std::chrono::seconds(30))) ::kill(pid, SIGKILL);
        if (!walked) return ::testing::AssertionFailure() << readAll(log);
        return ::testing::AssertionSuccess();
    };

    std::vector<std::string> asRoot{"env"};
    asRoot.insert(asRoot.end(), bare.begin(), bare.end());
    asRoot.insert(asRoot.end(), {"SUDO_USER=" + user->name(), "HOME=/root"});
    const auto system = install(asRoot);
    ASSERT_EQ(system.exitStatus, 0) << system.output;
    EXPECT_TRUE(fs::is_regular_file("/opt/quillmere-host/bin/QuillmereHost"));
    EXPECT_EQ(readAll("/var/lib/quillmere-host/initial-install-onboarding-build"), std::string(QM_EXPECTED_BUILD) + "\n");
    EXPECT_TRUE(walkedAndQuit(system.output));
    EXPECT_EQ(ownedByRoot(clone / "build-release"), std::vector<fs::path>{});
    EXPECT_EQ(ownedByRoot(home / ".local/state"), std::vector<fs::path>{});
    EXPECT_TRUE(fs::is_regular_file(home / ".local/state/quillmere-host/host.log"));

    std::vector<std::string> asUser{"runuser", "-u", user->name(), "--", "env", "-i"};
    asUser.insert(asUser.end(), bare.begin(), bare.end());
    asUser.push_back("HOME=" + home.string());
    const auto mine = install(asUser);
    ASSERT_EQ(mine.exitStatus, 0) << mine.output;
    EXPECT_TRUE(fs::is_regular_file(home / ".local/opt/quillmere-host/bin/QuillmereHost"));
    EXPECT_TRUE(walkedAndQuit(mine.output));
    // Only the new copy is there: nothing of the one laid out beside it.
    for (const auto& entry : fs::directory_iterator(home / ".local/opt")) EXPECT_EQ(entry.path().filename(), "quillmere-host");

    // A log the user cannot write (as an older system install left it, in a folder of root's):
    // the Host cannot start, and the install says so.
    const auto state = home / ".local/state/quillmere-host";
    ASSERT_EQ(::chown(state.c_str(), 0, 0), 0);
    ASSERT_EQ(::chown((state / "host.log").c_str(), 0, 0), 0);
    const auto refused = install(asUser);
    EXPECT_NE(refused.exitStatus, 0) << refused.output;
    EXPECT_EQ(refused.output.find("started the Host"), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("the Host was not started"), std::string::npos) << refused.output;
}

// scripts/install as a user whose home is `home`, with no desktop, with these options and PATH. It
// runs in a process group of its own, as from a terminal: a stop sent to its group reaches only it
// and what it runs.
CommandResult userInstall(const std::filesystem::path& home, const std::vector<std::string>& options,
                          const std::string& path = std::getenv("PATH")) {
    std::vector<std::string> command{"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "XDG_CONFIG_HOME", "-u",
                                     "XDG_DATA_HOME", "-u", "XDG_STATE_HOME", "-u", "XDG_CACHE_HOME", "HOME=" + home.string(),
                                     "XDG_RUNTIME_DIR=" + (home / "run").string(), "QM_LOG_DETAIL=1", "PATH=" + path, "setsid",
                                     "bash", "-c", "exec \"$0\" \"$@\" 2>&1", std::string(QM_SOURCE_DIR) + "/scripts/install",
                                     "--user", "--build-dir", QM_BUILD_DIR};
    command.insert(command.end(), options.begin(), options.end());
    auto result = runCommand(command, std::chrono::seconds(180));
    return result ? *result : CommandResult{-1, "did not run"};
}

// `--prefix ~/.local`: a prefix that holds other software, with or without an earlier install of
// the Host in it, is refused and keeps all of it.
TEST(InstallStep, APrefixHoldingOtherSoftwareIsRefusedAndKeepsIt) {
    namespace fs = std::filesystem;
    TemporaryDirectory root;
    const auto home = root.path() / "home";
    const auto shared = home / ".local";
    for (const auto* file : {"bin/other-tool", "lib/python3/site-packages/x/__init__.py", "share/keyrings/login.keyring"}) {
        fs::create_directories((shared / file).parent_path());
        std::ofstream(shared / file) << "theirs";
    }
    const auto refused = userInstall(home, {"--no-start", "--prefix", shared.string()});
    EXPECT_NE(refused.exitStatus, 0) << refused.output;
    EXPECT_NE(refused.output.find("not installing into " + shared.string() + ": it holds other files than an install of the Host"),
              std::string::npos)
        << refused.output;
    for (const auto* file : {"bin/other-tool", "lib/python3/site-packages/x/__init__.py", "share/keyrings/login.keyring"}) {
        EXPECT_EQ(readAll(shared / file), "theirs") << file;
    }
    EXPECT_FALSE(fs::exists(shared / "bin/QuillmereHost"));
    for (const auto& entry : fs::directory_iterator(home)) EXPECT_EQ(entry.path().filename(), ".local");

    // An earlier install of the Host that another program's file was put beside.
    const auto own = home / ".local/opt/quillmere-host";
    ASSERT_EQ(userInstall(home, {"--no-start"}).exitStatus, 0);
    std::ofstream(own / "bin/other-tool") << "theirs";
    const auto mixed = userInstall(home, {"--no-start"});
    EXPECT_NE(mixed.exitStatus, 0) << mixed.output;
    EXPECT_NE(mixed.output.find("such as bin/other-tool"), std::string::npos) << mixed.output;
    EXPECT_EQ(readAll(own / "bin/other-tool"), "theirs");
}

// An `mv` in `folder` that runs `script` (sh; `$last` is the destination) before the real one, and
// the PATH that finds it first.
std::string mvFirstRunning(const std::filesystem::path& folder, const std::string& script) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "mv") << "#!/bin/sh\nfor a; do last=$a; done\n" << script << "exec /bin/mv \"$@\"\n";
    std::filesystem::permissions(folder / "mv", std::filesystem::perms(0755));
    return folder.string() + ":" + std::getenv("PATH");
}

// Installs the Host into `home`'s default prefix and marks it as an earlier build by its
// version.json: that file's text, or nothing when the install failed.
std::string installEarlier(const std::filesystem::path& home) {
    if (userInstall(home, {"--no-start"}).exitStatus != 0) return {};
    const std::string earlier = "{\"version\":\"0\",\"build\":\"earlier\"}\n";
    std::ofstream(home / ".local/opt/quillmere-host/version.json") << earlier;
    return earlier;
}

// The new copy cannot be moved into the prefix (an mv that fails it, as a busy file system
// would): the earlier install is put back as it was, and the install fails saying so.
TEST(InstallStep, AMoveIntoPlaceThatFailsPutsTheEarlierInstallBack) {
    namespace fs = std::filesystem;
    TemporaryDirectory root;
    const auto home = root.path() / "home";
    const auto prefix = home / ".local/opt/quillmere-host";
    const auto earlier = installEarlier(home);
    ASSERT_FALSE(earlier.empty());
    const auto path = mvFirstRunning(root.path() / "shim", "for a; do case $a in */.quillmere-host.new.*/quillmere-host)\n"
                                                           "  echo \"mv: cannot move '$a': Device or resource busy\" >&2; exit 1;; esac; done\n");

    const auto failed = userInstall(home, {"--no-start"}, path);
    EXPECT_NE(failed.exitStatus, 0) << failed.output;
    EXPECT_NE(failed.output.find("the earlier install there was put back"), std::string::npos) << failed.output;
    EXPECT_EQ(readAll(prefix / "version.json"), earlier);
    EXPECT_TRUE(fs::is_regular_file(prefix / "bin/QuillmereHost"));
    EXPECT_EQ(readAll(prefix / "var/lib/quillmere-host/initial-install-onboarding-build"), std::string(QM_EXPECTED_BUILD) + "\n");
    for (const auto& entry : fs::directory_iterator(prefix.parent_path())) EXPECT_EQ(entry.path().filename(), "quillmere-host");
}

// The install is stopped (Ctrl-C, a closed terminal, a kill: each sent to its process group, as a
// terminal sends it) in the middle of its swap: the earlier install is put back, or where it cannot
// be, the message names where it is. The install ends with the signal's usual status.
TEST(InstallStep, AStopDuringTheSwapLeavesTheEarlierInstall) {
    namespace fs = std::filesystem;
    TemporaryDirectory root;
    const auto home = root.path() / "home";
    const auto prefix = home / ".local/opt/quillmere-host";
    const auto earlier = installEarlier(home);
    ASSERT_FALSE(earlier.empty());
    // A test run started in the background or under nohup ignores these, and so would the install
    // it starts: a shell cannot take back a signal it was started ignoring.
    for (const int signal : {SIGHUP, SIGINT, SIGTERM}) ::signal(signal, SIG_DFL);

    // Stopped as the new copy is about to move in.
    for (const auto& [signal, status] : std::vector<std::pair<std::string, int>>{{"INT", 130}, {"TERM", 143}, {"HUP", 129}}) {
        const auto path = mvFirstRunning(root.path() / signal, "case $2 in */.quillmere-host.new.*/quillmere-host) kill -s " +
                                                                   signal + " 0; exit 1;; esac\n");
        const auto stopped = userInstall(home, {"--no-start"}, path);
        EXPECT_EQ(stopped.exitStatus, status) << signal << ": " << stopped.output;
        EXPECT_NE(stopped.output.find("the earlier install there was put back"), std::string::npos) << stopped.output;
        EXPECT_EQ(readAll(prefix / "version.json"), earlier) << signal;
        EXPECT_TRUE(fs::is_regular_file(prefix / "bin/QuillmereHost")) << signal;
        for (const auto& entry : fs::directory_iterator(prefix.parent_path())) EXPECT_EQ(entry.path().filename(), "quillmere-host");
    }

    // Stopped right after the earlier install was set aside, which then cannot be moved back.
    const auto path = mvFirstRunning(root.path() / "stuck",
                                     "case $2 in */previous) echo \"mv: cannot move '$2': Device or resource busy\" >&2; exit 1;; esac\n"
                                     "case $last in */previous) /bin/mv \"$@\"; kill -s INT 0; exit;; esac\n");
    const auto stuck = userInstall(home, {"--no-start"}, path);
    EXPECT_EQ(stuck.exitStatus, 130) << stuck.output;
    std::smatch named;
    ASSERT_TRUE(std::regex_search(stuck.output, named, std::regex("that one is in (.*)"))) << stuck.output;
    EXPECT_EQ(readAll(fs::path(named[1].str()) / "version.json"), earlier) << stuck.output;
}

// An earlier install is recognised by the record it keeps of what it put into the prefix. A file of
// the user's in the Host's own folders there is refused and kept, also in an install made before
// installs kept a record; such an older install with nothing of the user's is replaced, and
// recorded. A file an earlier build shipped and this one does not goes with the install.
TEST(InstallStep, AnEarlierInstallIsRecognisedByWhatItRecorded) {
    namespace fs = std::filesystem;
    TemporaryDirectory root;
    const auto home = root.path() / "home";
    const auto prefix = home / ".local/opt/quillmere-host";
    const auto record = prefix / "share/quillmere-host/install-manifest";
    ASSERT_EQ(userInstall(home, {"--no-start"}).exitStatus, 0);

    const std::vector<std::string> mine{"share/quillmere-host/de.lproj/my-words.json", "var/lib/quillmere-host/notes"};
    for (const bool recorded : {true, false}) {
        if (!recorded) fs::remove(record);
        for (const auto& file : mine) std::ofstream(prefix / file) << "mine";
        const auto refused = userInstall(home, {"--no-start"});
        EXPECT_NE(refused.exitStatus, 0) << refused.output;
        EXPECT_NE(refused.output.find("it holds other files than an install of the Host, such as "), std::string::npos)
            << refused.output;
        for (const auto& file : mine) {
            EXPECT_EQ(readAll(prefix / file), "mine") << file << (recorded ? "" : " (no record)");
            fs::remove(prefix / file);
        }
    }
    const auto older = userInstall(home, {"--no-start"});
    EXPECT_EQ(older.exitStatus, 0) << older.output;
    EXPECT_NE(readAll(record).find("bin/QuillmereHost\n"), std::string::npos) << "recorded from then on";

    std::ofstream(prefix / "bin/old-helper") << "earlier";
    std::ofstream(record, std::ios::app) << "bin/old-helper\n";
    const auto replaced = userInstall(home, {"--no-start"});
    EXPECT_EQ(replaced.exitStatus, 0) << replaced.output;
    EXPECT_FALSE(fs::exists(prefix / "bin/old-helper"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "bin/QuillmereHost"));
}

// An empty folder made for the Host (with the mode and owner its maker chose) is filled, not
// replaced: it keeps both. A fill that fails part way takes out again what it moved in.
TEST(InstallStep, AnEmptyPrefixFolderKeepsItsModeAndOwner) {
    namespace fs = std::filesystem;
    TemporaryDirectory root;
    const auto home = root.path() / "home";
    const auto prefix = home / ".local/opt/quillmere-host";
    fs::create_directories(prefix);
    ASSERT_EQ(::chmod(prefix.c_str(), 0700), 0);
    // Another owner where the test may give one (as root).
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(prefix.c_str(), 4321, 4321), 0);
    }
    auto modeAndOwner = [&] {
        struct stat status {};
        ::stat(prefix.c_str(), &status);
        std::ostringstream text;
        text << std::oct << (status.st_mode & 07777) << std::dec << " " << status.st_uid << ":" << status.st_gid;
        return text.str();
    };
    const auto made = modeAndOwner();

    // The second move into the folder fails.
    const auto path = mvFirstRunning(root.path() / "shim",
                                     "case $last in */quillmere-host/*) if [ -e \"$0.moved\" ]; then\n"
                                     "  echo \"mv: cannot move '$2': No space left on device\" >&2; exit 1; fi\n"
                                     "  : > \"$0.moved\";; esac\n");
    const auto failed = userInstall(home, {"--no-start"}, path);
    EXPECT_NE(failed.exitStatus, 0) << failed.output;
    EXPECT_TRUE(fs::is_directory(prefix) && fs::is_empty(prefix)) << failed.output;
    EXPECT_EQ(modeAndOwner(), made);

    const auto installed = userInstall(home, {"--no-start"});
    EXPECT_EQ(installed.exitStatus, 0) << installed.output;
    EXPECT_TRUE(fs::is_regular_file(prefix / "bin/QuillmereHost"));
    EXPECT_EQ(modeAndOwner(), made);
    for (const auto& entry : fs::directory_iterator(prefix.parent_path())) EXPECT_EQ(entry.path().filename(), "quillmere-host");
}

// Two installs in a row: the second start hands its link to the Host the first started, which
// goes on writing to the log the install names, its earlier output still in it.
TEST(InstallStep, ASecondInstallLeavesTheRunningHostItsLog) {
    namespace fs = std::filesystem;
    // The started Host listens on the fixed ports: on a network of this test's own.
    if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace of its own";
    TemporaryDirectory root;
    const auto home = root.path() / "home";
    fs::create_directories(home / "run");
    ::chmod((home / "run").c_str(), 0700);
    const auto first = userInstall(home, {});
    std::smatch started;
    ASSERT_TRUE(std::regex_search(first.output, started, std::regex("started the Host \\(pid ([0-9]+)\\); its output: (.*)")))
        << first.output;
    const pid_t pid = static_cast<pid_t>(std::stol(started[1].str()));
    const fs::path log = started[2].str();
    // It takes links once its walk-through has begun.
    const auto walking = "permissions: initial install advancing to accessibility";
    const bool up = waitUntil([&] { return readAll(log).find(walking) != std::string::npos; }, std::chrono::seconds(90));
    const auto second = up ? userInstall(home, {}) : CommandResult{-1, "the first Host did not come up"};
    std::error_code error;
    const auto written = fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/1", error);
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return readAll(log).find("terminating: signal 15") != std::string::npos; },
                          std::chrono::seconds(30)))
        << "the Host's last words are not in " << log;
    if (!waitUntil([&] { return processEnded(pid); }, std::chrono::seconds(30))) ::kill(pid, SIGKILL);
    EXPECT_EQ(second.exitStatus, 0) << second.output;
    EXPECT_NE(second.output.find("a Host was running already and was handed the installer's link; its output: " + log.string()),
              std::string::npos)
        << second.output;
    EXPECT_EQ(written, fs::weakly_canonical(log));
    const auto text = readAll(log);
    EXPECT_NE(text.find(walking), std::string::npos) << text;
    EXPECT_NE(text.find("handed quillmerehost://install to the running Host"), std::string::npos) << text;
}

}  // namespace
}  // namespace InstallTests
}  // namespace qm::test
