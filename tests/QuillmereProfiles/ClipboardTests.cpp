#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>

#include "Platform/Core/ByteIO.h"
#include "Platform/Images.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "support/TestPlatform.h"

namespace ClipboardTests {

using namespace qm;
using namespace qm::test;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

RGBAImage checkerboard() {
    RGBAImage image{3, 2, {}};
    for (int i = 0; i < 6; ++i) image.pixels.insert(image.pixels.end(), {std::uint8_t(i * 40), 200, std::uint8_t(255 - i), 255});
    return image;
}

ClipboardTransfer textTransfer(const std::string& text, const std::string& source = "SRC", std::uint64_t sequence = 1) {
    ClipboardTransferItem item;
    item.kind = ClipboardTransferItemKind::text;
    item.text = text;
    return ClipboardTransfer{source, sequence, 42, {item}};
}

ClipboardTransfer filesTransfer(std::vector<ClipboardTransferFile> files, const std::string& source = "SRC",
                                std::uint64_t sequence = 1) {
    ClipboardTransferItem item;
    item.kind = ClipboardTransferItemKind::files;
    item.files = std::move(files);
    return ClipboardTransfer{source, sequence, 42, {item}};
}

// Re-encodes a plist after editing its first item.
Bytes editedFirstItem(const ClipboardTransfer& transfer, void (*edit)(plist_t item)) {
    auto bytes = *transfer.encodedData();
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &root);
    edit(plist_array_get_item(plist_dict_get_item(root, "items"), 0));
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    Bytes result(out, out + length);
    plist_to_bin_free(out);
    plist_free(root);
    return result;
}

std::vector<std::string> itemKeys(const Bytes& bytes) {
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &root);
    plist_t item = plist_array_get_item(plist_dict_get_item(root, "items"), 0);
    std::vector<std::string> keys;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(item, &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(item, it, &key, &value);
        if (!key) break;
        keys.emplace_back(key);
        std::free(key);
    }
    std::free(it);
    plist_free(root);
    std::sort(keys.begin(), keys.end());
    return keys;
}

}  // namespace

TEST(ClipboardTransfer, RoundTripsEveryKindAndWritesOnlyPresentKeys) {
    ClipboardTransferItem image;
    image.kind = ClipboardTransferItemKind::image;
    image.imageData = Bytes(70000, 0xAB);
    image.imageTypeIdentifier = "public.png";
    ClipboardTransferItem files;
    files.kind = ClipboardTransferItemKind::files;
    files.files = {{"a.txt", "public.plain-text", bytesOf("hello")}, {"empty", "public.data", {}}};
    ClipboardTransfer transfer{"ABC-123", 0x7FFFFFFFFFFFFFFFULL, 1234567890123ULL,
                               {textTransfer("héllo").items[0], image, files}};

    auto bytes = transfer.encodedData();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "bplist00");
    auto decoded = ClipboardTransfer::decode(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sourceID, "ABC-123");
    EXPECT_EQ(decoded->sequence, 0x7FFFFFFFFFFFFFFFULL);
    EXPECT_EQ(decoded->generatedAtNs, 1234567890123ULL);
    ASSERT_EQ(decoded->items.size(), 3u);
    EXPECT_EQ(decoded->items[0].text, "héllo");
    EXPECT_FALSE(decoded->items[0].imageData);
    EXPECT_TRUE(decoded->items[0].files.empty());
    EXPECT_EQ(decoded->items[1].imageData, image.imageData);
    EXPECT_EQ(decoded->items[1].imageTypeIdentifier, "public.png");
    ASSERT_EQ(decoded->items[2].files.size(), 2u);
    EXPECT_EQ(decoded->items[2].files[0].data, bytesOf("hello"));
    EXPECT_TRUE(decoded->items[2].files[1].data.empty());

    EXPECT_EQ(itemKeys(*textTransfer("x").encodedData()), (std::vector<std::string>{"files", "kind", "text"}));

    // Empty items decode; an XML property list with the same content decodes too.
    EXPECT_TRUE(ClipboardTransfer::decode(*ClipboardTransfer{"S", 1, 2, {}}.encodedData())->items.empty());
    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
        <key>sourceID</key><string>X</string><key>sequence</key><integer>7</integer>
        <key>generatedAtNs</key><integer>9</integer><key>extra</key><true/>
        <key>items</key><array><dict><key>kind</key><string>text</string><key>text</key><string>hi</string>
        <key>files</key><array/></dict></array></dict></plist>)";
    auto fromXML = ClipboardTransfer::decode(bytesOf(xml));
    ASSERT_TRUE(fromXML);
    EXPECT_EQ(fromXML->sequence, 7u);
    EXPECT_EQ(fromXML->items[0].text, "hi");
}

