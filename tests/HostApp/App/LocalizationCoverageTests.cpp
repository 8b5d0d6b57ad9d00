// Every text the Host's code looks up has a translation in each shipped language table. The keys
// are read from the sources themselves, so a new text without translations fails here.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace LocalizationCoverageTests {

namespace {

namespace fs = std::filesystem;

std::string readWhole(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Key -> English default, from every `text("key", "default")` and `format("key", "default", ...)`
// call of the Host's code. The file browser's folder is left out: it belongs to the Viewer that
// embeds it, whose own tables carry its texts.
std::map<std::string, std::string> keysInSources() {
    static const std::regex call(R"re(\b(?:text|format)\(\s*"((?:host|menu|common|update)\.[A-Za-z0-9_.]+)"\s*,\s*((?:"(?:[^"\\]|\\.)*"\s*)+))re");
    static const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
    std::map<std::string, std::string> keys;
    for (const auto* folder : {"HostApp", "QuillmereProfiles"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(QM_SOURCE_DIR) / folder)) {
            const auto& path = entry.path();
            if (path.string().find("/UI/") != std::string::npos) continue;
            if (path.extension() != ".cpp" && path.extension() != ".h") continue;
            const auto source = readWhole(path);
            for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
                std::string english;
                const std::string pieces = (*it)[2];
                for (std::sregex_iterator piece(pieces.begin(), pieces.end(), literal); piece != end; ++piece) {
                    english += (*piece)[1];
                }
                keys[(*it)[1]] = english;
            }
        }
    }
    return keys;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

TEST(LocalizationCoverage, EveryKeyTheCodeUsesIsTranslatedInEveryLanguage) {
    const auto keys = keysInSources();
    // The scan itself works: it finds the quit question, the update alerts and the menus.
    ASSERT_GT(keys.size(), 100u);
    for (const auto* known : {"host.quitTitle", "host.keepRunningButton", "common.ok", "common.cancel",
                              "update.progressTitle", "menu.services", "host.screenSharingWaitingFormat"}) {
        EXPECT_TRUE(keys.count(known)) << known << " was not found in the sources";
    }
    EXPECT_EQ(keys.at("host.quitTitle"), "Quit Corventis Host?");

    // English is the code's own defaults; the table is there (and empty or in step).
    const fs::path resources = QM_HOST_RESOURCES_DIR;
    const auto english = nlohmann::json::parse(readWhole(resources / "en.lproj" / "Localizable.json"));
    for (const auto& [key, value] : english.items()) {
        if (keys.count(key)) {
            EXPECT_EQ(value.get<std::string>(), keys.at(key)) << "en: " << key;
        }
    }

    for (const auto* language : {"de", "es", "fr", "ja", "ko", "zh-Hans", "zh-Hant"}) {
        SCOPED_TRACE(language);
        const auto file = resources / (std::string(language) + ".lproj") / "Localizable.json";
        ASSERT_TRUE(fs::is_regular_file(file)) << file;
        const auto table = nlohmann::json::parse(readWhole(file));
        std::set<std::string> missing;
        for (const auto& [key, englishText] : keys) {
            auto found = table.find(key);
            if (found == table.end() || !found->is_string() || found->get<std::string>().empty()) {
                missing.insert(key);
                continue;
            }
            // A translation takes the same arguments as the English format.
            const auto translated = found->get<std::string>();
            EXPECT_EQ(count(translated, "%@"), count(englishText, "%@")) << key << ": " << translated;
            EXPECT_EQ(count(translated, "%d"), count(englishText, "%d")) << key << ": " << translated;
        }
        std::string list;
        for (const auto& key : missing) list += "\n  " + key;
        EXPECT_TRUE(missing.empty()) << missing.size() << " keys without a translation:" << list;
    }
}

}  // namespace

}  // namespace LocalizationCoverageTests
