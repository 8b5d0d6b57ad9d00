#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace qm::test {

// Every descriptor the process may still open, held until release() or the object goes: what
// runs meanwhile finds the process out of descriptors (EMFILE), as a Host under a flood of
// connections does. Use it in a child process only (inChildProcess): the whole process is short.
class DescriptorsTaken {
public:
    DescriptorsTaken() {
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held_.push_back(fd);
    }
    ~DescriptorsTaken() { release(); }
    DescriptorsTaken(const DescriptorsTaken&) = delete;
    DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;

    void release() {
        for (const int fd : held_) ::close(fd);
        held_.clear();
    }

private:
    std::vector<int> held_;
};

// Runs `body` in a child process of this single-threaded test, with at most 1,024 descriptors
// (so filling them is quick), and returns what it returned; the child ends without running this
// process's clean-ups. A child that did not finish says so.
inline std::string inChildProcess(const std::function<std::string()>& body) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return "no pipe for the child";
    const pid_t child = ::fork();
    if (child < 0) return "no child";
    if (child == 0) {
        ::close(ends[0]);
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        const std::string said = body();
        ::_exit(::write(ends[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0 : 1);
    }
    ::close(ends[1]);
    std::string said;
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<std::size_t>(n));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) said += "\n(the child did not finish)";
    return said;
}

}  // namespace qm::test
