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
#include <vector>

#include "QuillmereProfiles/QuillmereL10n.h"

namespace LocalizationCoverageTests {

using qm::QuillmereL10n;

namespace {

namespace fs = std::filesystem;

std::string readWhole(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The two-pane file browser belongs to the Viewer that embeds it, whose own tables carry its
// texts; the Host never shows it. The other shared windows (the File Transfers window, the
// send-files picker) are the Host's own.
bool belongsToTheBrowser(const fs::path& path) {
    if (path.string().find("/UI/") == std::string::npos) return false;
    const auto name = path.filename().string();
    for (const auto* stem : {"FileTransferWindow", "FileTransferNode", "FileTransferBookmarks", "FileTreeItemModel",
                             "FileBrowserPreview"}) {
        if (name.rfind(stem, 0) == 0) return true;
    }
    return false;
}

// Key -> English default, from every `text("key", "default")` and `format("key", "default", ...)`
// call of the Host's code.
std::map<std::string, std::string> keysInSources() {
    static const std::regex call(
        R"re(\b(?:text|format)\(\s*"((?:host|menu|common|update|fileTransfer)\.[A-Za-z0-9_.]+)"\s*,\s*((?:"(?:[^"\\]|\\.)*"\s*)+))re");
    static const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
    std::map<std::string, std::string> keys;
    for (const auto* folder : {"HostApp", "QuillmereProfiles"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(QM_SOURCE_DIR) / folder)) {
            const auto& path = entry.path();
            if (belongsToTheBrowser(path)) continue;
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

// One sample argument per place of an English format, in order: a string for %@, a number for %d.
std::vector<QuillmereL10n::Argument> sampleArguments(const std::string& english) {
    std::vector<QuillmereL10n::Argument> arguments;
    for (std::size_t i = 0; i + 1 < english.size(); ++i) {
        if (english[i] != '%') continue;
        const char conversion = english[++i];
        if (conversion == '@') arguments.emplace_back(std::string("x"));
        if (conversion == 'd') arguments.emplace_back(std::int64_t{1});
    }
    return arguments;
}

TEST(LocalizationCoverage, EveryKeyTheCodeUsesIsTranslatedInEveryLanguage) {
    const auto keys = keysInSources();
    // The scan itself works: it finds the quit question, the update alerts and the menus.
    ASSERT_GT(keys.size(), 100u);
    for (const auto* known : {"host.quitTitle", "host.keepRunningButton", "common.ok", "common.cancel",
                              "update.progressTitle", "menu.services", "host.screenSharingWaitingFormat",
                              "fileTransfer.center.windowTitle", "fileTransfer.center.stopped",
                              "fileTransfer.conflict.title", "fileTransfer.item.other"}) {
        EXPECT_TRUE(keys.count(known)) << known << " was not found in the sources";
    }
    // The browser's texts are not the Host's to translate.
    EXPECT_FALSE(keys.count("fileTransfer.copySelected"));
    EXPECT_FALSE(keys.count("fileTransfer.kindFolder"));
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
            // A translation takes the same arguments as the English format, in any order ("%2$@"):
            // one that does not is never shown, the English default is.
            const auto translated = found->get<std::string>();
            const auto arguments = sampleArguments(englishText);
            ASSERT_TRUE(QuillmereL10n::fillExactly(englishText, arguments)) << key << ": " << englishText;
            EXPECT_TRUE(QuillmereL10n::fillExactly(translated, arguments)) << key << ": " << translated;
        }
        std::string list;
        for (const auto& key : missing) list += "\n  " + key;
        EXPECT_TRUE(missing.empty()) << missing.size() << " keys without a translation:" << list;
    }
}

}  // namespace

}  // namespace LocalizationCoverageTests
