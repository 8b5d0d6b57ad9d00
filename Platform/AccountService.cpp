#include "Platform/AccountService.h"

#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Process.h"

namespace qm {

// --- shared checks ---------------------------------------------------------------------------

std::optional<PasswordCheckResult> precheckCredentials(std::string_view username, std::string_view password) {
    if (username.empty()) return PasswordCheckResult::rejected("empty user name");
    if (username.find('\0') != std::string_view::npos) return PasswordCheckResult::rejected("bad user name");
    if (password.empty()) return PasswordCheckResult::rejected("empty password");
    if (password.find('\0') != std::string_view::npos) return PasswordCheckResult::rejected("bad password");
    return std::nullopt;
}

std::string displayNameFromGecos(std::string_view gecos, std::string_view username) {
    const auto name = gecos.substr(0, gecos.find(','));
    return std::string(name.empty() ? username : name);
}

std::map<std::string, std::string> parseKeyValueLines(std::string_view text) {
    std::map<std::string, std::string> values;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const auto line = text.substr(start, end - start);
        start = end + 1;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0 || line.front() == '#') continue;
        values[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
    }
    return values;
}

}  // namespace qm
