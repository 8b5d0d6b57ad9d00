#include "Platform/HostPlatform.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace qm {

std::filesystem::path defaultConfigDirectory() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        return std::filesystem::path(xdg) / "quillmere-host";
    }
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        if (const passwd* pw = getpwuid(getuid())) home = pw->pw_dir;
    }
    return std::filesystem::path(home ? home : "/tmp") / ".config" / "quillmere-host";
}

}  // namespace qm
