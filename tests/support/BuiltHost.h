#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "support/TestUser.h"
#include "support/TestViewer.h"
#include "support/VirtualXServer.h"

namespace qm::test {

// The built `QuillmereHost` as a user runs it: a throwaway account with a home folder of its
// own, an X display of its own, and a network namespace of its own, so the Host's fixed ports
// are free whatever else runs on this machine. What it prints goes to a log file the test reads.
//
// Making one moves this process into the new network namespace for good (each test runs in a
// process of its own under ctest).
class BuiltHost {
public:
    // Everything the Host needs to start, with a copy of `executable` (and its string tables) the
    // account can run wherever this checkout lies; nothing, with the reason in `whyNot`, when this
    // machine cannot give it (not root, no Xvfb, the Host not built or not copied). Tests skip
    // with that reason. `screen` is the X display's geometry as Xvfb takes it.
    static std::unique_ptr<BuiltHost> prepare(const std::filesystem::path& executable, std::string& whyNot,
                                              const std::string& screen = "1024x768x24");
    ~BuiltHost();
    BuiltHost(const BuiltHost&) = delete;
    BuiltHost& operator=(const BuiltHost&) = delete;

    // Starts the Host (with `arguments`, as a desktop entry's command gives them) and waits until
    // its control port answers; false (see log()) when it did not, at once when the Host ended
    // first (its exit status is then the log's last line).
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(30),
               const std::vector<std::string>& arguments = {});
    // Runs the executable again, as the user, with these arguments, from the home folder: its
    // exit code, or -1 when it still ran after `timeout`. Its output is in `output`.
    int runAgain(const std::vector<std::string>& arguments, std::string& output,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // A Viewer connected to the control port and signed in as the account; nothing when either
    // failed (the reason in `whyNot`).
    std::unique_ptr<TestViewer> signIn(const std::string& displayName, std::string& whyNot);

    // Writes a file below the home folder as the user's own.
    void writeHomeFile(const std::filesystem::path& relative, const Bytes& content);

    // The account the Host runs as and a Viewer signs in with.
    const TestUser& user() const { return *user_; }
    const std::filesystem::path& home() const { return home_; }
    // The user's runtime folder, where the running Host keeps its link socket.
    std::filesystem::path runtimeFolder() const { return home_ / "run"; }
    // Where the Host stages what Viewers send.
    std::filesystem::path staging() const { return home_ / ".cache" / "QuillmereFileInbox" / "Viewer"; }
    bool stagingEmpty() const;
    const std::string& displayName() const { return xserver_->name(); }
    // openbox managing the Host's display, as on a user's desktop; true once it does.
    bool startWindowManager() { return xserver_->startWindowManager(); }
    // A system tray on the Host's display (start it before the Host); true once it takes icons.
    bool startSystemTray() { return xserver_->startSystemTray(); }
    // Waits for the Host to end by itself: its exit code (128 for a signal), or -1 while it still
    // runs after `timeout`.
    int waitForEnd(std::chrono::milliseconds timeout);
    // What the Host printed so far.
    std::string log() const;
    // Its lines, each without the program's name in front.
    std::vector<std::string> messages() const;
    // True once one of the messages is `text`.
    bool logged(const std::string& text) const;
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Sends the running Host a signal.
    void signal(int number) const;
    // The Host's exit code once it ended within `timeout` (see waitForExit below).
    int waitForHostExit(std::chrono::milliseconds timeout);
    // The running Host's process id; -1 when it does not run.
    pid_t pid() const { return host_; }

private:
    BuiltHost() = default;
    pid_t startAs(const std::vector<std::string>& arguments, const std::filesystem::path& log) const;
    void giveToUser(const std::filesystem::path& path) const;
    void passSanitizerOptions();

    std::filesystem::path executable_;
    std::unique_ptr<TestUser> user_;
    std::unique_ptr<VirtualXServer> xserver_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::filesystem::path folder_;
    std::filesystem::path home_;
    std::vector<std::string> environment_;
    pid_t host_ = -1;

public:
    // The Host started from now on may have at most `count` descriptors open, as under
    // `prlimit --nofile=<count>`; 0 leaves the limit it inherits.
    void limitDescriptors(unsigned long count) { descriptorLimit_ = count; }

private:
    unsigned long descriptorLimit_ = 0;
};

// The exit code of a child; -1 when it still runs after `timeout`, 128 when a signal ended it.
int waitForExit(pid_t pid, std::chrono::milliseconds timeout);

// The rule for every harness that starts the built Host: these entries of its environment keep it
// to the test's own folders. Its home and XDG folders are below `home`, and the folder that
// stands for the machine's state (where a system install's marker lies) is one below `home` that
// nothing writes, so neither the user's configuration nor a marker installed on the machine
// reaches the test's Host. Inherited QUILLMERE_* variables are to be left out.
std::vector<std::string> testHostEnvironment(const std::filesystem::path& home);

// Gives this process, and what it starts from then on, a view of `folders` of its own: each still
// shows what the machine has there, and what is written to it stays in memory, out of the
// machine's sight, until the process ends. For a test that puts something where an install puts
// it. False, with the reason, where the process cannot (not root; it has threads already).
bool writePrivately(const std::vector<std::filesystem::path>& folders, std::string& whyNot);

// A Viewer signed in to the running Host with its file channel bound, and that channel never read
// again: whatever the Host answers it waits on the Host's side. Nothing (why in `whyNot`) when
// either failed.
struct SilentFileViewer {
    std::unique_ptr<TestViewer> control;
    std::unique_ptr<TestFileChannel> channel;
};
std::optional<SilentFileViewer> signInSilentFileViewer(BuiltHost& host, const std::string& displayName,
                                                       std::string& whyNot);
// The running Host's resident memory in KiB (VmRSS in /proc/<pid>/status); 0 when unknown.
std::size_t hostResidentKiB(const BuiltHost& host);
// The running Host's open descriptors (the entries of /proc/<pid>/fd); 0 when unknown.
std::size_t hostDescriptors(const BuiltHost& host);
// `count` requests for the listing of `folder` as file-channel frames, back to back: a burst a
// Viewer writes at once.
Bytes listingRequests(int count, const std::string& folder);

}  // namespace qm::test
