#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/UserDefaults.h"

namespace qm {

// The folders the user granted the file browser, kept in the user defaults under
// "quillmere.filesync.localBookmarks" as a JSON array of {"data": Base64, "displayName"?}.
struct FileTransferBookmarks {
    FileTransferBookmarks() = delete;

    static constexpr const char* defaultsKey = "quillmere.filesync.localBookmarks";

    struct Entry {
        std::vector<std::uint8_t> data;
        std::optional<std::string> displayName;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    // The stored list; empty when absent or unreadable.
    static std::vector<Entry> load(const UserDefaults& defaults);
    // Appends one bookmark unless the same bytes are stored already (the stored name stays).
    static void save(UserDefaults& defaults, const std::vector<std::uint8_t>& data,
                     const std::optional<std::string>& displayName);

    static std::vector<std::uint8_t> encode(const std::vector<Entry>& entries);
    static std::optional<std::vector<Entry>> decode(const std::vector<std::uint8_t>& json);
};

std::string base64Encoded(const std::vector<std::uint8_t>& bytes);
// Standard alphabet with padding; nothing for anything else.
std::optional<std::vector<std::uint8_t>> base64Decoded(const std::string& text);

}  // namespace qm
