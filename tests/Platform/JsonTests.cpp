#include <gtest/gtest.h>

#include "Platform/Json.h"

namespace JsonTests {

using namespace qm;

TEST(Json, ReadsOneDocumentAndRefusesAnythingElseWithoutThrowing) {
    const std::string text = R"({"a": [1, "é"]})";
    const auto fromText = parseJson(text);
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    EXPECT_EQ(parseJson(bytes), fromText);
    EXPECT_EQ(fromText["a"][1], "é");
    for (std::string_view bad : {"", "{", R"({"a": 1} x)", "[1,]", "\"\xC3\x28\""}) {
        EXPECT_TRUE(parseJson(bad).is_discarded()) << bad;
    }
}

TEST(Json, WritesOnOneLineOrIndentedAndReplacesWhatIsNotUtf8) {
    nlohmann::ordered_json ordered{{"z", 1}, {"a", "é"}};
    EXPECT_EQ(jsonText(ordered), R"({"z":1,"a":"é"})");
    EXPECT_EQ(jsonText(nlohmann::json{{"k", true}}, 2), "{\n  \"k\": true\n}");
    EXPECT_EQ(jsonText(nlohmann::json("a\xFF" "b")), "\"a\xEF\xBF\xBD" "b\"");
}

}  // namespace JsonTests
