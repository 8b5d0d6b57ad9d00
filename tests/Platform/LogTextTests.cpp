#include <gtest/gtest.h>

#include "Platform/Core/LogText.h"

namespace LogTextTests {

using qm::escapedForLog;

TEST(LogText, ControlCharactersCannotStartOrForgeALine) {
    EXPECT_EQ(escapedForLog("Alice's iPad"), "Alice's iPad");
    EXPECT_EQ(escapedForLog("x\n[QuillmereHost] signed in\r\tok"), "x\\n[QuillmereHost] signed in\\r\\tok");
    EXPECT_EQ(escapedForLog(std::string_view("a\0b\x1b[31m\x7f", 9)), "a\\x00b\\x1B[31m\\x7F");
    // A literal backslash is doubled, so "\n" in the log always means a newline was sent.
    EXPECT_EQ(escapedForLog("a\\nb"), "a\\\\nb");
    // C1 controls (U+0085 is a line break to some readers) are escaped; other text passes.
    EXPECT_EQ(escapedForLog("a\xC2\x85" "b\xC2\x9B"), "a\\x85b\\x9B");
    EXPECT_EQ(escapedForLog("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
}

TEST(LogText, InvalidUTF8IsShownBytewise) {
    EXPECT_EQ(escapedForLog("\xFF\xFE"), "\\xFF\\xFE");
    EXPECT_EQ(escapedForLog("a\x80" "b"), "a\\x80b");              // stray continuation byte
    EXPECT_EQ(escapedForLog("\xC0\xAF"), "\\xC0\\xAF");            // overlong "/"
    EXPECT_EQ(escapedForLog("\xED\xA0\x80"), "\\xED\\xA0\\x80");   // a surrogate
    EXPECT_EQ(escapedForLog("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");  // past U+10FFFF
    EXPECT_EQ(escapedForLog("ok\xE2\x82"), "ok\\xE2\\x82");        // cut at the end
}

TEST(LogText, LongTextIsCutAtACharacterBoundaryWithinTheLimit) {
    EXPECT_EQ(escapedForLog("abcde", 5), "abcde");  // fits exactly: no ellipsis
    EXPECT_EQ(escapedForLog("abcdef", 5), "ab\xE2\x80\xA6");
    EXPECT_EQ(escapedForLog(std::string(10000, 'x')).size(), 256u);

    // Never half a character or half an escape before the ellipsis.
    const std::string euros = "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";
    EXPECT_EQ(escapedForLog(euros, 8), "\xE2\x82\xAC\xE2\x80\xA6");
    EXPECT_EQ(escapedForLog("a\n\n\n", 5), "a\xE2\x80\xA6");  // not "a\\" + "…"
    for (std::size_t limit = 0; limit < 12; ++limit) {
        EXPECT_LE(escapedForLog("\x01\x02\x03\x04", limit).size(), limit) << limit;
    }
}

}  // namespace LogTextTests
