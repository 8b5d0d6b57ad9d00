#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "HostApp/Server/V230HostAudioAuxServer.h"

namespace qm {

// ASCII case-insensitive equality ("iOS Viewer" names).
inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// "192.0.2.7:51234" -> "192.0.2.7", "[2001:db8::1]:51234" -> "2001:db8::1": Viewers are named by
// address; the port of one connection means nothing to a person.
inline std::string hostPart(const std::string& address) {
    if (!address.empty() && address.front() == '[') {
        const auto close = address.find(']');
        return close == std::string::npos ? address : address.substr(1, close - 1);
    }
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || address.find(':') != colon) return address;
    return address.substr(0, colon);
}
// The first 8 characters of a session id, for log lines.
inline std::string shortID(const UUID& id) {
    return id.uuidString().substr(0, 8);
}

}  // namespace qm
