#include "QuillmereProfiles/ClipboardTransfer.h"

#include <plist/plist.h>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/LogText.h"
#include "QuillmereProfiles/PropertyListBounds.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

namespace qm {

std::string_view rawValue(ClipboardTransferItemKind kind) {
    switch (kind) {
    case ClipboardTransferItemKind::text: return "text";
    case ClipboardTransferItemKind::image: return "image";
    case ClipboardTransferItemKind::files: return "files";
    }
    return "text";
}

std::optional<ClipboardTransferItemKind> clipboardTransferItemKindFromRaw(std::string_view raw) {
    if (raw == "text") return ClipboardTransferItemKind::text;
    if (raw == "image") return ClipboardTransferItemKind::image;
    if (raw == "files") return ClipboardTransferItemKind::files;
    return std::nullopt;
}

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

plist_t newData(const std::vector<std::uint8_t>& bytes) {
    return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

plist_t encodeFile(const ClipboardTransferFile& file) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "filename", plist_new_string(file.filename.c_str()));
    plist_dict_set_item(dict, "typeIdentifier", plist_new_string(file.typeIdentifier.c_str()));
    plist_dict_set_item(dict, "data", newData(file.data));
    return dict;
}

plist_t encodeItem(const ClipboardTransferItem& item) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "kind", plist_new_string(std::string(rawValue(item.kind)).c_str()));
    if (item.text) plist_dict_set_item(dict, "text", plist_new_string(item.text->c_str()));
    if (item.imageData) plist_dict_set_item(dict, "imageData", newData(*item.imageData));
    if (item.imageTypeIdentifier)
        plist_dict_set_item(dict, "imageTypeIdentifier", plist_new_string(item.imageTypeIdentifier->c_str()));
    plist_t files = plist_new_array();
    for (const auto& file : item.files) plist_array_append_item(files, encodeFile(file));
    plist_dict_set_item(dict, "files", files);
    return dict;
}

// Readers: each reports the first problem in `error` and yields nothing.
struct Reader {
    std::string error;
    std::vector<std::uint64_t> outOfRange;  // integers of the source that are negative or too wide
    std::vector<std::string> stringsWithNUL;  // whole, where the parser cut them at the NUL

    // A file name the parser cut at a NUL, whole again.
    std::string fileName(plist_t node) const {
        auto name = string(node);
        for (const auto& whole : stringsWithNUL)
            if (whole.size() > name.size() && whole.compare(0, name.size(), name) == 0 && whole[name.size()] == '\0')
                return whole;
        return name;
    }

    plist_t required(plist_t dict, const char* key, plist_type type) {
        plist_t node = plist_dict_get_item(dict, key);
        if (!node) {
            error = std::string("missing key \"") + key + "\"";
            return nullptr;
        }
        return typed(node, key, type);
    }
    plist_t optional(plist_t dict, const char* key, plist_type type, bool& bad) {
        plist_t node = plist_dict_get_item(dict, key);
        if (!node) return nullptr;
        node = typed(node, key, type);
        bad = node == nullptr;
        return node;
    }
    plist_t typed(plist_t node, const char* key, plist_type type) {
        if (plist_get_node_type(node) != type) {
            error = std::string("wrong type for key \"") + key + "\"";
            return nullptr;
        }
        // Text that is not UTF-8, or that holds a NUL (which no C string carries on), would reach the
        // clipboard garbled or cut short.
        if (type == PLIST_STRING) {
            const auto text = string(node);
            if (!isValidUTF8(text) || text.find('\0') != std::string::npos) {
                error = std::string("key \"") + key + "\" is not UTF-8 text";
                return nullptr;
            }
        }
        return node;
    }
    static std::string string(plist_t node) {
        // By pointer and length: the copying getter aborts the process on a string with a NUL inside.
        std::uint64_t length = 0;
        const char* value = plist_get_string_ptr(node, &length);
        return value ? std::string(value, static_cast<std::size_t>(length)) : std::string();
    }
    static std::vector<std::uint8_t> data(plist_t node) {
        char* value = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        std::vector<std::uint8_t> out(value, value + (value ? length : 0));
        std::free(value);
        return out;
    }
    static std::uint64_t integer(plist_t node) {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return value;
    }
    plist_t unsignedInteger(plist_t dict, const char* key) {
        plist_t node = required(dict, key, PLIST_UINT);
        // The library keeps every integer in one unsigned field, so -1 would read as 2^64-1.
        if (node && std::find(outOfRange.begin(), outOfRange.end(), integer(node)) != outOfRange.end()) {
            error = std::string("key \"") + key + "\" does not fit an unsigned 64-bit integer";
            return nullptr;
        }
        return node;
    }

    std::optional<ClipboardTransferFile> file(plist_t dict) {
        if (plist_get_node_type(dict) != PLIST_DICT) {
            error = "file is not a dictionary";
            return std::nullopt;
        }
        plist_t name = required(dict, "filename", PLIST_STRING);
        if (!name) return std::nullopt;
        plist_t type = required(dict, "typeIdentifier", PLIST_STRING);
        if (!type) return std::nullopt;
        plist_t bytes = required(dict, "data", PLIST_DATA);
        if (!bytes) return std::nullopt;
        return ClipboardTransferFile{fileName(name), string(type), data(bytes)};
    }

