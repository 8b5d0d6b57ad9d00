#include "QuillmereProfiles/PropertyListBounds.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace qm {

namespace {

constexpr std::size_t trailerSize = 32;
constexpr std::string_view binaryMagic = "bplist00";

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

struct Fail {
    std::string* error;
    std::optional<PropertyListForm> operator()(const std::string& text) const {
        if (error) *error = text;
        return std::nullopt;
    }
};

// One object of a binary list: where its references lie and what it holds itself.
struct BinaryObject {
    std::size_t firstRef = 0;  // index into the shared reference list
    std::size_t refCount = 0;
    std::uint64_t ownBytes = 0;
    bool container = false;
};

std::optional<PropertyListForm> checkBinary(std::span<const std::uint8_t> data, const PropertyListLimits& limits,
                                            const Fail& fail, std::vector<std::uint64_t>* outOfRange,
                                            std::vector<std::string>* stringsWithNUL) {
    const std::size_t size = data.size();
    if (size < binaryMagic.size() + trailerSize) return fail("the binary property list is truncated");
    const std::uint8_t* trailer = data.data() + size - trailerSize;
    const std::size_t offsetSize = trailer[6];
    const std::size_t refSize = trailer[7];
    const std::uint64_t objectCount = bigEndian(trailer + 8, 8);
    const std::uint64_t topObject = bigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = bigEndian(trailer + 24, 8);
    const std::size_t objectsEnd = size - trailerSize;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8)
        return fail("the binary property list has a bad trailer");
    if (objectCount == 0 || objectCount > limits.maxObjects)
        return fail("the property list has too many objects (" + std::to_string(objectCount) + ")");
    if (topObject >= objectCount) return fail("the binary property list has a bad top object");
    if (tableOffset < binaryMagic.size() || tableOffset > objectsEnd ||
        objectCount > (objectsEnd - tableOffset) / offsetSize)
        return fail("the binary property list has a bad offset table");

    std::vector<BinaryObject> objects(objectCount);
    std::vector<std::uint64_t> refs;
    for (std::uint64_t index = 0; index < objectCount; ++index) {
        const std::uint64_t offset = bigEndian(data.data() + tableOffset + index * offsetSize, offsetSize);
        if (offset < binaryMagic.size() || offset >= tableOffset) return fail("an object lies outside the list");
        std::size_t at = offset;
        const std::uint8_t marker = data[at++];
        const unsigned type = marker >> 4;
        const unsigned info = marker & 0x0F;
        auto available = [&](std::uint64_t bytes) { return bytes <= tableOffset - at; };
        // The element count of data, strings and containers: inline, or an integer object after it.
        auto count = [&]() -> std::optional<std::uint64_t> {
            if (info != 0x0F) return info;
            if (!available(1)) return std::nullopt;
            const std::uint8_t intMarker = data[at++];
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return std::nullopt;
            const std::size_t width = std::size_t{1} << (intMarker & 0x0F);
            if (!available(width)) return std::nullopt;
            const auto value = bigEndian(data.data() + at, width);
            at += width;
            return value;
        };
        auto& object = objects[index];
        switch (type) {
        case 0x0:
            break;
        case 0x1:
        case 0x2:
            if (info > 4 || !available(std::uint64_t{1} << info)) return fail("a number is truncated");
            // Eight-byte integers are signed; sixteen-byte ones fit 64 bits only with a zero top half.
            if (type == 0x1 && outOfRange) {
                if (info == 3 && (data[at] & 0x80)) outOfRange->push_back(bigEndian(data.data() + at, 8));
                if (info == 4 && bigEndian(data.data() + at, 8) != 0)
                    outOfRange->push_back(bigEndian(data.data() + at + 8, 8));
            }
            break;
        case 0x3:
            if (!available(8)) return fail("a date is truncated");
            break;
        case 0x4:
        case 0x5:
        case 0x6:
        case 0x7: {
            auto n = count();
            const std::uint64_t width = type == 0x6 ? 2 : 1;
            if (!n || *n > (tableOffset - at) / width) return fail("a string or data object is truncated");
            // UTF-16 text grows by up to half again as UTF-8.
            object.ownBytes = type == 0x6 ? *n * 3 : *n;
            if (type == 0x5 && stringsWithNUL && stringsWithNUL->size() < 1024) {
                const auto* text = reinterpret_cast<const char*>(data.data() + at);
                if (std::memchr(text, 0, *n)) stringsWithNUL->emplace_back(text, *n);
            }
            break;
        }
        case 0x8:
            if (!available(info + 1)) return fail("a uid is truncated");
            break;
        case 0xA:
        case 0xC:
        case 0xD: {
            auto n = count();
            if (!n) return fail("a container is truncated");
            const std::uint64_t entries = type == 0xD ? *n * 2 : *n;
            if (*n > (tableOffset - at) / refSize || entries > (tableOffset - at) / refSize)
                return fail("a container is truncated");
            object.container = true;
            object.firstRef = refs.size();
            object.refCount = entries;
            for (std::uint64_t i = 0; i < entries; ++i) {
                const auto ref = bigEndian(data.data() + at + i * refSize, refSize);
                if (ref >= objectCount) return fail("a reference points outside the list");
                refs.push_back(ref);
            }
            break;
        }
        default:
            return fail("an object has an unknown type");
        }
    }

