// The clipboard records as a peer sends them (binary or XML property lists): whatever decodes must
// encode again and decode to the same record, and is then applied by a bridge whose status lines
// must stay single, printable lines. Half the inputs are read as a recipe for a binary list whose
// containers name arbitrary objects, themselves and their ancestors included, so that shared,
// nested and looping structures are reached at once rather than by chance.
#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Pasteboard.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/ClipboardTransfer.h"
#include "fuzz/FuzzTarget.h"
#include "support/TestPlatform.h"

using namespace qm;

namespace {

bool same(const ClipboardTransferItem& a, const ClipboardTransferItem& b) {
    if (a.kind != b.kind || a.text != b.text || a.imageData != b.imageData ||
        a.imageTypeIdentifier != b.imageTypeIdentifier || a.files.size() != b.files.size())
        return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        const auto& f = a.files[i];
        const auto& g = b.files[i];
        // A NUL inside a file name is read whole but cannot be written back (the receiver turns
        // it into "-"); the names agree up to it.
        const auto uptoNUL = [](const std::string& name) { return name.substr(0, name.find('\0')); };
        if (uptoNUL(f.filename) != uptoNUL(g.filename) || f.typeIdentifier != g.typeIdentifier || f.data != g.data)
            return false;
    }
    return true;
}

bool same(const ClipboardTransfer& a, const ClipboardTransfer& b) {
    if (a.sourceID != b.sourceID || a.sequence != b.sequence || a.generatedAtNs != b.generatedAtNs ||
        a.items.size() != b.items.size())
        return false;
    for (std::size_t i = 0; i < a.items.size(); ++i)
        if (!same(a.items[i], b.items[i])) return false;
    return true;
}

// A binary property list built from the input: each object is a container of references that
// the input picks freely, or a short string, integer or data object.
std::vector<std::uint8_t> recipeList(fuzz::FuzzInput& input) {
    const std::size_t count = 1 + input.byte() % 64;
    std::vector<std::vector<std::uint8_t>> objects;
    for (std::size_t i = 0; i < count; ++i) {
        const auto kind = input.byte();
        std::vector<std::uint8_t> object;
        switch (kind % 6) {
        case 0:
        case 1:
        case 2: {  // array, dictionary (even count) or set
            const std::uint8_t marker = kind % 6 == 0 ? 0xA0 : kind % 6 == 1 ? 0xD0 : 0xC0;
            const std::size_t entries = input.byte() % 15;
            object.push_back(static_cast<std::uint8_t>(marker | entries));
            const std::size_t refs = marker == 0xD0 ? entries * 2 : entries;
            for (std::size_t r = 0; r < refs; ++r) object.push_back(static_cast<std::uint8_t>(input.byte() % count));
            break;
        }
        case 3: {
            auto text = input.shortString();
            if (text.size() > 14) text.resize(14);
            object.push_back(static_cast<std::uint8_t>(0x50 | text.size()));
            object.insert(object.end(), text.begin(), text.end());
            break;
        }
        case 4:
            object = {0x13};
            for (int b = 0; b < 8; ++b) object.push_back(input.byte());
            break;
        default: {
            auto bytes = input.take(input.byte() % 15);
            object.push_back(static_cast<std::uint8_t>(0x40 | bytes.size()));
            object.insert(object.end(), bytes.begin(), bytes.end());
        }
        }
        objects.push_back(std::move(object));
    }
    std::vector<std::uint8_t> out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint8_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(static_cast<std::uint8_t>(out.size() >> 8));
        offsets.push_back(static_cast<std::uint8_t>(out.size()));
        out.insert(out.end(), object.begin(), object.end());
    }
    const std::size_t table = out.size();
    out.insert(out.end(), offsets.begin(), offsets.end());
    const std::uint8_t trailer[32] = {0, 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(count),
                                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      static_cast<std::uint8_t>(table >> 8), static_cast<std::uint8_t>(table)};
    out.insert(out.end(), std::begin(trailer), std::end(trailer));
    return out;
}

bool printableLine(const std::string& line) {
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

QM_FUZZ_TARGET(clipboard) {
    std::vector<std::uint8_t> built;
    if (!data.empty() && data[0] == 0xB1) {
        fuzz::FuzzInput input(data.subspan(1));
        built = recipeList(input);
        data = built;
    }
    std::string error;
    auto transfer = ClipboardTransfer::decode(data, &error);
    if (!transfer) {
        QM_FUZZ_CHECK(printableLine(error), "a decode error with a control character");
        return;
    }
    {
        static test::TemporaryDirectory inbox;
        test::ManualPlatform platform;
        auto bridge = std::make_shared<ClipboardSyncBridge>(platform.platform, "Viewer",
                                                            std::make_shared<InMemoryPasteboard>(), 1 << 16, 1 << 17,
                                                            inbox.path());
        std::vector<std::string> lines;
        bridge->onStatus = [&](const std::string& line) { lines.push_back(line); };
        bridge->handleRemoteTransfer(*transfer);
        for (const auto& line : lines) QM_FUZZ_CHECK(printableLine(line), "a status line with a control character");
        std::error_code ec;
        std::filesystem::remove_all(inbox.path() / "QuillmereClipboardInbox", ec);
    }
    auto once = transfer->encodedData(&error);
    // Values of 2^63 and more are read (a peer may write them as sixteen-byte integers) but not
    // written: the library would write them as negative numbers.
    constexpr std::uint64_t largest = 0x7FFF'FFFF'FFFF'FFFFULL;
    if (transfer->sequence > largest || transfer->generatedAtNs > largest) {
        QM_FUZZ_CHECK(!once.has_value(), "a value no reader accepts was written");
        return;
    }
    QM_FUZZ_CHECK(once.has_value(), error);
    auto again = ClipboardTransfer::decode(*once, &error);
    QM_FUZZ_CHECK(again.has_value(), error);
    QM_FUZZ_CHECK(same(*again, *transfer), "clipboard round trip");
}
