#include <gtest/gtest.h>

#include "QuillmereProfiles/FileTransferDocuments.h"

namespace FileTransferDocumentsTests {

using namespace qm;
namespace docs = qm::FileTransferDocuments;

namespace {
Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string textOf(const Bytes& b) { return std::string(b.begin(), b.end()); }
}  // namespace

TEST(FileTransferDocuments, ItemNamesAreTrimmedUniqueAndCapped) {
    EXPECT_EQ(docs::transferItemNames({"/x/a", "/y/ a ", "/z/b", "/w/b/", ""}), (std::vector<std::string>{"a", "b"}));
    std::vector<std::filesystem::path> many;
    for (int i = 0; i < 70; ++i) many.push_back("/d/item" + std::to_string(i));
    auto names = docs::transferItemNames(many);
    ASSERT_EQ(names.size(), 64u);
    EXPECT_EQ(names.back(), "item63");

    EXPECT_TRUE(docs::encodeItemNames({}).empty());
    EXPECT_EQ(textOf(docs::encodeItemNames({"a", "ü"})), "[\"a\",\"ü\"]");
    EXPECT_EQ(docs::decodeItemNames(bytesOf("[\" a\\n\",\"  \",\"a\"]")), (std::vector<std::string>{"a", "a"}));
    EXPECT_TRUE(docs::decodeItemNames(bytesOf("{\"a\":1}")).empty());
    EXPECT_TRUE(docs::decodeItemNames(bytesOf("[\"a\"")).empty());
    EXPECT_EQ(docs::trimmed("\u00a0\u3000name\u2028"), "name");
}

TEST(FileTransferDocuments, ListingsRoundTripAndFailWhole) {
    std::vector<RemoteDirectoryEntry> entries{{"z", true, 0, 1700000000.25}, {"A", false, 12, std::nullopt}};
    EXPECT_EQ(textOf(docs::encodeListing(entries)), R"([{"n":"z","d":true,"s":0,"t":1700000000.25},{"n":"A","d":false,"s":12}])");
    EXPECT_EQ(docs::decodeListing(docs::encodeListing(entries)), entries);
    EXPECT_EQ(textOf(docs::encodeListing({})), "[]");

    auto sparse = docs::decodeListing(bytesOf(R"([{"n":"a","d":false,"t":0}])"));
    ASSERT_EQ(sparse.size(), 1u);
    EXPECT_EQ(sparse[0].size, 0u);
    EXPECT_EQ(sparse[0].modificationDate, 0.0);  // the epoch, not a missing date
    EXPECT_TRUE(docs::decodeListing(bytesOf(R"([{"n":"a","d":false},{"n":"b"}])")).empty());
    EXPECT_TRUE(docs::decodeListing(bytesOf(R"([{"n":"a","d":false,"s":-1}])")).empty());
    EXPECT_TRUE(docs::decodeListing(bytesOf("nonsense")).empty());
}

TEST(FileTransferDocuments, PeerSendDocuments) {
    FileTransferPeerSendRequest request({"~/a", "/b"}, "~/Downloads", FileTransferDeliveryOptions(3));
    EXPECT_EQ(textOf(request.encoded()),
              R"({"sourcePaths":["~/a","/b"],"destination":"~/Downloads","deliveryOptionsRawValue":3})");
    auto decoded = FileTransferPeerSendRequest::decode(request.encoded());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, request);
    EXPECT_TRUE(decoded->deliveryOptions().contains(FileTransferDeliveryOptions::backupBeforeOverwrite));
    EXPECT_FALSE(FileTransferPeerSendRequest::decode(bytesOf(R"({"sourcePaths":[],"destination":"d"})")));

    EXPECT_EQ(textOf(FileTransferPeerSendResponse{true, std::nullopt}.encoded()), R"({"accepted":true})");
    EXPECT_EQ(FileTransferPeerSendResponse::decode(bytesOf(R"({"accepted":false,"message":null})")),
              (FileTransferPeerSendResponse{false, std::nullopt}));
    EXPECT_EQ(FileTransferPeerSendResponse::decode(bytesOf(R"({"accepted":true,"message":"ok"})"))->message, "ok");
    EXPECT_FALSE(FileTransferPeerSendResponse::decode(bytesOf(R"({"message":"ok"})")));
}

TEST(FileTransferDocuments, NamesWithANulAndDatesNoCalendarShowsAreRefused) {
    // A NUL cuts a name short wherever it becomes a path: every reader refuses it.
    EXPECT_TRUE(docs::decodeItemNames(bytesOf(R"(["a","b\u0000c"])")).empty());
    EXPECT_TRUE(docs::decodeListing(bytesOf(R"([{"n":"a\u0000b","d":false}])")).empty());
    EXPECT_FALSE(FileTransferPeerSendRequest::decode(
        bytesOf(R"({"sourcePaths":["a\u0000"],"destination":"d","deliveryOptionsRawValue":0})")));
    EXPECT_FALSE(FileTransferPeerSendRequest::decode(
        bytesOf(R"({"sourcePaths":["a"],"destination":"d\u0000","deliveryOptionsRawValue":0})")));

    // Dates far outside any calendar (the browser turns a date into an integer to show it).
    auto dates = docs::decodeListing(bytesOf(
        R"([{"n":"a","d":false,"t":1e300},{"n":"b","d":false,"t":-1e300},{"n":"c","d":false,"t":253402300799},)"
        R"({"n":"d","d":false,"t":253402300800},{"n":"e","d":false,"t":-62135596800}])"));
    ASSERT_EQ(dates.size(), 5u);
    EXPECT_FALSE(dates[0].modificationDate);
    EXPECT_FALSE(dates[1].modificationDate);
    EXPECT_EQ(dates[2].modificationDate, 253402300799.0);
    EXPECT_FALSE(dates[3].modificationDate);
    EXPECT_EQ(dates[4].modificationDate, -62135596800.0);
}

TEST(FileTransferDocuments, ByteAndItemTexts) {
    EXPECT_EQ(byteString(0), "0.0 KB");
    EXPECT_EQ(byteString(1023), "1.0 KB");
    EXPECT_EQ(byteString(999999), "976.6 KB");
    EXPECT_EQ(byteString(1000000), "1.0 MB");
    EXPECT_EQ(byteString(1048576), "1.0 MB");
    EXPECT_EQ(byteString(1500000), "1.5 MB");
    EXPECT_EQ(fileTransferItemDescription(0), "0 items");
    EXPECT_EQ(fileTransferItemDescription(1), "1 item");
}

}  // namespace FileTransferDocumentsTests
