#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/QuillmereL10n.h"

#include <cstdio>
#include "Platform/Json.h"
#include <unordered_set>

namespace qm {

namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

std::vector<std::uint8_t> bytesOf(const ordered_json& document) {
    // Replacing invalid UTF-8 keeps a stray file name from making the writer throw.
    const auto text = jsonText(document);
    return {text.begin(), text.end()};
}

std::optional<json> parse(std::span<const std::uint8_t> data) {
    auto document = parseJson(data);
    if (document.is_discarded()) return std::nullopt;
    return document;
}

// No file or folder name holds a NUL; a path cut there would name another file.
bool hasNUL(const json& text) { return text.get_ref<const std::string&>().find('\0') != std::string::npos; }

bool isUnsigned(const json& value) {
    return value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
}

// Decodes one code point at `i` (advancing it); U+FFFD for a malformed sequence.
char32_t decodeAt(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    return cp;
}

bool isWhitespaceOrNewline(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

std::string FileTransferDocuments::trimmed(std::string_view text) {
    std::size_t begin = 0, end = 0, i = 0;
    bool seen = false;
    while (i < text.size()) {
        const auto start = i;
        const auto cp = decodeAt(text, i);
        if (isWhitespaceOrNewline(cp)) continue;
        if (!seen) begin = start;
        seen = true;
        end = i;
    }
    return seen ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::string FileTransferDocuments::prefixCharacters(std::string_view text, std::size_t count) {
    std::size_t i = 0;
    for (std::size_t n = 0; n < count && i < text.size(); ++n) decodeAt(text, i);
    return std::string(text.substr(0, i));
}

std::vector<std::string> FileTransferDocuments::transferItemNames(const std::vector<std::filesystem::path>& items) {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (const auto& item : items) {
        if (names.size() >= maxItemNames) break;
        auto path = item;
        // A trailing separator does not hide the last component.
        while (path.has_relative_path() && !path.has_filename()) path = path.parent_path();
        auto name = trimmed(path.filename().string());
        if (name.empty() || !seen.insert(name).second) continue;
        names.push_back(std::move(name));
    }
    return names;
}

std::vector<std::uint8_t> FileTransferDocuments::encodeItemNames(const std::vector<std::string>& names) {
    if (names.empty()) return {};
    return bytesOf(ordered_json(names));
}

std::vector<std::string> FileTransferDocuments::decodeItemNames(std::span<const std::uint8_t> data) {
    if (data.empty()) return {};
    auto document = parse(data);
    if (!document || !document->is_array()) return {};
    std::vector<std::string> names;
    for (const auto& element : *document) {
        if (!element.is_string() || hasNUL(element)) return {};
        auto name = trimmed(element.get<std::string>());
        if (!name.empty()) names.push_back(std::move(name));
    }
    return names;
}

std::vector<std::uint8_t> FileTransferDocuments::encodeListing(const std::vector<RemoteDirectoryEntry>& entries) {
    ordered_json array = ordered_json::array();
    for (const auto& entry : entries) {
        ordered_json element;
        element["n"] = entry.name;
        element["d"] = entry.isDirectory;
        element["s"] = entry.size;
        if (entry.modificationDate) element["t"] = *entry.modificationDate;
        array.push_back(std::move(element));
    }
    return bytesOf(array);
}

std::vector<RemoteDirectoryEntry> FileTransferDocuments::decodeListing(std::span<const std::uint8_t> data) {
    auto document = parse(data);
    if (!document || !document->is_array()) return {};
    std::vector<RemoteDirectoryEntry> entries;
    for (const auto& element : *document) {
        if (!element.is_object()) return {};
        auto name = element.find("n");
        auto directory = element.find("d");
        if (name == element.end() || !name->is_string() || directory == element.end() || !directory->is_boolean() ||
            hasNUL(*name))
            return {};
        RemoteDirectoryEntry entry{name->get<std::string>(), directory->get<bool>(), 0, std::nullopt};
        if (auto size = element.find("s"); size != element.end() && !size->is_null()) {
            if (!isUnsigned(*size)) return {};
            entry.size = size->get<std::uint64_t>();
        }
        if (auto time = element.find("t"); time != element.end() && !time->is_null()) {
            if (!time->is_number()) return {};
            // A time no calendar shows (before year 1 or after 9999) is no date; it would not even
            // fit the integer a date is turned into for display.
            const auto seconds = time->get<double>();
            using FileTransferDocuments::earliestListingDate, FileTransferDocuments::latestListingDate;
            if (seconds >= earliestListingDate && seconds <= latestListingDate) entry.modificationDate = seconds;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::uint8_t> FileTransferPeerSendRequest::encoded() const {
    ordered_json document;
    document["sourcePaths"] = sourcePaths;
    document["destination"] = destination;
    document["deliveryOptionsRawValue"] = deliveryOptionsRawValue;
    return bytesOf(document);
}

std::optional<FileTransferPeerSendRequest> FileTransferPeerSendRequest::decode(std::span<const std::uint8_t> data) {
    auto document = parse(data);
    if (!document || !document->is_object()) return std::nullopt;
    auto paths = document->find("sourcePaths");
    auto destination = document->find("destination");
    auto options = document->find("deliveryOptionsRawValue");
    if (paths == document->end() || !paths->is_array() || destination == document->end() ||
        !destination->is_string() || hasNUL(*destination) || options == document->end() || !isUnsigned(*options))
        return std::nullopt;
    FileTransferPeerSendRequest request;
    for (const auto& path : *paths) {
        if (!path.is_string() || hasNUL(path)) return std::nullopt;
        request.sourcePaths.push_back(path.get<std::string>());
    }
    request.destination = destination->get<std::string>();
    request.deliveryOptionsRawValue = options->get<std::uint64_t>();
    return request;
}

std::vector<std::uint8_t> FileTransferPeerSendResponse::encoded() const {
    ordered_json document;
    document["accepted"] = accepted;
    if (message) document["message"] = *message;
    return bytesOf(document);
}

std::optional<FileTransferPeerSendResponse> FileTransferPeerSendResponse::decode(std::span<const std::uint8_t> data) {
    auto document = parse(data);
    if (!document || !document->is_object()) return std::nullopt;
    auto accepted = document->find("accepted");
    if (accepted == document->end() || !accepted->is_boolean()) return std::nullopt;
    FileTransferPeerSendResponse response{accepted->get<bool>(), std::nullopt};
    if (auto message = document->find("message"); message != document->end() && !message->is_null()) {
        if (!message->is_string()) return std::nullopt;
        response.message = message->get<std::string>();
    }
    return response;
}

std::string byteString(std::uint64_t bytes) {
    char text[64];
    const double megabytes = static_cast<double>(bytes) / 1000000.0;
    if (megabytes >= 1.0)
        std::snprintf(text, sizeof text, "%.1f MB", megabytes);
    else
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    return text;
}

std::string fileTransferItemDescription(std::int64_t count) {
    if (count == 1) return QuillmereL10n::format("fileTransfer.item.one", "%d item", {std::int64_t{1}});
    return QuillmereL10n::format("fileTransfer.item.other", "%d items", {count});
}

}  // namespace qm