    std::optional<ClipboardTransferItem> item(plist_t dict) {
        if (plist_get_node_type(dict) != PLIST_DICT) {
            error = "item is not a dictionary";
            return std::nullopt;
        }
        ClipboardTransferItem out;
        plist_t kind = required(dict, "kind", PLIST_STRING);
        if (!kind) return std::nullopt;
        auto parsed = clipboardTransferItemKindFromRaw(string(kind));
        if (!parsed) {
            error = "unknown item kind \"" + escapedForLog(string(kind), 64) + "\"";
            return std::nullopt;
        }
        out.kind = *parsed;
        bool bad = false;
        if (plist_t text = optional(dict, "text", PLIST_STRING, bad)) out.text = string(text);
        if (bad) return std::nullopt;
        if (plist_t image = optional(dict, "imageData", PLIST_DATA, bad)) out.imageData = data(image);
        if (bad) return std::nullopt;
        if (plist_t type = optional(dict, "imageTypeIdentifier", PLIST_STRING, bad)) out.imageTypeIdentifier = string(type);
        if (bad) return std::nullopt;
        plist_t files = required(dict, "files", PLIST_ARRAY);
        if (!files) return std::nullopt;
        for (std::uint32_t i = 0; i < plist_array_get_size(files); ++i) {
            auto f = file(plist_array_get_item(files, i));
            if (!f) return std::nullopt;
            out.files.push_back(std::move(*f));
        }
        return out;
    }
};

}  // namespace

PropertyListLimits clipboardPropertyListLimits() {
    // An honest snapshot fits one 1 MiB frame and nests five containers deep; the bounds leave
    // room for a sender that shares repeated values, and no more.
    PropertyListLimits limits;
    limits.maxObjects = 1u << 18;
    limits.maxDepth = 16;
    limits.maxExpandedNodes = 1u << 18;
    limits.maxExpandedBytes = 16u << 20;
    return limits;
}

std::optional<std::vector<std::uint8_t>> ClipboardTransfer::encodedData(std::string* error) const {
    // The list's integers are signed 64-bit: a larger value would be written as one that every
    // reader, this one included, refuses.
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (sequence > largest || generatedAtNs > largest) {
        if (error) *error = "the sequence or time does not fit a signed 64-bit integer";
        return std::nullopt;
    }
    PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), "sourceID", plist_new_string(sourceID.c_str()));
    plist_dict_set_item(root.get(), "sequence", plist_new_uint(sequence));
    plist_dict_set_item(root.get(), "generatedAtNs", plist_new_uint(generatedAtNs));
    plist_t array = plist_new_array();
    for (const auto& item : items) plist_array_append_item(array, encodeItem(item));
    plist_dict_set_item(root.get(), "items", array);

    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &bytes, &length);
    if (!bytes) {
        if (error) *error = "the property list could not be written";
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(bytes, bytes + length);
    plist_to_bin_free(bytes);
    return out;
}

std::optional<ClipboardTransfer> ClipboardTransfer::decode(std::span<const std::uint8_t> data, std::string* error) {
    auto fail = [&](std::string text) -> std::optional<ClipboardTransfer> {
        if (error) *error = std::move(text);
        return std::nullopt;
    };
    if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max())
        return fail("the data is not a property list");
    // The structure is checked before anything is built: references can make a few hundred bytes
    // expand to gigabytes, and nesting alone can exhaust the stack.
    std::string boundsError;
    Reader reader;
    const auto form = checkPropertyListBounds(data, clipboardPropertyListLimits(), &boundsError, &reader.outOfRange,
                                              &reader.stringsWithNUL);
    if (!form) return fail(boundsError);
    plist_t parsed = nullptr;
    const auto* bytes = reinterpret_cast<const char*>(data.data());
    const auto length = static_cast<std::uint32_t>(data.size());
    if (*form == PropertyListForm::binary) {
        plist_from_bin(bytes, length, &parsed);
    } else {
        plist_from_xml(bytes, length, &parsed);
    }
    if (!parsed) return fail("the data is not a property list");
    PlistPtr root(parsed);
    if (plist_get_node_type(parsed) != PLIST_DICT) return fail("the root is not a dictionary");

    ClipboardTransfer out;
    plist_t source = reader.required(parsed, "sourceID", PLIST_STRING);
    plist_t sequence = source ? reader.unsignedInteger(parsed, "sequence") : nullptr;
    plist_t generated = sequence ? reader.unsignedInteger(parsed, "generatedAtNs") : nullptr;
    plist_t items = generated ? reader.required(parsed, "items", PLIST_ARRAY) : nullptr;
    if (!items) return fail(reader.error);
    out.sourceID = Reader::string(source);
    out.sequence = Reader::integer(sequence);
    out.generatedAtNs = Reader::integer(generated);
    for (std::uint32_t i = 0; i < plist_array_get_size(items); ++i) {
        auto item = reader.item(plist_array_get_item(items, i));
        if (!item) return fail(reader.error);
        out.items.push_back(std::move(*item));
    }
    return out;
}

}  // namespace qm
