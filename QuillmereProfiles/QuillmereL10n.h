#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qm {

// User-visible text by key, with the English default written beside every use. A translation
// table may be installed; a key without a translation shows its default.
struct QuillmereL10n {
    QuillmereL10n() = delete;

    using Arg = std::variant<std::int64_t, std::string>;
    using Table = std::function<const std::string*(std::string_view key)>;

    static std::string text(std::string_view key, std::string_view englishDefault);
    // The looked-up pattern filled in order: %d takes an integer, %@ a string, %% is a percent
    // sign. A missing argument leaves its conversion empty; a wrong kind is converted.
    static std::string format(std::string_view key, std::string_view englishDefault, const std::vector<Arg>& args);
    static std::string fill(std::string_view pattern, const std::vector<Arg>& args);

    // Replaces the translation table (main thread, before windows are built); empty = English.
    static void setTable(Table table);
};

}  // namespace qm
