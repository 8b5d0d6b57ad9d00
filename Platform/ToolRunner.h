#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qm {

// How one run of a helper tool ended.
struct ToolRunResult {
    bool started = false;
    std::string startError;   // why it could not start
    bool timedOut = false;    // still running when the time allowed passed; it was killed
    bool exitedNormally = false;  // ended by exiting, not by a signal or a kill
    int status = -1;          // exit status when it exited normally
};

// Runs the helper tools the Host uses (an application opener, a script runner) and waits for
// them, never longer than `timeout`.
class ToolRunner {
public:
    virtual ~ToolRunner() = default;
    virtual ToolRunResult run(const std::string& executablePath, const std::vector<std::string>& arguments,
                              std::chrono::milliseconds timeout) = 0;
};

// Real child processes (posix_spawn, then waitpid). `substitutes` maps a tool's path to the
// program that stands in for it on this system; other paths run as given.
class ProcessToolRunner final : public ToolRunner {
public:
    explicit ProcessToolRunner(std::map<std::string, std::string> substitutes = {})
        : substitutes_(std::move(substitutes)) {}
    ToolRunResult run(const std::string& executablePath, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout) override;

private:
    std::map<std::string, std::string> substitutes_;
};

// Records every run; answers from a handler a test sets. Without one, no tool exists.
class SimulatedToolRunner final : public ToolRunner {
public:
    struct Invocation {
        std::string executablePath;
        std::vector<std::string> arguments;
    };
    using Handler = std::function<ToolRunResult(const Invocation&)>;

    ToolRunResult run(const std::string& executablePath, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout) override;
    void setHandler(Handler handler);
    std::vector<Invocation> invocations() const;

    static ToolRunResult exited(int status);
    static ToolRunResult notStarted(std::string error = "No such file or directory");

private:
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<Invocation> invocations_;
};

}  // namespace qm
