#pragma once

#include <cstdint>
#include <type_traits>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qm {

class UserDefaultsStore;

// One row of the language table: the identifier (also the strings folder's base name) and the
// language's own name.
struct QuillmereLanguage {
    std::string identifier;
    std::string displayName;
    friend bool operator==(const QuillmereLanguage&, const QuillmereLanguage&) = default;
};

// The one door every user-visible text passes through. Each call names a key and gives its
// English text, so the application is complete in English without any strings file; a strings
// file of the chosen language replaces what it has. The language override is read from the
// defaults on every lookup (no cache), so a change shows at the next lookup.
//
// Strings folders: "<resources>/<identifier>.lproj/Localizable.json", one JSON object of key to
// text. The "main bundle" is the resources folder resolved by the system's preferred languages.
class QuillmereL10n {
public:
    QuillmereL10n() = delete;

    using Argument = std::variant<std::string, std::int64_t>;
    using Arg = Argument;
    using UserInfo = std::map<std::string, std::string>;
    // A translation table a caller installs (a window previewed in one language); it answers
    // before the strings folders. Empty: none.
    using Table = std::function<const std::string*(std::string_view key)>;

    // What the lookups depend on. The process installs one at start-up; tests install their own.
    struct Environment {
        std::shared_ptr<UserDefaultsStore> defaults;  // empty: nothing stored, nothing written
        std::filesystem::path resources;              // folder of the "<id>.lproj" folders
        // The user's preferred languages, most preferred first ("fr_FR", "de", "zh_TW" ...).
        std::vector<std::string> preferredSystemLanguages;
        std::string systemLocale = "en_US";
        // The process's own notification (the language changed here).
        std::function<void()> postLocalNotification;
        // The notification other applications of the product receive.
        std::function<void(const std::string& name, const UserInfo& userInfo)> postDistributedNotification;
    };
    static void configure(Environment environment);
    // The environment of this process: preferred languages from LANGUAGE, LC_ALL, LC_MESSAGES and
    // LANG; resources as given.
    static std::vector<std::string> systemPreferredLanguagesFromEnvironment();

    static inline const std::string systemLanguageIdentifier = "system";
    static inline const std::string languageChangedNotification = "QuillmereLanguageChanged";
    static inline const std::string languageChangedDistributedNotification = "QuillmereLanguageChangedDistributed";
    static inline const std::string languageChangedDistributedIdentifierKey = "languageIdentifier";
    static inline const std::string overrideKey = "app.languageOverride";
    static inline const std::string sharedSuiteName = "com.dravon.quillmere.shared";
    static inline const std::string fallbackDisplayName = "System Default";

    static const std::vector<QuillmereLanguage>& availableLanguages();

    // The key's text in the installed table or the chosen strings, else `englishDefault`.
    static std::string text(std::string_view key, std::string_view englishDefault);
    // The looked-up text used as a printf-style format ("%@" strings, "%d" integers, "%1$@"
    // positions, "%%"). A looked-up format whose specifiers do not fit the arguments falls back
    // to the English default; a default that does not fit either is filled as `fill` does.
    static std::string formatArguments(std::string_view key, std::string_view englishDefault,
                                       const std::vector<Argument>& arguments);
    static std::string format(std::string_view key, std::string_view englishDefault,
                              const std::vector<Argument>& arguments) {
        return formatArguments(key, englishDefault, arguments);
    }
    template <class... Args>
    static std::string format(std::string_view key, std::string_view englishDefault, Args&&... args) {
        return formatArguments(key, englishDefault, {toArgument(std::forward<Args>(args))...});
    }
    static void setTable(Table table);

    static std::string languageOverride();
    // The system's preferred languages as configured, most preferred first.
    static std::vector<std::string> preferredSystemLanguages();
    static std::string currentLanguageDisplayName();
    static void setLanguageOverride(const std::string& identifier);
    static void applyReceivedLanguageOverride(const std::string& identifier);

    // The strings folder lookups use now; none means the main bundle without a strings file.
    static std::optional<std::filesystem::path> localizedBundle();
    // The locale formats use now: the system locale, or the override's identifier.
    static std::string formatLocaleIdentifier();
    // Fills a format; none when its specifiers do not fit the arguments (each argument used, each
    // of the kind its conversion takes).
    static std::optional<std::string> fillExactly(std::string_view format, const std::vector<Argument>& arguments);
    // Fills a format leniently: a missing argument leaves its conversion empty, an argument of
    // the other kind is converted, an unknown conversion stays as written.
    static std::string fill(std::string_view format, const std::vector<Argument>& arguments);

private:
    static Argument toArgument(const std::string& value) { return value; }
    static Argument toArgument(const char* value) { return std::string(value); }
    template <class T>
    static std::enable_if_t<std::is_integral_v<std::decay_t<T>>, Argument> toArgument(T value) {
        return static_cast<std::int64_t>(value);
    }
    static std::string normalized(const std::string& identifier);
    static void writeLanguageOverride(const std::string& identifier);
};

}  // namespace qm
