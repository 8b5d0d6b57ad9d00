#include "Platform/Json.h"

namespace qm {

nlohmann::json parseJson(std::span<const std::uint8_t> bytes) {
    // Through plain pointers, so that every caller shares one instance of the parser.
    const std::uint8_t* begin = bytes.data();
    return nlohmann::json::parse(begin, begin + bytes.size(), nullptr, false);
}

nlohmann::json parseJson(std::string_view text) {
    return parseJson(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string jsonText(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string jsonText(const nlohmann::ordered_json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace qm
