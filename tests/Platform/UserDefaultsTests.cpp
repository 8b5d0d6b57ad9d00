#include "Platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/TestPlatform.h"

namespace qm::test {
namespace UserDefaultsTests {
namespace {

TEST(UserDefaults, JsonFilePersistsAtomicallyAndKeepsTypes) {
    TemporaryDirectory folder;
    {
        JsonFileUserDefaultsStore store(folder.path() / "defaults", "host");
        store.standard()->set("host.autoUpdate.enabled", true);
        store.standard()->set("app.languageOverride", std::string("de"));
        store.suite("com.dravon.quillmere.shared")->set("app.languageOverride", std::string("fr"));
        store.standard()->setData("quillmere.filesync.localBookmarks", {0x00, 0xFF, 0x10, 0x7F, 0x80});
        EXPECT_FALSE(store.suite("../escape"));
        EXPECT_FALSE(store.suite(""));
    }
    JsonFileUserDefaultsStore reopened(folder.path() / "defaults", "host");
    EXPECT_TRUE(reopened.standard()->boolean("host.autoUpdate.enabled"));
    EXPECT_EQ(reopened.standard()->string("app.languageOverride"), "de");
    EXPECT_FALSE(reopened.standard()->string("host.autoUpdate.enabled")) << "a Bool does not read as a string";
    EXPECT_FALSE(reopened.standard()->boolean("app.languageOverride"));
    EXPECT_EQ(reopened.suite("com.dravon.quillmere.shared")->string("app.languageOverride"), "fr");
    EXPECT_EQ(reopened.standard()->data("quillmere.filesync.localBookmarks"),
              (UserDefaults::Bytes{0x00, 0xFF, 0x10, 0x7F, 0x80}));
    reopened.standard()->remove("app.languageOverride");
    for (const auto& entry : std::filesystem::directory_iterator(folder.path() / "defaults")) {
        EXPECT_EQ(entry.path().extension(), ".json") << "no temporary file is left behind: " << entry.path();
    }
    EXPECT_TRUE(reopened.problems().empty());
}

TEST(UserDefaults, AnUnreadableFileIsKeptAsideAndReported) {
    TemporaryDirectory folder;
    std::filesystem::create_directories(folder.path() / "defaults");
    std::ofstream(folder.path() / "defaults" / "host.json") << "{\"host.launchAtLogin.desired\": tru";
    JsonFileUserDefaultsStore store(folder.path() / "defaults", "host");
    EXPECT_FALSE(store.standard()->boolean("host.launchAtLogin.desired"));
    ASSERT_EQ(store.problems().size(), 1u);
    EXPECT_NE(store.problems()[0].find("kept as"), std::string::npos);
    std::ifstream kept(folder.path() / "defaults" / "host.json.unreadable-1");
    std::string content((std::istreambuf_iterator<char>(kept)), {});
    EXPECT_EQ(content, "{\"host.launchAtLogin.desired\": tru");
    store.standard()->set("host.launchAtLogin.desired", true);
    JsonFileUserDefaultsStore reopened(folder.path() / "defaults", "host");
    EXPECT_TRUE(reopened.standard()->boolean("host.launchAtLogin.desired"));
}

TEST(UserDefaults, MembersOfOtherTypesSurviveARewrite) {
    TemporaryDirectory folder;
    std::filesystem::create_directories(folder.path() / "defaults");
    const auto file = folder.path() / "defaults" / "shared.json";
    std::ofstream(file) << R"({"app.languageOverride": "de", "count": 12, "ratio": 0.1, "big": 18446744073709551615,
        "list": [1, "two", null], "nothing": null, "nested": {"a": {"b": [true]}},
        "badBytes": {"base64": "@@@"}, "unpadded": {"base64": "QQ"}, "moreThanBytes": {"base64": "AA==", "tag": 1}})";
    JsonFileUserDefaultsStore store(folder.path() / "defaults", "host");
    auto suite = store.suite("shared");
    EXPECT_FALSE(suite->value("count")) << "not a type this domain reads";
    suite->set("app.languageOverride", std::string("fr"));
    suite->set("nothing", true);  // the Host's own value replaces what it did not understand

