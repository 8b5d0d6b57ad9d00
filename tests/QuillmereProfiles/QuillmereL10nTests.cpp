#include "QuillmereProfiles/QuillmereL10n.h"

#include <gtest/gtest.h>

#include <fstream>

#include "Platform/UserDefaults.h"
#include "support/TestPlatform.h"

namespace qm::test {
namespace QuillmereL10nTests {
namespace {

struct L10nHarness {
    L10nHarness() {
        for (const auto* id : {"ja", "de", "fr"}) std::filesystem::create_directories(folder.path() / (std::string(id) + ".lproj"));
        std::ofstream(folder.path() / "ja.lproj" / "Localizable.json") << R"({"host.refreshButton": "更新"})";
        std::ofstream(folder.path() / "de.lproj" / "Localizable.json")
            << R"({"host.refreshButton": "Aktualisieren", "host.ipsInlineMoreFormat": "Host-IPs: %@ + %d weitere",
                  "bad.format": "%d Dinge von %@", "swap.format": "%2$@ – %1$@"})";
        std::ofstream(folder.path() / "fr.lproj" / "Localizable.json") << "not json";
        QuillmereL10n::Environment environment;
        environment.defaults = store;
        environment.resources = folder.path();
        environment.preferredSystemLanguages = {"fr_FR.UTF-8"};
        environment.systemLocale = "fr_FR";
        environment.postLocalNotification = [this] { ++localPosts; };
        environment.postDistributedNotification = [this](const std::string& name, const QuillmereL10n::UserInfo& info) {
            distributed.emplace_back(name, info);
        };
        QuillmereL10n::configure(environment);
    }
    ~L10nHarness() { QuillmereL10n::configure({}); }
    UserDefaults& standard() { return *store->standard(); }
    UserDefaults& suite() { return *store->suite(QuillmereL10n::sharedSuiteName); }

    TemporaryDirectory folder;
    std::shared_ptr<InMemoryUserDefaultsStore> store = std::make_shared<InMemoryUserDefaultsStore>();
    int localPosts = 0;
    std::vector<std::pair<std::string, QuillmereL10n::UserInfo>> distributed;
};

TEST(QuillmereL10n, OverrideComesFromStandardThenSuiteAndIsValidated) {
    L10nHarness h;
    EXPECT_EQ(QuillmereL10n::languageOverride(), "system");
    EXPECT_EQ(QuillmereL10n::currentLanguageDisplayName(), "System Default");
    EXPECT_EQ(QuillmereL10n::formatLocaleIdentifier(), "fr_FR");
    h.suite().set(QuillmereL10n::overrideKey, std::string("de"));
    EXPECT_EQ(QuillmereL10n::languageOverride(), "de");
    h.standard().set(QuillmereL10n::overrideKey, std::string("EN"));
    EXPECT_EQ(QuillmereL10n::languageOverride(), "system") << "an invalid standard value is not overridden by the suite";
    h.standard().set(QuillmereL10n::overrideKey, std::string("fr"));
    EXPECT_EQ(QuillmereL10n::currentLanguageDisplayName(), "Français");
    h.store->makeSuiteUnavailable(QuillmereL10n::sharedSuiteName);
    h.standard().remove(QuillmereL10n::overrideKey);
    EXPECT_EQ(QuillmereL10n::languageOverride(), "system");
    EXPECT_EQ(QuillmereL10n::availableLanguages().size(), 9u);
    EXPECT_EQ(QuillmereL10n::availableLanguages()[3], (QuillmereLanguage{"zh-Hant", "繁體中文"}));
}

TEST(QuillmereL10n, LookupsFallBackToTheEnglishDefault) {
    L10nHarness h;
    // System: French is preferred, but its strings file is broken: English defaults.
    EXPECT_EQ(QuillmereL10n::text("host.refreshButton", "Refresh"), "Refresh");
    h.standard().set(QuillmereL10n::overrideKey, std::string("ja"));
    EXPECT_EQ(QuillmereL10n::text("host.refreshButton", "Refresh"), "更新");
    EXPECT_EQ(QuillmereL10n::text("host.missing", "Missing"), "Missing");
    EXPECT_EQ(QuillmereL10n::formatLocaleIdentifier(), "ja");
    h.standard().set(QuillmereL10n::overrideKey, std::string("ko"));
    EXPECT_EQ(QuillmereL10n::text("host.refreshButton", "Refresh"), "Refresh") << "no ko.lproj: the main bundle";
    EXPECT_EQ(QuillmereL10n::formatLocaleIdentifier(), "ko");
}

TEST(QuillmereL10n, FormatsFillArgumentsAndSurviveMismatchedTranslations) {
    L10nHarness h;
    h.standard().set(QuillmereL10n::overrideKey, std::string("de"));
    EXPECT_EQ(QuillmereL10n::format("host.ipsInlineMoreFormat", "Host IPs: %@ + %d more", "a, b", 2),
              "Host-IPs: a, b + 2 weitere");
    // The translation puts an integer where a string goes: the English default is used.
    EXPECT_EQ(QuillmereL10n::format("bad.format", "%@ of %d", "things", 3), "things of 3");
    EXPECT_EQ(QuillmereL10n::format("swap.format", "%@ then %@", "one", "two"), "two – one");
    EXPECT_EQ(QuillmereL10n::format("x", "100%% of %@", "it"), "100% of it");
    // Even a default that does not fit its arguments never crashes.
    EXPECT_EQ(QuillmereL10n::format("x", "%@ and %@", "only"), "only and ");
    EXPECT_EQ(QuillmereL10n::format("x", "%s", "c-string"), "%s");
}

TEST(QuillmereL10n, SettingAndReceivingStoreNormaliseAndAnnounce) {
    L10nHarness h;
    QuillmereL10n::setLanguageOverride("fr");
    EXPECT_EQ(h.standard().string(QuillmereL10n::overrideKey), "fr");
    EXPECT_EQ(h.suite().string(QuillmereL10n::overrideKey), "fr");
    QuillmereL10n::setLanguageOverride("zh-hant");
    EXPECT_FALSE(h.standard().string(QuillmereL10n::overrideKey));
    EXPECT_FALSE(h.suite().string(QuillmereL10n::overrideKey));
    ASSERT_EQ(h.distributed.size(), 2u);
    EXPECT_EQ(h.distributed[1].first, "QuillmereLanguageChangedDistributed");
    EXPECT_EQ(h.distributed[1].second.at("languageIdentifier"), "system");
    QuillmereL10n::applyReceivedLanguageOverride("es");
    EXPECT_EQ(h.suite().string(QuillmereL10n::overrideKey), "es");
    EXPECT_EQ(h.localPosts, 3);
    EXPECT_EQ(h.distributed.size(), 2u) << "a received change is never echoed";
}

}  // namespace
}  // namespace QuillmereL10nTests
}  // namespace qm::test
