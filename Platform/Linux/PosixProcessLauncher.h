#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Platform/ProcessLauncher.h"

namespace qm {

// Detached children (a double fork into a new session, so the child outlives the Host and is
// never left as a zombie) and addresses through xdg-open. The system settings' privacy addresses
// ("x-apple.systempreferences:...") open the desktop's own settings program instead; that program
// can be followed until it ends: it inherits the write end of a pipe whose read end the Host
// keeps, and the pipe hangs up once the program, and whatever it started with it, has exited.
class PosixProcessLauncher final : public ProcessLauncher {
public:
    std::optional<std::string> launchDetached(const std::vector<std::string>& arguments) override;
    bool openURL(const std::string& url) override;
    Opened openURLFollowingProgram(const std::string& url) override;
    int processID() const override;

    static constexpr const char* systemSettingsScheme = "x-apple.systempreferences:";
    // The desktop's settings program found on `searchPath` (a PATH value), with its arguments;
    // none without a desktop or without such a program.
    static std::optional<std::vector<std::string>> desktopSettingsCommand(const std::string& searchPath,
                                                                          bool desktopAnswers);

private:
    // The settings program for this process's PATH and desktop.
    static std::optional<std::vector<std::string>> desktopSettingsCommand();
    // launchDetached, the started program keeping `inherited` open (-1: nothing) across its exec.
    static std::optional<std::string> startDetached(const std::vector<std::string>& arguments, int inherited);
};

}  // namespace qm