TEST(ClipboardTransfer, RefusesMalformedPayloadsWhole) {
    std::string error;
    EXPECT_FALSE(ClipboardTransfer::decode(editedFirstItem(textTransfer("x"), [](plist_t item) { plist_dict_remove_item(item, "files"); }), &error));
    EXPECT_NE(error.find("files"), std::string::npos);
    EXPECT_FALSE(ClipboardTransfer::decode(editedFirstItem(textTransfer("x"), [](plist_t item) {
        plist_dict_set_item(item, "kind", plist_new_string("Text"));
    })));
    EXPECT_FALSE(ClipboardTransfer::decode(editedFirstItem(textTransfer("x"), [](plist_t item) {
        plist_dict_set_item(item, "text", plist_new_uint(5));  // an optional key of the wrong type
    })));
    EXPECT_FALSE(ClipboardTransfer::decode(bytesOf("not a property list"), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ClipboardTransfer::decode(Bytes{}));
}

TEST(Images, ConvertsTIFFToPNGAndRefusesGarbage) {
    auto tiff = encodeTIFF(checkerboard());
    ASSERT_TRUE(tiff);
    auto png = imageAsPNG(*tiff);
    ASSERT_TRUE(png);
    auto decoded = decodePNG(*png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pixels, checkerboard().pixels);
    EXPECT_EQ(imageAsPNG(*png), png);  // PNG passes unchanged
    EXPECT_FALSE(imageAsPNG(bytesOf("\x89PNG\r\n\x1a\n but not really")));
}

class ClipboardBridgeTest : public ::testing::Test {
protected:
    ManualPlatform mp;
    TemporaryDirectory caches;
    std::shared_ptr<InMemoryPasteboard> pasteboard = std::make_shared<InMemoryPasteboard>();
    std::shared_ptr<ClipboardSyncBridge> bridge;
    std::vector<ClipboardTransfer> sent;
    std::vector<std::string> statuses;
    bool viewerConnected = true;

    void make(std::int64_t maxFile = 32 << 20, std::int64_t maxTotal = 48 << 20) {
        bridge = std::make_shared<ClipboardSyncBridge>(mp.platform, "Viewer", pasteboard, maxFile, maxTotal, caches.path());
        bridge->onOutgoingTransfer = [this](const ClipboardTransfer& t) {
            if (viewerConnected) sent.push_back(t);
            return viewerConnected;
        };
        bridge->onStatus = [this](const std::string& s) { statuses.push_back(s); };
    }
    void SetUp() override { make(); }
    void tick() { mp.clock->advance(ClipboardSyncBridge::pollInterval); }
    std::filesystem::path inbox(const std::string& folder) const {
        return caches.path() / "QuillmereClipboardInbox" / "Viewer" / folder;
    }
};

TEST_F(ClipboardBridgeTest, PollsOnVirtualTimeAndRetriesUntilDelivered) {
    pasteboard->copyText("before construction");
    make();
    bridge->start();
    bridge->start();  // no second timer
    tick();
    EXPECT_TRUE(sent.empty());

    pasteboard->copyText("one");
    mp.clock->advance(0.59);
    EXPECT_TRUE(sent.empty());
    mp.clock->advance(0.01);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].sequence, 1u);
    EXPECT_EQ(sent[0].items[0].text, "one");
    tick();
    EXPECT_EQ(sent.size(), 1u);

    // Nobody connected: one message however many ticks, then the same transfer once someone is.
    viewerConnected = false;
    pasteboard->copyText("two");
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "clipboard pending delivery: no authorized Viewer session"), 1);
    pasteboard->copyText("three");  // replaces the waiting one, message again
    tick();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "clipboard pending delivery: no authorized Viewer session"), 2);
    viewerConnected = true;
    tick();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].sequence, 3u);
    EXPECT_EQ(sent[1].items[0].text, "three");

    // A change made while stopped goes out at the first tick after start.
    bridge->stop();
    pasteboard->copyText("while stopped");
    tick();
    EXPECT_EQ(sent.size(), 2u);
    bridge->start();
    tick();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].sequence, 4u);
}

