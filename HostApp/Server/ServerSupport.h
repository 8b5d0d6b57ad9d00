#pragma once

#include <algorithm>
#include <cctype>
#include <string_view>

#include "HostApp/Server/V230HostAudioAuxServer.h"

namespace qm {

// ASCII case-insensitive equality ("iOS Viewer" names).
inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The first 8 characters of a session id, for log lines.
inline std::string shortID(const UUID& id) {
    return id.uuidString().substr(0, 8);
}

}  // namespace qm
