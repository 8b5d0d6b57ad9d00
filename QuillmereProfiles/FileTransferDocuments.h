#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "QuillmereProfiles/FileTransferPacket.h"

namespace qm {

// The JSON documents that ride in file-transfer packets. Writers are compact UTF-8; readers
// ignore members they do not know and never throw.

// One entry of a folder listing (listDirReply): {"n": name, "d": isDirectory, "s": size,
// "t": seconds since 1970 with fraction, only when known}.
struct RemoteDirectoryEntry {
    std::string name;
    bool isDirectory = false;
    std::uint64_t size = 0;
    std::optional<double> modificationDate;  // seconds since 1970-01-01 00:00:00 UTC

    friend bool operator==(const RemoteDirectoryEntry&, const RemoteDirectoryEntry&) = default;
};

// A request that the peer send the listed items (peerSendRequest).
struct FileTransferPeerSendRequest {
    std::vector<std::string> sourcePaths;  // paths on the side that is asked to send
    std::string destination;               // folder on the asking side
    std::uint64_t deliveryOptionsRawValue = 0;

    FileTransferPeerSendRequest() = default;
    FileTransferPeerSendRequest(std::vector<std::string> sourcePaths, std::string destination,
                                FileTransferDeliveryOptions deliveryOptions)
        : sourcePaths(std::move(sourcePaths)), destination(std::move(destination)),
          deliveryOptionsRawValue(deliveryOptions.rawValue) {}
    FileTransferDeliveryOptions deliveryOptions() const { return FileTransferDeliveryOptions(deliveryOptionsRawValue); }

    std::vector<std::uint8_t> encoded() const;
    // Nothing unless all three members are present with their types, and no path holds a NUL.
    static std::optional<FileTransferPeerSendRequest> decode(std::span<const std::uint8_t> data);
    friend bool operator==(const FileTransferPeerSendRequest&, const FileTransferPeerSendRequest&) = default;
};

// The answer to a send request, or to the delivery of a managed copy (peerSendResponse).
struct FileTransferPeerSendResponse {
    bool accepted = false;
    std::optional<std::string> message;  // left out of the JSON when absent

    std::vector<std::uint8_t> encoded() const;
    // "accepted" is required; a missing or null "message" means none.
    static std::optional<FileTransferPeerSendResponse> decode(std::span<const std::uint8_t> data);
    friend bool operator==(const FileTransferPeerSendResponse&, const FileTransferPeerSendResponse&) = default;
};

namespace FileTransferDocuments {

inline constexpr std::size_t maxItemNames = 64;

// Trims white space and line breaks (Unicode ones included) from both ends.
std::string trimmed(std::string_view text);
// The first `count` characters (code points) of UTF-8 text.
std::string prefixCharacters(std::string_view text, std::size_t count);

// The batchStart item names: the trimmed last components of the items, without empty names or
// repeats, at most 64.
std::vector<std::string> transferItemNames(const std::vector<std::filesystem::path>& items);
// Empty bytes for an empty list, else a JSON array of strings.
std::vector<std::uint8_t> encodeItemNames(const std::vector<std::string>& names);
// Trimmed, non-empty names in their order; empty for empty or malformed data (a name holding a
// NUL included).
std::vector<std::string> decodeItemNames(std::span<const std::uint8_t> data);

// The dates a listing entry may carry: 0001-01-01 to 9999-12-31 23:59:59 UTC. Outside them an
// entry reads as having no date.
inline constexpr double earliestListingDate = -62135596800.0;
inline constexpr double latestListingDate = 253402300799.0;

std::vector<std::uint8_t> encodeListing(const std::vector<RemoteDirectoryEntry>& entries);
// Empty when the document as a whole does not decode (an element without "n" or "d", or a name
// holding a NUL, included).
std::vector<RemoteDirectoryEntry> decodeListing(std::span<const std::uint8_t> data);

}  // namespace FileTransferDocuments

// A byte count for status lines: "%.1f MB" of millions from 1000000 up, else "%.1f KB" of 1024s.
std::string byteString(std::uint64_t bytes);
// "1 item" / "N items" (English; the key of each text is noted beside it).
std::string fileTransferItemDescription(std::int64_t count);

}  // namespace qm