TEST_F(ClipboardBridgeTest, ExtractsImagesBeforeTextAndNeverFiles) {
    bridge->start();
    pasteboard->copyFiles({"/tmp/a.txt"}, "with text");
    tick();
    tick();
    EXPECT_TRUE(sent.empty());  // recorded as handled, not retried

    pasteboard->copyText("");
    tick();
    EXPECT_TRUE(sent.empty());

    pasteboard->copyTIFF(*encodeTIFF(checkerboard()));
    pasteboard->setPNGData({});  // present but empty: falls back to TIFF
    tick();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].items[0].kind, ClipboardTransferItemKind::image);
    EXPECT_EQ(sent[0].items[0].imageTypeIdentifier, "public.png");
    EXPECT_EQ(decodePNG(*sent[0].items[0].imageData)->pixels, checkerboard().pixels);
}

TEST_F(ClipboardBridgeTest, AppliesRemoteTransfersWithoutEcho) {
    bridge->start();
    bridge->handleRemoteTransfer(textTransfer("from viewer"));
    EXPECT_EQ(pasteboard->readString(), "from viewer");
    EXPECT_EQ(statuses.back(), "clipboard applied text from Viewer");
    tick();
    EXPECT_TRUE(sent.empty());

    const auto before = statuses.size();
    bridge->handleRemoteTransfer(ClipboardTransfer{"S", 2, 0, {}});
    EXPECT_FALSE(pasteboard->readString());
    EXPECT_EQ(statuses.size(), before);

    auto png = *encodePNG(checkerboard());
    ClipboardTransferItem image{ClipboardTransferItemKind::image, std::nullopt, png, "public.tiff", {}};
    bridge->handleRemoteTransfer(ClipboardTransfer{"S", 3, 0, {image}});
    EXPECT_EQ(pasteboard->image(), png);
    EXPECT_FALSE(pasteboard->readPNGData());  // not "public.png": an image object only
    image.imageData = bytesOf("garbage");
    bridge->handleRemoteTransfer(ClipboardTransfer{"S", 4, 0, {image}});
    EXPECT_EQ(statuses.back(), "clipboard image apply failed from Viewer");
    tick();
    EXPECT_TRUE(sent.empty());

    bridge->isSyncEnabled = [] { return false; };
    bridge->handleRemoteTransfer(textTransfer("ignored"));
    EXPECT_EQ(statuses.back(), "clipboard ignored remote transfer: sync disabled");
}

