#include "support/Commands.h"

#include "Platform/Process.h"

namespace qm::test {

std::optional<CommandResult> runCommand(std::vector<std::string> arguments, std::chrono::milliseconds timeout) {
    auto result = runProcess(arguments, timeout, {}, 1 << 20);
    if (!result) return std::nullopt;
    return CommandResult{result->exitStatus, std::move(result->output)};
}

bool responderRunning() {
    auto result = runCommand({"avahi-daemon", "--check"}, std::chrono::seconds(5));
    return result && result->exitStatus == 0;
}

std::optional<std::string> browseFor(const std::string& name) {
    auto result = runCommand({"avahi-browse", "-rpt", "_quillmere-host._tcp"}, std::chrono::seconds(10));
    if (!result) return std::nullopt;
    std::size_t start = 0;
    while (start < result->output.size()) {
        auto end = result->output.find('\n', start);
        if (end == std::string::npos) end = result->output.size();
        const std::string line = result->output.substr(start, end - start);
        if (line.starts_with("=;") && line.find(";" + name + ";") != std::string::npos) return line;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace qm::test
