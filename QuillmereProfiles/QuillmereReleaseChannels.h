#pragma once

#include <optional>
#include <string>

namespace qm {

// The addresses of the product's web pages. Every page address begins its path with a website
// locale chosen from the language override or the system's preferred language. The two roots are
// deployment settings: a build-time default, replaced at start-up by the defaults key when set.
class QuillmereReleaseChannels {
public:
    QuillmereReleaseChannels() = delete;

    // The user-defaults key that overrides the product website's root ("https://host", no path).
    static inline const std::string productWebsiteRootKey = "quillmere.productWebsiteRoot";
    static inline const std::string mainWebsiteRootKey = "quillmere.mainWebsiteRoot";

    static std::string productWebsiteRoot();
    static std::string mainWebsiteRoot();
    // Empty restores the build-time default.
    static void setProductWebsiteRoot(const std::string& root);
    static void setMainWebsiteRoot(const std::string& root);

    static std::optional<std::string> localizedProductURL(const std::string& path,
                                                          const std::optional<std::string>& fragment = std::nullopt,
                                                          const std::optional<std::string>& languageIdentifier = std::nullopt);
    static std::optional<std::string> localizedMainURL(const std::string& path);
    static std::string websiteLocale(const std::optional<std::string>& languageIdentifier);
    static std::string websiteLocaleForLanguageCode(const std::string& lowercased);
    static std::string preferredWebsiteLocale();
    static std::optional<std::string> latestReleaseFeedURL();

    static std::optional<std::string> officialSiteURL() { return localizedProductURL("control-center"); }
    static std::optional<std::string> guideURL(const std::optional<std::string>& languageIdentifier) {
        return localizedProductURL("guide", std::nullopt, languageIdentifier);
    }
    static std::optional<std::string> operationsGuideURL() { return localizedProductURL("guide", "clipboard"); }
    static std::optional<std::string> faqURL(const std::optional<std::string>& languageIdentifier) {
        return localizedProductURL("faq", std::nullopt, languageIdentifier);
    }
    static std::optional<std::string> shortcutsGuideURL() { return localizedProductURL("guide", "shortcuts"); }
    static std::optional<std::string> supportPageURL() { return localizedProductURL("support"); }
    static std::optional<std::string> downloadUpdateURL() { return localizedProductURL("download"); }
    static std::optional<std::string> releaseNotesURL() { return localizedProductURL("download", "release-notes"); }
    static std::optional<std::string> privacyPolicyURL() { return localizedMainURL("legal/privacy"); }
    static std::optional<std::string> termsOfServiceURL() { return localizedMainURL("legal/terms"); }

    // "scheme://host[:port]" with nothing after it, or none when `root` is not such a root.
    static std::optional<std::string> validatedRoot(const std::string& root);
};

}  // namespace qm
