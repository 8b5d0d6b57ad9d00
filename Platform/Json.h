#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qm {

// nlohmann's reader and writer are templates, compiled again by every file that calls them. The
// product calls them only through these, so they are compiled once (Json.cpp); the values
// themselves are used directly.

// One JSON document, or a discarded value (`is_discarded()`) when the text is anything else.
// Never throws.
nlohmann::json parseJson(std::string_view text);
nlohmann::json parseJson(std::span<const std::uint8_t> bytes);

// The text of a value: on one line when `indent` is negative, else indented by that many spaces
// a level. Text that is not UTF-8 is written with U+FFFD in its place rather than refused, so a
// stray file name cannot make the writer throw; everything else is written as it is (no \u
// escapes beyond what JSON requires).
std::string jsonText(const nlohmann::json& value, int indent = -1);
std::string jsonText(const nlohmann::ordered_json& value, int indent = -1);

}  // namespace qm
