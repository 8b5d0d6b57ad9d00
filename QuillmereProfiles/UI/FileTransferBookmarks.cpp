#include "QuillmereProfiles/UI/FileTransferBookmarks.h"

#include "Platform/Json.h"

namespace qm {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

std::string base64Encoded(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t b0 = bytes[i];
        const std::uint32_t b1 = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < bytes.size() ? bytes[i + 2] : 0;
        const std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> base64Decoded(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++padding;
            } else {
                if (padding > 0) return std::nullopt;
                v[k] = sextet(c);
                if (v[k] < 0) return std::nullopt;
            }
        }
        const std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        if (padding < 2) out.push_back(static_cast<std::uint8_t>(n >> 8));
        if (padding < 1) out.push_back(static_cast<std::uint8_t>(n));
    }
    return out;
}

std::vector<std::uint8_t> FileTransferBookmarks::encode(const std::vector<Entry>& entries) {
    auto array = nlohmann::json::array();
    for (const auto& entry : entries) {
        nlohmann::json object;
        object["data"] = base64Encoded(entry.data);
        if (entry.displayName) object["displayName"] = *entry.displayName;
        array.push_back(std::move(object));
    }
    const auto text = jsonText(array);
    return {text.begin(), text.end()};
}

std::optional<std::vector<FileTransferBookmarks::Entry>> FileTransferBookmarks::decode(
    const std::vector<std::uint8_t>& json) {
    const auto parsed = parseJson(json);
    if (parsed.is_discarded() || !parsed.is_array()) return std::nullopt;
    std::vector<Entry> entries;
    for (const auto& object : parsed) {
        if (!object.is_object()) return std::nullopt;
        const auto data = object.find("data");
        if (data == object.end() || !data->is_string()) return std::nullopt;
        auto bytes = base64Decoded(data->get<std::string>());
        if (!bytes) return std::nullopt;
        Entry entry{std::move(*bytes), std::nullopt};
        if (const auto name = object.find("displayName"); name != object.end() && !name->is_null()) {
            if (!name->is_string()) return std::nullopt;
            entry.displayName = name->get<std::string>();
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<FileTransferBookmarks::Entry> FileTransferBookmarks::load(const UserDefaults& defaults) {
    const auto stored = defaults.data(defaultsKey);
    if (!stored) return {};
    return decode(*stored).value_or(std::vector<Entry>{});
}

void FileTransferBookmarks::save(UserDefaults& defaults, const std::vector<std::uint8_t>& data,
                                 const std::optional<std::string>& displayName) {
    auto entries = load(defaults);
    bool stored = false;
    for (const auto& entry : entries) stored = stored || entry.data == data;
    if (!stored) entries.push_back(Entry{data, displayName});
    defaults.setData(defaultsKey, encode(entries));
}

}  // namespace qm
