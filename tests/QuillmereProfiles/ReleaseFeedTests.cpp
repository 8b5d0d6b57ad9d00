#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/QuillmereReleaseChannels.h"
#include "QuillmereProfiles/QuillmereReleaseFeed.h"
#include "support/LocalHttpsServer.h"

namespace qm {
namespace ReleaseFeedTests {
namespace {

using Service = QuillmereReleaseFeedService;

bool available(const std::string& version, const std::string& build, const std::string& latestVersion,
               const std::string& latestBuild) {
    return Service::isUpdateAvailable(version, build, {latestVersion, latestBuild});
}

TEST(ReleaseFeed, VersionsCompareNumericallyAndTheVersionOutweighsTheBuild) {
    EXPECT_TRUE(available("1.2", "10", "1.2.0", "11"));
    EXPECT_FALSE(available("1.10", "5", "1.9", "5"));
    EXPECT_TRUE(available("2.0", "50", "2.1", "3"));
    EXPECT_FALSE(available("2.1", "3", "2.0", "99"));
    EXPECT_FALSE(available("1.2.0.0", "11", "1.2", "11"));
    EXPECT_TRUE(available(" 1.2\n", "\t10 ", "1.3", "1"));
    EXPECT_EQ(Service::compareVersionComponents({}, {}), 0);
}

TEST(ReleaseFeed, UnusableVersionsAndBuildsNeverReportAnUpdate) {
    for (const char* version : {"v1.2", "1.2-beta", "1..2", "1.2.", ".1", "", "unknown", "1.x.5", "1.\xD9\xA3",
                                "1.99999999999999999999"}) {
        EXPECT_FALSE(Service::versionComponents(version)) << version;
        EXPECT_FALSE(available(version, "1", "9.9", "9")) << version;
        EXPECT_FALSE(available("0.1", "1", version, "9")) << version;
    }
    for (const char* build : {"0", "000", "+5", "-5", "", "12a", "99999999999999999999"}) {
        EXPECT_FALSE(Service::buildNumber(build)) << build;
        EXPECT_FALSE(available("1.0", build, "1.0", "9")) << build;
        EXPECT_FALSE(available("1.0", "1", "1.0", build)) << build;
    }
    EXPECT_EQ(Service::versionComponents("1.02.3"), (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(ReleaseFeed, DecodingNeedsBothProductsWithStringFields) {
    auto feed = QuillmereReleaseFeed::decode(
        R"({"viewer":{"version":"2.0","build":"20"},"host":{"version":"1.5","build":"150","notes":"x"},"channel":"beta"})");
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed->host, (QuillmereReleaseFeed::Product{"1.5", "150"}));
    EXPECT_EQ(feed->host.displayString(), "V1.5 (150)");
    EXPECT_FALSE(QuillmereReleaseFeed::decode(R"({"host":{"version":"1.5","build":"150"}})"));
    EXPECT_FALSE(QuillmereReleaseFeed::decode(R"({"viewer":{"version":"2","build":"2"},"host":{"version":"1.5","build":150}})"));
    EXPECT_FALSE(QuillmereReleaseFeed::decode(R"({"Viewer":{"version":"2","build":"2"},"host":{"version":"1","build":"1"}})"));
    EXPECT_FALSE(QuillmereReleaseFeed::decode("<html>not json</html>"));
}

TEST(ReleaseFeed, AnInstalledHostInTheUsersFolderWithoutABuildReportsItsVersionTwice) {
    if (std::filesystem::exists(Service::installedHostApplicationCandidates().front())) GTEST_SKIP();
    test::TemporaryDirectory home;
    const char* previous = std::getenv("HOME");
    const std::string saved = previous ? previous : "";
    ::setenv("HOME", home.path().c_str(), 1);
    EXPECT_FALSE(Service::installedHostVersion());
    const auto folder = home.path() / ".local/opt/quillmere-host";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "version.json") << R"({"version":"1.5.2","build":""})";
    EXPECT_EQ(Service::installedHostVersion(), (QuillmereReleaseFeed::Product{"1.5.2", "1.5.2"}));
    std::ofstream(folder / "version.json") << R"({"version":"","build":"12"})";
    EXPECT_FALSE(Service::installedHostVersion());
    if (previous) ::setenv("HOME", saved.c_str(), 1);
    else ::unsetenv("HOME");
}

class ReleaseFeedFetch : public ::testing::Test {
protected:
    std::optional<QuillmereReleaseFeed> fetch(double timeout = Service::requestTimeoutSeconds, bool trusted = true) {
        Service::FetchOptions options;
        options.url = server.url("/latest.json");
        if (trusted) options.trustedCertificates = server.certificate();
        options.timeoutSeconds = timeout;
        return Service::fetchLatestFeedNow(options);
    }
    test::LocalHttpsServer server;
    const std::string feedText = R"({"viewer":{"version":"3.1","build":"31"},"host":{"version":"1.6","build":"160"},"extra":[1,2]})";
};

TEST_F(ReleaseFeedFetch, OnlyASuccessfulResponseWithAFeedBodyGivesAFeed) {
    server.respond(200, feedText);
    auto feed = fetch();
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed->host, (QuillmereReleaseFeed::Product{"1.6", "160"}));
    ASSERT_FALSE(server.requests().empty());
    EXPECT_EQ(server.requests().front(), "GET /latest.json HTTP/1.1");

    for (int status : {304, 404, 500}) {
        server.respond(status, feedText);
        EXPECT_FALSE(fetch()) << status;
    }
    server.respond(200, "this is not JSON");
    EXPECT_FALSE(fetch());
    server.respond(200, R"({"viewer":{"version":"3.1","build":"31"},"host":{"version":"1.6","build":160}})");
    EXPECT_FALSE(fetch());
    server.respond(200, std::string(Service::maximumFeedBytes + 1, ' ') + feedText);
    EXPECT_FALSE(fetch());
}

TEST_F(ReleaseFeedFetch, AnUntrustedCertificateIsRefused) {
    server.respond(200, feedText);
    EXPECT_FALSE(fetch(Service::requestTimeoutSeconds, false));
    EXPECT_TRUE(fetch());  // the same server, trusted
}

TEST_F(ReleaseFeedFetch, AServerThatNeverAnswersTimesOut) {
    server.stall();
    EXPECT_FALSE(fetch(0.5));
}

TEST(ReleaseChannels, AddressesCarryTheWebsiteLocale) {
    QuillmereL10n::Environment environment;
    environment.preferredSystemLanguages = {"zh_TW"};
    QuillmereL10n::configure(environment);
    QuillmereReleaseChannels::setProductWebsiteRoot("https://product.test");
    QuillmereReleaseChannels::setMainWebsiteRoot("https://maker.test/");

    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string("zh-Hans")), "zh");
    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string("zh-Hant")), "zh-Hant");
    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string("pt-BR")), "en");
    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string("en-GB")), "en");
    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string("ja-JP")), "ja");
    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string(" SyStem \n")), "zh-Hant");
    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::nullopt), "zh-Hant");
    for (const char* system : {"zh-HK", "zh_MO"}) {
        environment.preferredSystemLanguages = {system};
        QuillmereL10n::configure(environment);
        EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string("system")), "zh-Hant") << system;
    }
    environment.preferredSystemLanguages = {};
    QuillmereL10n::configure(environment);
    EXPECT_EQ(QuillmereReleaseChannels::websiteLocale(std::string("system")), "en");

    EXPECT_EQ(QuillmereReleaseChannels::localizedProductURL("guide", std::string("clipboard"), std::string("ja")),
              "https://product.test/ja/guide#clipboard");
    EXPECT_EQ(QuillmereReleaseChannels::localizedProductURL("", std::string("install-guide"), std::string("de")),
              "https://product.test/de#install-guide");
    EXPECT_EQ(QuillmereReleaseChannels::localizedMainURL("/legal/privacy/"), "https://maker.test/en/legal/privacy");
    EXPECT_EQ(QuillmereReleaseChannels::latestReleaseFeedURL(), "https://product.test/latest.json");

    QuillmereReleaseChannels::setProductWebsiteRoot("not a root");
    EXPECT_FALSE(QuillmereReleaseChannels::localizedProductURL("download"));
    EXPECT_FALSE(QuillmereReleaseChannels::latestReleaseFeedURL());
    QuillmereReleaseChannels::setProductWebsiteRoot("");
    QuillmereReleaseChannels::setMainWebsiteRoot("");
    QuillmereL10n::configure({});
}

}  // namespace
}  // namespace ReleaseFeedTests
}  // namespace qm
