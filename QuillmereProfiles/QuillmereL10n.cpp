#include "QuillmereProfiles/QuillmereL10n.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include "Platform/Json.h"
#include <sstream>

#include "Platform/UserDefaults.h"

namespace qm {
namespace {

std::mutex& environmentMutex() {
    static std::mutex mutex;
    return mutex;
}

QuillmereL10n::Environment& environmentStorage() {
    static QuillmereL10n::Environment environment;
    return environment;
}

QuillmereL10n::Table& installedTable() {
    static QuillmereL10n::Table table;
    return table;
}

QuillmereL10n::Environment currentEnvironment() {
    std::lock_guard lock(environmentMutex());
    return environmentStorage();
}

using Table = std::map<std::string, std::string>;

// Strings files do not change while the process runs; each is read once.
std::shared_ptr<const Table> loadTable(const std::filesystem::path& folder) {
    static std::mutex mutex;
    static std::map<std::filesystem::path, std::shared_ptr<const Table>> cache;
    std::lock_guard lock(mutex);
    if (auto found = cache.find(folder); found != cache.end()) return found->second;
    auto table = std::make_shared<Table>();
    std::ifstream in(folder / "Localizable.json", std::ios::binary);
    if (in) {
        std::stringstream buffer;
        buffer << in.rdbuf();
        auto parsed = parseJson(buffer.str());
        if (!parsed.is_discarded() && parsed.is_object()) {
            for (auto& [key, value] : parsed.items()) {
                if (value.is_string()) (*table)[key] = value.get<std::string>();
            }
        }
    }
    cache[folder] = table;
    return table;
}

std::optional<std::filesystem::path> existingFolder(const std::filesystem::path& resources, const std::string& id) {
    if (resources.empty() || id.empty()) return std::nullopt;
    std::error_code error;
    auto folder = resources / (id + ".lproj");
    if (std::filesystem::is_directory(folder, error)) return folder;
    return std::nullopt;
}

// "zh_TW.UTF-8" -> "zh-Hant", "fr_FR" -> "fr", "C" -> "en".
std::string tableIdentifierFor(std::string language) {
    if (auto dot = language.find_first_of(".@"); dot != std::string::npos) language.resize(dot);
    if (language.empty()) return {};
    if (language == "C" || language == "POSIX") return "en";
    for (auto& c : language) {
        if (c == '_') c = '-';
    }
    auto lower = language;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("zh", 0) == 0) {
        if (lower.find("hant") != std::string::npos || lower.find("-tw") != std::string::npos ||
            lower.find("-hk") != std::string::npos || lower.find("-mo") != std::string::npos) {
            return "zh-Hant";
        }
        return "zh-Hans";
    }
    return lower.substr(0, lower.find('-'));
}

}  // namespace

void QuillmereL10n::configure(Environment environment) {
    std::lock_guard lock(environmentMutex());
    environmentStorage() = std::move(environment);
}

std::vector<std::string> QuillmereL10n::systemPreferredLanguagesFromEnvironment() {
    std::vector<std::string> languages;
    if (const char* list = std::getenv("LANGUAGE"); list && *list) {
        std::stringstream stream(list);
        std::string item;
        while (std::getline(stream, item, ':')) {
            if (!item.empty()) languages.push_back(item);
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(name); value && *value) {
            languages.emplace_back(value);
            break;
        }
    }
    return languages;
}

const std::vector<QuillmereLanguage>& QuillmereL10n::availableLanguages() {
    static const std::vector<QuillmereLanguage> languages = {
        {"system", "System Default"}, {"en", "English"},   {"zh-Hans", "简体中文"},
        {"zh-Hant", "繁體中文"},      {"ja", "日本語"},    {"ko", "한국어"},
        {"de", "Deutsch"},            {"fr", "Français"}, {"es", "Español"},
    };
    return languages;
}

std::string QuillmereL10n::normalized(const std::string& identifier) {
    for (const auto& language : availableLanguages()) {
        if (language.identifier == identifier) return identifier;
    }
    return systemLanguageIdentifier;
}

std::string QuillmereL10n::languageOverride() {
    auto environment = currentEnvironment();
    std::string candidate = systemLanguageIdentifier;
    if (environment.defaults) {
        // A value in the standard domain wins even when it is not valid.
        if (auto standard = environment.defaults->standard(); standard && standard->string(overrideKey)) {
            candidate = *standard->string(overrideKey);
        } else if (auto suite = environment.defaults->suite(sharedSuiteName)) {
            if (auto shared = suite->string(overrideKey)) candidate = *shared;
        }
    }
    return normalized(candidate);
}

std::string QuillmereL10n::currentLanguageDisplayName() {
    const auto chosen = languageOverride();
    for (const auto& language : availableLanguages()) {
        if (language.identifier == chosen) return language.displayName;
    }
    return fallbackDisplayName;
}

std::optional<std::filesystem::path> QuillmereL10n::localizedBundle() {
    auto environment = currentEnvironment();
    const auto chosen = languageOverride();
    if (chosen != systemLanguageIdentifier) {
        if (auto folder = existingFolder(environment.resources, chosen)) return folder;
    }
    // The main bundle: the first preferred system language that has a strings folder.
    for (const auto& preferred : environment.preferredSystemLanguages) {
        if (auto folder = existingFolder(environment.resources, tableIdentifierFor(preferred))) return folder;
    }
    return std::nullopt;
}

std::string QuillmereL10n::formatLocaleIdentifier() {
    const auto chosen = languageOverride();
    if (chosen == systemLanguageIdentifier) return currentEnvironment().systemLocale;
    return chosen;
}