    std::ifstream in(file);
    const auto written = nlohmann::json::parse(in);
    const auto expected = nlohmann::json::parse(R"({"app.languageOverride": "fr", "count": 12, "ratio": 0.1,
        "big": 18446744073709551615, "list": [1, "two", null], "nothing": true, "nested": {"a": {"b": [true]}},
        "badBytes": {"base64": "@@@"}, "unpadded": {"base64": "QQ"}, "moreThanBytes": {"base64": "AA==", "tag": 1}})");
    EXPECT_EQ(written, expected) << written.dump();
    EXPECT_TRUE(store.problems().empty());
}

TEST(UserDefaults, OnlyBoundedRegularFilesAreReadAndOthersAreKeptAside) {
    TemporaryDirectory folder;
    const auto defaults = folder.path() / "defaults";
    std::filesystem::create_directories(defaults);
    // A FIFO would block a reader for ever; a link to a device never ends; a huge file eats memory.
    ASSERT_EQ(::mkfifo((defaults / "fifo.json").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", defaults / "zero.json");
    {
        std::ofstream big(defaults / "big.json");
        big << "{\"k\": \"" << std::string(JsonFileUserDefaults::maxFileBytes, 'x') << "\"}";
    }
    JsonFileUserDefaultsStore store(defaults, "host");
    for (const std::string name : {"fifo", "zero", "big"}) {
        auto suite = store.suite(name);
        ASSERT_TRUE(suite);
        EXPECT_FALSE(suite->value("k"));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(defaults / (name + ".json")))) << name;
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(defaults / (name + ".json.unreadable-1"))))
            << name;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(defaults / "fifo.json.unreadable-1"));
    EXPECT_EQ(std::filesystem::file_size(defaults / "big.json.unreadable-1"), JsonFileUserDefaults::maxFileBytes + 9);
    const auto problems = store.problems();
    ASSERT_EQ(problems.size(), 3u);
    for (const auto& problem : problems) EXPECT_NE(problem.find("kept as"), std::string::npos) << problem;
    EXPECT_EQ(std::count_if(problems.begin(), problems.end(),
                            [](const std::string& p) { return p.find("not a regular file") != std::string::npos; }),
              2);
}

TEST(UserDefaults, TextThatIsNotUTF8AndFailedRewritesAreReportedOncePerKeyAndCause) {
    TemporaryDirectory folder;
    const auto defaults = folder.path() / "defaults";
    std::vector<std::string> reports;
    JsonFileUserDefaultsStore store(defaults, "host", [&](const std::string& line) { reports.push_back(line); });
    auto standard = store.standard();
    standard->set("name", std::string("ok"));
    standard->set("name", std::string("bad \xC3\x28 text"));
    EXPECT_EQ(standard->string("name"), "ok") << "refused, not stored";
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("\"name\""), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("not UTF-8"), std::string::npos) << reports[0];

    // The folder turns read-only (root ignores modes, so a file where the temporary would go
    // cannot be used: the folder itself is replaced by a file).
    std::filesystem::remove_all(defaults);
    std::ofstream(defaults) << "not a folder";
    standard->set("a", true);
    standard->set("a", false);
    standard->set("a", true);
    standard->set("b", true);
    ASSERT_EQ(reports.size(), 3u) << "once for a, once for b";
    EXPECT_NE(reports[1].find("could not save \"a\" in " + (defaults / "host.json").string()), std::string::npos)
        << reports[1];
    EXPECT_NE(reports[2].find("\"b\""), std::string::npos);
    EXPECT_TRUE(standard->boolean("b")) << "the change holds for this run";
}

}  // namespace
}  // namespace UserDefaultsTests
}  // namespace qm::test
