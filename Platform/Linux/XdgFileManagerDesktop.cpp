#include "Platform/Linux/XdgFileManagerDesktop.h"

#include <chrono>

#include "Platform/Process.h"

namespace qm {

XdgFileManagerDesktop::XdgFileManagerDesktop(std::filesystem::path home, std::shared_ptr<ProcessLauncher> launcher)
    : home_(std::move(home)), launcher_(std::move(launcher)) {}

std::optional<std::filesystem::path> XdgFileManagerDesktop::frontWindowFolder(std::string& error) {
    error.clear();
    return std::nullopt;
}

std::optional<std::filesystem::path> XdgFileManagerDesktop::desktopFolder() {
    // xdg-user-dir answers the home folder itself when no Desktop is configured, and reads the
    // configuration of the process's home, which is only taken when it lies in this home.
    const auto home = home_.lexically_normal();
    if (auto result = runProcess({"xdg-user-dir", "DESKTOP"}, std::chrono::seconds(2));
        result && result->finished && result->exitStatus == 0) {
        std::string text = result->output;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const auto folder = std::filesystem::path(text).lexically_normal();
        const auto relative = folder.lexically_relative(home);
        if (folder.is_absolute() && !relative.empty() && relative != "." && *relative.begin() != "..") return folder;
    }
    return home_ / "Desktop";
}

void XdgFileManagerDesktop::revealItems(const std::vector<std::filesystem::path>& items) {
    if (items.empty() || !launcher_) return;
    // Detached: the opener can take seconds to start a file manager.
    launcher_->launchDetached({"xdg-open", items.front().parent_path().string()});
}

}  // namespace qm
