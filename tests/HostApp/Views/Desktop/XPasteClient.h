#pragma once

#include <optional>
#include <string>

namespace qm::test {

// An X client of its own asking for CLIPBOARD as UTF-8 text, the way a paste does; none when the
// display does not open, nobody owns the clipboard or no answer comes within 20 s.
std::optional<std::string> pasteFromXClient(const std::string& displayName);

}  // namespace qm::test
