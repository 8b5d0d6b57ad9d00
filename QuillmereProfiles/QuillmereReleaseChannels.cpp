#include "QuillmereProfiles/QuillmereReleaseChannels.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "QuillmereProfiles/QuillmereL10n.h"

#ifndef QM_PRODUCT_WEBSITE_ROOT
#define QM_PRODUCT_WEBSITE_ROOT "https://quillmere.dravon.example"
#endif
#ifndef QM_MAIN_WEBSITE_ROOT
#define QM_MAIN_WEBSITE_ROOT "https://www.dravon.example"
#endif

namespace qm {

namespace {

struct Roots {
    std::mutex mutex;
    std::string product = QM_PRODUCT_WEBSITE_ROOT;
    std::string main = QM_MAIN_WEBSITE_ROOT;
};

Roots& roots() {
    static Roots value;
    return value;
}

std::string trimmed(const std::string& text, const char* characters) {
    const auto first = text.find_first_not_of(characters);
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(characters);
    return text.substr(first, last - first + 1);
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Percent-encodes what may not stand in a path or fragment as it is; "/" is kept for paths.
std::string percentEncoded(const std::string& text, bool keepSlash) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool plain = std::isalnum(c) || std::string_view("-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos ||
                           (keepSlash && c == '/') || (!keepSlash && (c == '/' || c == '?'));
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

std::optional<std::string> formURL(const std::string& root, const std::string& path,
                                   const std::optional<std::string>& fragment, const std::optional<std::string>& language) {
    auto base = QuillmereReleaseChannels::validatedRoot(root);
    if (!base) return std::nullopt;
    const auto trimmedPath = trimmed(path, "/");
    const auto locale = QuillmereReleaseChannels::websiteLocale(language);
    std::string url = *base + "/" + locale;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
// GCC 12 reports an overlapping copy inside std::string here that cannot happen (a known false positive).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    if (!trimmedPath.empty()) url += "/" + percentEncoded(trimmedPath, true);
    if (fragment) url += "#" + percentEncoded(*fragment, false);
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
    return url;
}

}  // namespace

std::optional<std::string> QuillmereReleaseChannels::validatedRoot(const std::string& root) {
    const auto separator = root.find("://");
    if (separator == std::string::npos || separator == 0) return std::nullopt;
    const auto scheme = lowercased(root.substr(0, separator));
    if (scheme != "https" && scheme != "http") return std::nullopt;
    auto authority = root.substr(separator + 3);
    while (!authority.empty() && authority.back() == '/') authority.pop_back();
    if (authority.empty()) return std::nullopt;
    for (unsigned char c : authority) {
        const bool allowed = std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
        if (!allowed) return std::nullopt;
    }
    return scheme + "://" + authority;
}

std::string QuillmereReleaseChannels::productWebsiteRoot() {
    std::lock_guard lock(roots().mutex);
    return roots().product;
}

std::string QuillmereReleaseChannels::mainWebsiteRoot() {
    std::lock_guard lock(roots().mutex);
    return roots().main;
}

void QuillmereReleaseChannels::setProductWebsiteRoot(const std::string& root) {
    std::lock_guard lock(roots().mutex);
    roots().product = root.empty() ? QM_PRODUCT_WEBSITE_ROOT : root;
}

void QuillmereReleaseChannels::setMainWebsiteRoot(const std::string& root) {
    std::lock_guard lock(roots().mutex);
    roots().main = root.empty() ? QM_MAIN_WEBSITE_ROOT : root;
}

std::optional<std::string> QuillmereReleaseChannels::localizedProductURL(const std::string& path,
                                                                        const std::optional<std::string>& fragment,
                                                                        const std::optional<std::string>& languageIdentifier) {
    return formURL(productWebsiteRoot(), path, fragment,
                   languageIdentifier ? languageIdentifier : std::optional(QuillmereL10n::languageOverride()));
}

std::optional<std::string> QuillmereReleaseChannels::localizedMainURL(const std::string& path) {
    return formURL(mainWebsiteRoot(), path, std::nullopt, QuillmereL10n::languageOverride());
}

std::string QuillmereReleaseChannels::websiteLocale(const std::optional<std::string>& languageIdentifier) {
    const auto identifier = languageIdentifier ? lowercased(trimmed(*languageIdentifier, " \t\r\n\v\f")) : std::string();
    if (!identifier.empty() && identifier != "system") return websiteLocaleForLanguageCode(identifier);
    const auto preferred = QuillmereL10n::preferredSystemLanguages();
    if (preferred.empty()) return "en";
    // The system spells regions with an underscore ("zh_TW"); the table uses hyphens.
    auto first = lowercased(preferred.front());
    std::replace(first.begin(), first.end(), '_', '-');
    return websiteLocaleForLanguageCode(first);
}

std::string QuillmereReleaseChannels::websiteLocaleForLanguageCode(const std::string& code) {
    const auto starts = [&](const char* prefix) { return code.rfind(prefix, 0) == 0; };
    if (starts("zh-hant") || starts("zh-tw") || starts("zh-hk") || starts("zh-mo")) return "zh-Hant";
    for (const char* locale : {"zh", "ja", "ko", "de", "fr", "es"}) {
        if (starts(locale)) return locale;
    }
    return "en";
}

std::string QuillmereReleaseChannels::preferredWebsiteLocale() { return websiteLocale(QuillmereL10n::languageOverride()); }

std::optional<std::string> QuillmereReleaseChannels::latestReleaseFeedURL() {
    auto base = validatedRoot(productWebsiteRoot());
    if (!base) return std::nullopt;
    return *base + "/latest.json";
}

}  // namespace qm