TEST_F(ClipboardBridgeTest, WritesFilesIntoTheInboxWithClashRenaming) {
    bridge->handleRemoteTransfer(filesTransfer({{"a.txt", "t", bytesOf("1")},
                                                {"a.txt", "t", bytesOf("2")},
                                                {"a.txt", "t", bytesOf("3")},
                                                {"report", "t", bytesOf("r")},
                                                {"report", "t", bytesOf("r2")},
                                                {"x/y:z.txt", "t", bytesOf("s")},
                                                {"..", "t", bytesOf("dots")},
                                                {"", "t", bytesOf("e")}},
                                               "SRC", 7));
    const auto folder = inbox("SRC-7");
    std::vector<std::string> names;
    for (const auto& url : pasteboard->readFileURLs()) {
        EXPECT_EQ(url.parent_path(), folder);
        names.push_back(url.filename().string());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "a-1.txt", "a-1-2.txt", "report", "report-1", "x-y-z.txt",
                                               "..-1", "clipboard-item"}));
    EXPECT_EQ(statuses.back(), "clipboard applied 8 file(s) from Viewer");
    std::ifstream third(folder / "a-1-2.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(third), {}), "3");

    bridge->handleRemoteTransfer(filesTransfer({}, "SRC", 8));
    EXPECT_TRUE(std::filesystem::is_directory(inbox("SRC-8")));
    EXPECT_EQ(statuses.back(), "clipboard file apply failed from Viewer");
}

