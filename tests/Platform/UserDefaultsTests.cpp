#include "Platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TestPlatform.h"

namespace qm::test {
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

}  // namespace
}  // namespace qm::test
