#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/HexDigits.h"
#include "Platform/Core/UUID.h"

namespace UUIDAndBytesTests {

using namespace qm;

TEST(UUID, RandomIsVersion4AndRoundTripsThroughTextInEitherCase) {
    const auto id = UUID::random();
    EXPECT_EQ(id.bytes()[6] >> 4, 4);
    EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
    const auto text = id.uuidString();
    ASSERT_EQ(text.size(), 36u);
    for (char c : text) EXPECT_FALSE(c >= 'a' && c <= 'f') << text;
    EXPECT_EQ(UUID::parse(text), id);
    std::string lower = text;
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(UUID::parse(lower), id);
    EXPECT_NE(UUID::random(), id);
}

TEST(UUID, ParseRejectsMalformedText) {
    EXPECT_FALSE(UUID::parse(""));
    EXPECT_FALSE(UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5"));    // short
    EXPECT_FALSE(UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5FF"));  // long
    EXPECT_FALSE(UUID::parse("E621E1F8xC36C-495A-93FC-0C247A3E6E5F"));   // separator
    EXPECT_FALSE(UUID::parse("G621E1F8-C36C-495A-93FC-0C247A3E6E5F"));   // digit
    EXPECT_EQ(UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")->uuidString(),
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
}

TEST(HexDigits, OnlyTheTwentyTwoDigitsHaveAValueAndTheirNeighboursAreRefused) {
    // Every byte, including the ones a signed char makes negative: the characters just before
    // and after each range ('/', ':', '@', 'G', '`', 'g') are the ones an off-by-one would take.
    const std::string digits = "0123456789abcdef";
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const auto at = digits.find(static_cast<char>(byte < 128 ? std::tolower(byte) : byte));
        const int expected = at == std::string::npos ? -1 : static_cast<int>(at);
        EXPECT_EQ(hexDigitValue(c), expected) << "byte " << byte;
    }
}

TEST(ByteIO, ReaderNeverReadsPastTheEnd) {
    const Bytes data{0x01, 0x02, 0x03};
    ByteReader r(data);
    EXPECT_FALSE(r.u32());
    EXPECT_EQ(r.position(), 0u);  // a failed read leaves the position alone
    EXPECT_EQ(r.u16(), 0x0201);
    EXPECT_FALSE(r.u16());
    EXPECT_EQ(r.u8(), 0x03);
    EXPECT_FALSE(r.u8());
    EXPECT_FALSE(r.bytes(1));
    EXPECT_TRUE(r.atEnd());
}

TEST(ByteIO, WriterAndReaderAgreeOnLittleEndian) {
    ByteWriter w;
    w.u8(0xAB).u16(0x1234).u32(0xDEADBEEF).u64(0x0102030405060708ULL).i16(-2).i32(-3).f64(1.5);
    const auto bytes = w.take();
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(bytes[2], 0x12);
    ByteReader r(bytes);
    EXPECT_EQ(r.u8(), 0xAB);
    EXPECT_EQ(r.u16(), 0x1234);
    EXPECT_EQ(r.u32(), 0xDEADBEEFu);
    EXPECT_EQ(r.u64(), 0x0102030405060708ULL);
    EXPECT_EQ(r.i16(), -2);
    EXPECT_EQ(r.i32(), -3);
    EXPECT_EQ(r.f64(), 1.5);
    EXPECT_TRUE(r.atEnd());
}

TEST(ByteIO, Utf8Validation) {
    EXPECT_TRUE(isValidUTF8(std::string_view("plain ascii")));
    EXPECT_TRUE(isValidUTF8(std::string_view("Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80")));
    EXPECT_FALSE(isValidUTF8(std::string_view("\xC3")));              // cut short
    EXPECT_FALSE(isValidUTF8(std::string_view("\xC0\xAF")));          // overlong
    EXPECT_FALSE(isValidUTF8(std::string_view("\xED\xA0\x80")));      // surrogate
    EXPECT_FALSE(isValidUTF8(std::string_view("\xF4\x90\x80\x80")));  // past U+10FFFF
    EXPECT_FALSE(isValidUTF8(std::string_view("\xFF")));
}

}  // namespace UUIDAndBytesTests