TEST_F(ClipboardBridgeTest, KeepsPeerNamedFilesInsideTheInboxAndWithinLimits) {
    TemporaryDirectory outside;
    for (const std::string& source : std::vector<std::string>{"../../escape", "/abs", "a/b", "..", std::string("nul\0x", 5)}) {
        statuses.clear();
        bridge->handleRemoteTransfer(filesTransfer({{"f.txt", "t", bytesOf("x")}}, source, 1));
        ASSERT_GE(statuses.size(), 2u) << source;
        EXPECT_EQ(statuses[0], "clipboard inbox create failed: invalid source id");
        EXPECT_EQ(statuses[1], "clipboard file apply failed from Viewer");
    }
    // A link planted where the transfer's folder goes is not followed.
    std::filesystem::create_directories(inbox(""));
    std::filesystem::create_directory_symlink(outside.path(), inbox("LINK-1"));
    bridge->handleRemoteTransfer(filesTransfer({{"f.txt", "t", bytesOf("x")}}, "LINK", 1));
    EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
    EXPECT_EQ(statuses.back(), "clipboard file apply failed from Viewer");

    make(4, 6);
    bridge->handleRemoteTransfer(filesTransfer({{"big", "t", Bytes(5)}, {"a", "t", Bytes(4)}, {"b", "t", Bytes(3)},
                                                {"c", "t", Bytes(2)}},
                                               "LIM", 1));
    std::vector<std::string> names;
    for (const auto& url : pasteboard->readFileURLs()) names.push_back(url.filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(statuses.back(), "clipboard applied 2 file(s) from Viewer");

    // A peer's file name reaches the status line escaped: it cannot start a line of its own.
    statuses.clear();
    bridge->handleRemoteTransfer(filesTransfer({{"x\nfiles: forged\r", "t", Bytes(5)}}, "ESC", 1));
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses[0].find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(statuses[0].find("x\\nfiles- forged\\r"), std::string::npos) << statuses[0];
}

TEST_F(ClipboardBridgeTest, RefusesAnImageLargerThanTheBoundFromItsHeader) {
    // An 8192 x 8192 header on bytes that are no picture: refused for its size, not decoded.
    Bytes header{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0x20, 0, 0, 0, 0x20, 0};
    ClipboardTransferItem item;
    item.kind = ClipboardTransferItemKind::image;
    item.imageData = header;
    item.imageTypeIdentifier = "public.png";
    pasteboard->copyText("kept?");
    bridge->handleRemoteTransfer(ClipboardTransfer{"S", 1, 1, {item}});
    EXPECT_EQ(statuses.back(), "clipboard image apply failed from Viewer: the image exceeds 16777216 pixels");
    EXPECT_EQ(declaredImagePixels(header), 8192u * 8192u);
    auto small = *encodePNG(checkerboard());
    EXPECT_EQ(declaredImagePixels(small), 6u);
    item.imageData = small;
    bridge->handleRemoteTransfer(ClipboardTransfer{"S", 2, 1, {item}});
    EXPECT_EQ(statuses.back(), "clipboard applied image from Viewer");
}

namespace {

// A little-endian TIFF of one directory that claims width x height 8-bit grey pixels in one
// LZW strip; the strip itself is four bytes of nothing.
Bytes tiffClaiming(std::uint32_t width, std::uint32_t height) {
    Bytes out{'I', 'I', 42, 0, 8, 0, 0, 0};
    auto u16 = [&](std::uint16_t v) { out.push_back(v & 0xFF); out.push_back(v >> 8); };
    auto u32 = [&](std::uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back((v >> (8 * i)) & 0xFF); };
    struct Entry { std::uint16_t tag, type; std::uint32_t value; };
    const std::uint32_t stripAt = 8 + 2 + 8 * 12 + 4;
    const Entry entries[] = {{256, 4, width}, {257, 4, height}, {258, 3, 8},   {259, 3, 5},
                             {262, 3, 1},     {273, 4, stripAt}, {278, 4, height}, {279, 4, 4}};
    u16(static_cast<std::uint16_t>(std::size(entries)));
    for (const auto& e : entries) {
        u16(e.tag);
        u16(e.type);
        u32(1);
        if (e.type == 3) {
            u16(static_cast<std::uint16_t>(e.value));
            u16(0);
        } else {
            u32(e.value);
        }
    }
    u32(0);
    u32(0);
    return out;
}

}  // namespace

TEST_F(ClipboardBridgeTest, RefusesATIFFLargerThanTheBoundFromItsDirectory) {
    // 60000 x 60000 claimed by a 130-byte file: refused for its size before any decoding.
    const auto huge = tiffClaiming(60000, 60000);
    EXPECT_EQ(declaredImagePixels(huge), 60000ull * 60000ull);
    ClipboardTransferItem item;
    item.kind = ClipboardTransferItemKind::image;
    item.imageData = huge;
    item.imageTypeIdentifier = "public.tiff";
    bridge->handleRemoteTransfer(ClipboardTransfer{"S", 1, 1, {item}});
    EXPECT_EQ(statuses.back(), "clipboard image apply failed from Viewer: the image exceeds 16777216 pixels");

    // A claim within the bound passes the check (and then fails to decode, having no pixels).
    EXPECT_EQ(declaredImagePixels(tiffClaiming(3, 2)), 6u);
    // A real TIFF is measured the same way and applied.
    const auto small = *encodeTIFF(checkerboard());
    EXPECT_EQ(declaredImagePixels(small), 6u);
    item.imageData = small;
    bridge->handleRemoteTransfer(ClipboardTransfer{"S", 2, 1, {item}});
    EXPECT_EQ(statuses.back(), "clipboard applied image from Viewer");
    // Bytes that only start like a TIFF claim nothing.
    EXPECT_EQ(declaredImagePixels(Bytes{'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0}), 0u);
}

namespace {

// A binary property list from raw objects: 4-byte offsets and references, top object 0.
Bytes binaryList(const std::vector<Bytes>& objects) {
    Bytes out = bytesOf("bplist00");
    std::vector<std::uint32_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        out.insert(out.end(), object.begin(), object.end());
    }
    const std::uint64_t table = out.size();
    auto bigEndian = [&](std::uint64_t value, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    for (auto offset : offsets) bigEndian(offset, 4);
    out.insert(out.end(), 6, 0);
    out.push_back(4);
    out.push_back(4);
    bigEndian(objects.size(), 8);
    bigEndian(0, 8);
    bigEndian(table, 8);
    return out;
}

Bytes arrayOf(const std::vector<std::uint32_t>& refs) {
    Bytes object;
    if (refs.size() < 15) {
        object.push_back(static_cast<std::uint8_t>(0xA0 | refs.size()));
    } else {
        object.insert(object.end(), {0xAF, 0x12});
        for (int i = 3; i >= 0; --i) object.push_back(static_cast<std::uint8_t>(refs.size() >> (8 * i)));
    }
    for (auto ref : refs)
        for (int i = 3; i >= 0; --i) object.push_back(static_cast<std::uint8_t>(ref >> (8 * i)));
    return object;
}

std::string refusal(const Bytes& bytes) {
    std::string error;
    EXPECT_FALSE(ClipboardTransfer::decode(bytes, &error));
    return error;
}

}  // namespace

TEST(ClipboardTransfer, RefusesListsThatExpandNestOrLoopBeforeBuildingThem) {
    // Each array holds the next one twice: 60 objects describe 2^60 nodes.
    std::vector<Bytes> doubling;
    for (std::uint32_t i = 0; i < 60; ++i) doubling.push_back(arrayOf({i + 1, i + 1}));
    doubling.push_back(Bytes{0x5A, 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a'});
    EXPECT_NE(refusal(binaryList(doubling)).find("nested too deeply"), std::string::npos);
    // The same sharing kept shallow: one array naming one big string a million times.
    std::vector<Bytes> wide{arrayOf(std::vector<std::uint32_t>(300000, 1)), Bytes{0x5F, 0x10, 100}};
    wide[1].insert(wide[1].end(), 100, 'x');
    EXPECT_NE(refusal(binaryList(wide)).find("expands"), std::string::npos);

    EXPECT_NE(refusal(binaryList({arrayOf({0})})).find("contains itself"), std::string::npos);
    EXPECT_NE(refusal(binaryList({arrayOf({1}), arrayOf({2}), arrayOf({0})})).find("contains itself"),
              std::string::npos);
    EXPECT_NE(refusal(binaryList({arrayOf({7})})).find("outside"), std::string::npos);

    // Nesting deep enough to exhaust a recursive parser's stack, in both forms.
    std::vector<Bytes> deep;
    for (std::uint32_t i = 0; i < 200000; ++i) deep.push_back(arrayOf({i + 1}));
    deep.push_back(Bytes{0x50});
    EXPECT_NE(refusal(binaryList(deep)).find("nested too deeply"), std::string::npos);
    std::string xml = "<plist version=\"1.0\">";
    for (int i = 0; i < 300000; ++i) xml += "<array>";
    EXPECT_NE(refusal(bytesOf(xml)).find("nested too deeply"), std::string::npos);
    // Closing tags hidden in a comment do not hide the nesting.
    std::string hidden = "<plist>";
    for (int i = 0; i < 100; ++i) hidden += "<array><!-- </array> -->";
    EXPECT_NE(refusal(bytesOf(hidden)).find("nested too deeply"), std::string::npos);

    // Truncations of an honest list never decode and never read past the end.
    const auto honest = *textTransfer("hello").encodedData();
    for (std::size_t length = 0; length < honest.size(); ++length)
        EXPECT_FALSE(ClipboardTransfer::decode(Bytes(honest.begin(), honest.begin() + length)));
    EXPECT_TRUE(ClipboardTransfer::decode(honest));
}

TEST(ClipboardTransfer, ANumberThatDoesNotFitItsFieldFails) {
    auto xmlWith = [](const std::string& sequence) {
        return bytesOf("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>sourceID</key><string>X</string>"
                       "<key>sequence</key><integer>" + sequence +
                       "</integer><key>generatedAtNs</key><integer>1</integer>"
                       "<key>items</key><array/></dict></plist>");
    };
    std::string error;
    EXPECT_FALSE(ClipboardTransfer::decode(xmlWith("-1"), &error));
    EXPECT_NE(error.find("sequence"), std::string::npos);
    EXPECT_FALSE(ClipboardTransfer::decode(xmlWith("-9223372036854775808")));
    auto largest = ClipboardTransfer::decode(xmlWith("18446744073709551615"));
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->sequence, 0xFFFFFFFFFFFFFFFFULL);
    // Binary: an eight-byte integer with its top bit set is negative; sixteen bytes hold an unsigned one.
    auto rootWithSequence = [](Bytes sequence) {
        auto ascii = [](const std::string& text) {
            Bytes object{static_cast<std::uint8_t>(0x50 | text.size())};
            object.insert(object.end(), text.begin(), text.end());
            return object;
        };
        Bytes dict{0xD4};
        for (std::uint32_t ref : {1u, 3u, 5u, 7u, 2u, 4u, 6u, 8u}) dict.insert(dict.end(), {0, 0, 0, std::uint8_t(ref)});
        return binaryList({dict, ascii("sourceID"), ascii("S"), ascii("sequence"), std::move(sequence),
                           ascii("generatedAtNs"), Bytes{0x10, 0x01}, ascii("items"), Bytes{0xA0}});
    };
    EXPECT_EQ(ClipboardTransfer::decode(rootWithSequence({0x10, 0x07}))->sequence, 7u);
    EXPECT_FALSE(ClipboardTransfer::decode(rootWithSequence({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
    Bytes wide{0x14};
    wide.insert(wide.end(), 8, 0x00);
    wide.insert(wide.end(), 8, 0xFF);
    EXPECT_EQ(ClipboardTransfer::decode(rootWithSequence(wide))->sequence, ~0ULL);
    wide[8] = 1;  // 2^64 and more
    EXPECT_FALSE(ClipboardTransfer::decode(rootWithSequence(wide)));

    // The encoder writes only what the decoder takes back: the library writes 2^63 and more as a
    // negative eight-byte integer.
    ClipboardTransfer record{"S", 0x7FFFFFFFFFFFFFFFULL, 0x7FFFFFFFFFFFFFFFULL, {}};
    auto encoded = record.encodedData();
    ASSERT_TRUE(encoded);
    auto decoded = ClipboardTransfer::decode(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sequence, record.sequence);
    EXPECT_EQ(decoded->generatedAtNs, record.generatedAtNs);
    for (auto [sequence, time] : {std::pair{1ULL << 63, 1ULL}, std::pair{1ULL, ~0ULL}}) {
        record.sequence = sequence;
        record.generatedAtNs = time;
        EXPECT_FALSE(record.encodedData(&error));
        EXPECT_NE(error.find("signed 64-bit"), std::string::npos) << error;
    }
}

TEST_F(ClipboardBridgeTest, ANulInAFileNameBecomesADashNotACut) {
    auto ascii = [](std::string_view text) {
        Bytes object{static_cast<std::uint8_t>(0x50 | text.size())};
        for (char c : text) object.push_back(static_cast<std::uint8_t>(c));
        return object;
    };
    auto dict = [](std::vector<std::uint32_t> keys, std::vector<std::uint32_t> values) {
        Bytes object{static_cast<std::uint8_t>(0xD0 | keys.size())};
        keys.insert(keys.end(), values.begin(), values.end());
        for (auto ref : keys) object.insert(object.end(), {0, 0, 0, static_cast<std::uint8_t>(ref)});
        return object;
    };
    const auto list = binaryList({dict({1, 3, 5, 7}, {2, 4, 6, 8}), ascii("sourceID"), ascii("S"), ascii("sequence"),
                                  Bytes{0x10, 1}, ascii("generatedAtNs"), Bytes{0x10, 1}, ascii("items"),
                                  arrayOf({9}), dict({10, 12}, {11, 13}), ascii("kind"), ascii("files"),
                                  ascii("files"), arrayOf({14}), dict({15, 17, 19}, {16, 18, 20}), ascii("filename"),
                                  ascii(std::string_view("a\0b.txt", 7)), ascii("typeIdentifier"), ascii("t"),
                                  ascii("data"), Bytes{0x41, 'x'}});
    auto transfer = ClipboardTransfer::decode(list);
    ASSERT_TRUE(transfer);
    ASSERT_EQ(transfer->items.at(0).files.size(), 1u);
    bridge->handleRemoteTransfer(*transfer);
    const auto files = pasteboard->readFileURLs();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), "a-b.txt");
}

}  // namespace ClipboardTests
