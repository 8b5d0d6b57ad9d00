#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "QuillmereProfiles/QuillmereL10n.h"

// The file-transfer window's texts, looked up in the string tables; its source files share them.
namespace qm::file_transfer_window {

inline std::string text(std::string_view key, std::string_view def) { return QuillmereL10n::text(key, def); }
inline std::string format(std::string_view key, std::string_view def, const std::vector<QuillmereL10n::Arg>& args) {
    return QuillmereL10n::format(key, def, args);
}

}  // namespace qm::file_transfer_window
