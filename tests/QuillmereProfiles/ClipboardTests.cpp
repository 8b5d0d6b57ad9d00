#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>

#include "Platform/Core/ByteIO.h"
#include "Platform/Images.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "support/TestPlatform.h"

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
    ClipboardTransfer transfer{"ABC-123", 0xFFFFFFFFFFFFFFFFULL, 1234567890123ULL,
                               {textTransfer("héllo").items[0], image, files}};

    auto bytes = transfer.encodedData();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "bplist00");
    auto decoded = ClipboardTransfer::decode(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sourceID, "ABC-123");
    EXPECT_EQ(decoded->sequence, 0xFFFFFFFFFFFFFFFFULL);
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
}
