#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

// Text a peer sent (a display name, a user name), made safe for one log line: "\n", "\r" and
// "\t" become those two-character escapes, a backslash is doubled, other control characters
// (C0, DEL, C1) and bytes that are not valid UTF-8 become "\xNN". What passes `maxBytes` of
// output is cut at a character boundary and ends in "…", which is counted in the limit.
std::string escapedForLog(std::string_view text, std::size_t maxBytes = 256);

}  // namespace qm
