#pragma once

#include <string>

namespace qm {

// Who is signed in at the Host's console, and whether the console is usable.
struct HostConsoleSessionState {
    std::string username;     // account name; empty when nobody is logged in
    std::string displayName;  // full name, or the account name when there is none
    bool isLoginWindow = false;
    bool isLocked = false;
    bool loginDone = false;
    friend bool operator==(const HostConsoleSessionState&, const HostConsoleSessionState&) = default;
};

}  // namespace qm
