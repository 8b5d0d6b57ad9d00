#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "QuillmereProfiles/PropertyListBounds.h"

namespace qm {

// What a clipboard item carries. On the wire its raw value string.
enum class ClipboardTransferItemKind { text, image, files };

std::string_view rawValue(ClipboardTransferItemKind kind);
std::optional<ClipboardTransferItemKind> clipboardTransferItemKindFromRaw(std::string_view raw);

// One file of a files item, with its whole content.
struct ClipboardTransferFile {
    std::string filename;        // the name at the sender; the receiver sanitises it
    std::string typeIdentifier;  // carried, not interpreted
    std::vector<std::uint8_t> data;
};

// One clipboard item. Text items set `text`; image items `imageData` and
// `imageTypeIdentifier` ("public.png"); files items list `files`.
struct ClipboardTransferItem {
    ClipboardTransferItemKind kind = ClipboardTransferItemKind::text;
    std::optional<std::string> text;
    std::optional<std::vector<std::uint8_t>> imageData;
    std::optional<std::string> imageTypeIdentifier;
    std::vector<ClipboardTransferFile> files;
};

// One clipboard snapshot, the payload of aux packet 27 in both directions: a binary property
// list (bplist00) whose dictionary keys are the field names.
struct ClipboardTransfer {
    std::string sourceID;         // the sending bridge
    std::uint64_t sequence = 0;   // per sender, from 1
    std::uint64_t generatedAtNs = 0;  // sender's uptime when taken
    std::vector<ClipboardTransferItem> items;

    // The binary property list; nothing (with `error` describing why) when encoding fails, as it
    // does for a `sequence` or `generatedAtNs` of 2^63 or more, which no reader accepts.
    std::optional<std::vector<std::uint8_t>> encodedData(std::string* error = nullptr) const;
    // Reads a binary or XML property list. Nothing (with `error` describing why) when a required
    // key is missing, a value has the wrong type, a kind is unknown, a number does not fit or the
    // bytes are no property list; never a partial transfer.
    static std::optional<ClipboardTransfer> decode(std::span<const std::uint8_t> data, std::string* error = nullptr);
};

// What a received snapshot's property list may expand to before it is decoded.
PropertyListLimits clipboardPropertyListLimits();

}  // namespace qm