void QuillmereL10n::setTable(Table table) {
    std::lock_guard lock(environmentMutex());
    installedTable() = std::move(table);
}

std::string QuillmereL10n::text(std::string_view key, std::string_view englishDefault) {
    {
        std::lock_guard lock(environmentMutex());
        if (const auto& table = installedTable()) {
            if (const auto* translated = table(key)) return *translated;
        }
    }
    auto folder = localizedBundle();
    if (!folder) return std::string(englishDefault);
    auto table = loadTable(*folder);
    auto found = table->find(std::string(key));
    return found == table->end() ? std::string(englishDefault) : found->second;
}

std::string QuillmereL10n::fill(std::string_view format, const std::vector<Argument>& arguments) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        std::size_t j = i + 1;
        if (format[j] == '%') {
            out += '%';
            i = j;
            continue;
        }
        std::size_t position = 0;
        std::size_t k = j;
        while (k < format.size() && std::isdigit(static_cast<unsigned char>(format[k])) && position <= 64) {
            position = position * 10 + static_cast<std::size_t>(format[k] - '0');
            ++k;
        }
        std::size_t index;
        if (k > j && k < format.size() && format[k] == '$' && position > 0) {
            index = position - 1;
            j = k + 1;
        } else {
            index = next++;
        }
        while (j < format.size() && (format[j] == 'l' || format[j] == 'q' || format[j] == 'z')) ++j;
        if (j >= format.size() || (format[j] != '@' && format[j] != 'd' && format[j] != 'i' && format[j] != 'u')) {
            out += c;  // not a conversion of ours: kept as written
            continue;
        }
        if (index < arguments.size()) {
            const auto& argument = arguments[index];
            if (const auto* text = std::get_if<std::string>(&argument)) {
                out += *text;
            } else {
                out += std::to_string(std::get<std::int64_t>(argument));
            }
        }
        i = j;
    }
    return out;
}

std::optional<std::string> QuillmereL10n::fillExactly(std::string_view format, const std::vector<Argument>& arguments) {
    std::string out;
    std::size_t nextArgument = 0;
    std::vector<bool> used(arguments.size(), false);
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out.push_back(format[i]);
            continue;
        }
        std::size_t j = i + 1;
        if (j < format.size() && format[j] == '%') {
            out.push_back('%');
            i = j;
            continue;
        }
        // Optional position "n$".
        std::size_t position = 0;
        std::size_t k = j;
        while (k < format.size() && std::isdigit(static_cast<unsigned char>(format[k]))) {
            position = position * 10 + static_cast<std::size_t>(format[k] - '0');
            if (position > 64) return std::nullopt;
            ++k;
        }
        std::size_t index;
        if (k > j && k < format.size() && format[k] == '$' && position > 0) {
            index = position - 1;
            j = k + 1;
        } else {
            index = nextArgument++;
        }
        // Length modifiers that integers may carry.
        while (j < format.size() && (format[j] == 'l' || format[j] == 'q' || format[j] == 'z')) ++j;
        if (j >= format.size() || index >= arguments.size()) return std::nullopt;
        const char conversion = format[j];
        const Argument& argument = arguments[index];
        if (conversion == '@') {
            auto* text = std::get_if<std::string>(&argument);
            if (!text) return std::nullopt;
            out += *text;
        } else if (conversion == 'd' || conversion == 'i' || conversion == 'u') {
            auto* number = std::get_if<std::int64_t>(&argument);
            if (!number) return std::nullopt;
            out += std::to_string(*number);
        } else {
            return std::nullopt;
        }
        used[index] = true;
        i = j;
    }
    for (bool wasUsed : used) {
        if (!wasUsed) return std::nullopt;
    }
    return out;
}

std::string QuillmereL10n::formatArguments(std::string_view key, std::string_view englishDefault,
                                           const std::vector<Argument>& arguments) {
    const auto looked = text(key, englishDefault);
    if (auto filled = fillExactly(looked, arguments)) return *filled;
    // A translation whose places do not fit the arguments is not used.
    if (looked != englishDefault) {
        if (auto filled = fillExactly(englishDefault, arguments)) return *filled;
    }
    return fill(englishDefault, arguments);
}

void QuillmereL10n::writeLanguageOverride(const std::string& identifier) {
    auto environment = currentEnvironment();
    if (!environment.defaults) return;
    auto standard = environment.defaults->standard();
    auto suite = environment.defaults->suite(sharedSuiteName);
    if (identifier == systemLanguageIdentifier) {
        if (standard) standard->remove(overrideKey);
        if (suite) suite->remove(overrideKey);
    } else {
        if (standard) standard->set(overrideKey, identifier);
        if (suite) suite->set(overrideKey, identifier);
    }
}

void QuillmereL10n::setLanguageOverride(const std::string& identifier) {
    const auto value = normalized(identifier);
    writeLanguageOverride(value);
    auto environment = currentEnvironment();
    if (environment.postLocalNotification) environment.postLocalNotification();
    if (environment.postDistributedNotification) {
        environment.postDistributedNotification(languageChangedDistributedNotification,
                                                {{languageChangedDistributedIdentifierKey, value}});
    }
}

void QuillmereL10n::applyReceivedLanguageOverride(const std::string& identifier) {
    const auto value = normalized(identifier);
    writeLanguageOverride(value);
    auto environment = currentEnvironment();
    if (environment.postLocalNotification) environment.postLocalNotification();
}

std::vector<std::string> QuillmereL10n::preferredSystemLanguages() { return currentEnvironment().preferredSystemLanguages; }

}  // namespace qm
