#include "support/TestUser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Platform/Crypto.h"

extern char** environ;

namespace qm::test {

namespace {

// Runs a program without a shell, feeding `input` on its standard input; its exit status, or -1
// when it could not be started.
int run(const std::vector<std::string>& args, const std::string& input = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (spawned != 0) {
        ::close(fds[1]);
        return -1;
    }
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = ::write(fds[1], input.data() + written, input.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::unique_ptr<TestUser> TestUser::create(std::string& whyNot) {
    if (::geteuid() != 0) {
        whyNot = "creating a local account needs root (the tests run as uid " + std::to_string(::geteuid()) + ")";
        return nullptr;
    }
    for (const char* tool : {"/usr/sbin/useradd", "/usr/sbin/chpasswd", "/usr/sbin/userdel"}) {
        if (::access(tool, X_OK) != 0) {
            whyNot = std::string(tool) + " is missing (package passwd)";
            return nullptr;
        }
    }
    auto nameBytes = crypto::randomBytes(4);
    auto passwordBytes = crypto::randomBytes(9);
    if (!nameBytes || !passwordBytes) {
        whyNot = "random generator failed";
        return nullptr;
    }
    std::string name = "qmtest" + crypto::hexString(*nameBytes);
    std::string password = "Qm-" + crypto::hexString(*passwordBytes) + "!";
    if (run({"/usr/sbin/useradd", "-M", "-s", "/usr/sbin/nologin", name}) != 0) {
        whyNot = "useradd failed for " + name;
        return nullptr;
    }
    // From here the destructor deletes the account, whatever happens next.
    std::unique_ptr<TestUser> user(new TestUser(name, password));
    if (run({"/usr/sbin/chpasswd"}, name + ":" + password + "\n") != 0) {
        whyNot = "chpasswd failed for " + name;
        return nullptr;
    }
    return user;
}

TestUser::~TestUser() { run({"/usr/sbin/userdel", name_}); }

}  // namespace qm::test