    // Expanded size and depth of every object reachable from the top, depth first without
    // recursion. An object met again while it is still open contains itself.
    enum class Mark : std::uint8_t { unseen, open, done };
    std::vector<Mark> marks(objectCount, Mark::unseen);
    std::vector<std::uint64_t> nodes(objectCount, 0), bytes(objectCount, 0);
    std::vector<std::uint32_t> depth(objectCount, 0);
    struct Frame {
        std::uint64_t object;
        std::size_t next;
    };
    std::vector<Frame> stack{{topObject, 0}};
    marks[topObject] = Mark::open;
    while (!stack.empty()) {
        auto& frame = stack.back();
        const auto& object = objects[frame.object];
        if (frame.next < object.refCount) {
            const auto child = refs[object.firstRef + frame.next++];
            if (marks[child] == Mark::open) return fail("an object of the property list contains itself");
            if (marks[child] == Mark::unseen) {
                if (stack.size() > limits.maxDepth) return fail("the property list is nested too deeply");
                marks[child] = Mark::open;
                stack.push_back({child, 0});
            }
            continue;
        }
        const auto id = frame.object;
        std::uint64_t n = 1, b = object.ownBytes;
        std::uint32_t d = 0;
        for (std::size_t i = 0; i < object.refCount; ++i) {
            const auto child = refs[object.firstRef + i];
            n = saturatingAdd(n, nodes[child]);
            b = saturatingAdd(b, bytes[child]);
            d = std::max(d, depth[child] + 1);
        }
        if (d > limits.maxDepth) return fail("the property list is nested too deeply");
        if (n > limits.maxExpandedNodes) return fail("the property list expands to too many objects");
        if (b > limits.maxExpandedBytes) return fail("the property list expands to too many bytes");
        nodes[id] = n;
        bytes[id] = b;
        depth[id] = d;
        marks[id] = Mark::done;
        stack.pop_back();
    }
    return PropertyListForm::binary;
}

// An XML list has no references, so its size is its own; only its nesting needs a bound. Counts
// every element that is not closed in place, skipping comments, CDATA and declarations, so that
// nothing hidden from this count is seen by the parser as nesting.
std::optional<PropertyListForm> checkXML(std::string_view text, const PropertyListLimits& limits, const Fail& fail,
                                         std::vector<std::uint64_t>* outOfRange) {
    // XML has no NUL character; a parser that keeps C strings would cut a string there.
    if (text.find('\0') != std::string_view::npos) return fail("the XML property list holds a NUL");
    std::size_t depth = 0;
    std::size_t elements = 0;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        auto rest = text.substr(at);
        auto skipTo = [&](std::string_view end) -> bool {
            const auto found = text.find(end, at);
            if (found == std::string_view::npos) return false;
            at = found + end.size();
            return true;
        };
        if (rest.starts_with("<!--")) {
            if (!skipTo("-->")) return fail("the XML property list has an unterminated comment");
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            if (!skipTo("]]>")) return fail("the XML property list has an unterminated CDATA section");
            continue;
        }
        const auto close = text.find('>', at);
        if (close == std::string_view::npos) return fail("the XML property list has an unterminated tag");
        const auto tag = text.substr(at, close - at + 1);
        at = close + 1;
        if (tag.starts_with("<?") || tag.starts_with("<!")) continue;
        if (tag == "<integer>" && outOfRange) {
            auto value = text.substr(at, text.find('<', at) - at);
            const auto first = value.find_first_not_of(" \t\r\n");
            if (first != std::string_view::npos && value[first] == '-') {
                const std::string digits(value.substr(first));
                outOfRange->push_back(static_cast<std::uint64_t>(std::strtoll(digits.c_str(), nullptr, 0)));
            }
        }
        if (tag.starts_with("</")) {
            if (depth > 0) --depth;
            continue;
        }
        if (++elements > limits.maxExpandedNodes) return fail("the property list expands to too many objects");
        if (tag.size() >= 2 && tag[tag.size() - 2] == '/') continue;
        if (++depth > limits.maxDepth + 2) return fail("the property list is nested too deeply");  // + <plist>, key
    }
    if (text.size() > limits.maxExpandedBytes) return fail("the property list expands to too many bytes");
    return PropertyListForm::xml;
}

}  // namespace

std::optional<PropertyListForm> checkPropertyListBounds(std::span<const std::uint8_t> data,
                                                        const PropertyListLimits& limits, std::string* error,
                                                        std::vector<std::uint64_t>* outOfRange,
                                                        std::vector<std::string>* stringsWithNUL) {
    const Fail fail{error};
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (text.starts_with(binaryMagic)) return checkBinary(data, limits, fail, outOfRange, stringsWithNUL);
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && text.substr(first).starts_with("<"))
        return checkXML(text, limits, fail, outOfRange);
    if (text.starts_with("\xEF\xBB\xBF<")) return checkXML(text.substr(3), limits, fail, outOfRange);
    return fail("the data is not a property list");
}

}  // namespace qm
