#include "QuillmereProfiles/QuillmereReleaseFeed.h"

#include <curl/curl.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "Platform/Json.h"
#include "QuillmereProfiles/QuillmereReleaseChannels.h"

namespace qm {

namespace {

std::string trimmedWhiteSpace(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Decimal digits only, fitting a signed 64-bit integer.
std::optional<std::int64_t> decimal(const std::string& text) {
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<QuillmereReleaseFeed::Product> productFrom(const nlohmann::json& object) {
    if (!object.is_object()) return std::nullopt;
    const auto version = object.find("version");
    const auto build = object.find("build");
    if (version == object.end() || build == object.end() || !version->is_string() || !build->is_string()) {
        return std::nullopt;
    }
    return QuillmereReleaseFeed::Product{version->get<std::string>(), build->get<std::string>()};
}

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Body {
    std::string data;
    bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    const std::size_t bytes = size * count;
    if (body->data.size() + bytes > QuillmereReleaseFeedService::maximumFeedBytes) {
        body->tooLarge = true;
        return 0;  // stops the transfer
    }
    body->data.append(data, bytes);
    return bytes;
}

}  // namespace

std::optional<QuillmereReleaseFeed> QuillmereReleaseFeed::decode(const std::string& json) {
    const auto document = parseJson(json);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    const auto viewer = document.find("viewer");
    const auto host = document.find("host");
    if (viewer == document.end() || host == document.end()) return std::nullopt;
    auto viewerProduct = productFrom(*viewer);
    auto hostProduct = productFrom(*host);
    if (!viewerProduct || !hostProduct) return std::nullopt;
    return QuillmereReleaseFeed{*viewerProduct, *hostProduct};
}

QuillmereReleaseFeedService::FetchOptions QuillmereReleaseFeedService::FetchOptions::standard() {
    FetchOptions options;
    options.url = QuillmereReleaseChannels::latestReleaseFeedURL().value_or("");
    return options;
}

std::optional<QuillmereReleaseFeed> QuillmereReleaseFeedService::fetchLatestFeedNow(const FetchOptions& options) {
    if (options.url.empty()) return std::nullopt;
    initializeCurlOnce();
    CURL* curl = curl_easy_init();
    if (!curl) return std::nullopt;
    Body body;
    curl_easy_setopt(curl, CURLOPT_URL, options.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    // The feed is fetched over TLS only, verified, and never from a cache.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeoutSeconds * 1000));
    if (options.trustedCertificates) curl_easy_setopt(curl, CURLOPT_CAINFO, options.trustedCertificates->c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK || body.tooLarge) return std::nullopt;
    if (status < 200 || status > 299) return std::nullopt;
    return QuillmereReleaseFeed::decode(body.data);
}

void QuillmereReleaseFeedService::fetchLatestFeed(DispatchQueuePtr worker, DispatchQueuePtr resultQueue,
                                                  std::function<void(std::optional<QuillmereReleaseFeed>)> completion,
                                                  FetchOptions options) {
    worker->async([resultQueue, completion = std::move(completion), options = std::move(options)] {
        auto feed = fetchLatestFeedNow(options);
        resultQueue->async([completion, feed] { completion(feed); });
    });
}

std::optional<std::vector<std::int64_t>> QuillmereReleaseFeedService::versionComponents(const std::string& text) {
    const auto trimmed = trimmedWhiteSpace(text);
    std::vector<std::int64_t> components;
    std::size_t start = 0;
    while (true) {
        const auto dot = trimmed.find('.', start);
        const auto piece = trimmed.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        // A piece that does not read as a number makes the version unusable rather than shorter:
        // dropping it would compare 1.x.5 as 1.5.
        auto value = decimal(piece);
        if (!value) return std::nullopt;
        components.push_back(*value);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return components;
}

std::optional<std::int64_t> QuillmereReleaseFeedService::buildNumber(const std::string& text) {
    auto value = decimal(trimmedWhiteSpace(text));
    if (!value || *value <= 0) return std::nullopt;
    return value;
}

int QuillmereReleaseFeedService::compareVersionComponents(const std::vector<std::int64_t>& a,
                                                          const std::vector<std::int64_t>& b) {
    const auto length = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < length; ++i) {
        const std::int64_t left = i < a.size() ? a[i] : 0;
        const std::int64_t right = i < b.size() ? b[i] : 0;
        if (left != right) return left < right ? -1 : 1;
    }
    return 0;
}

bool QuillmereReleaseFeedService::isUpdateAvailable(const std::string& currentVersion, const std::string& currentBuild,
                                                    const QuillmereReleaseFeed::Product& latest) {
    const auto current = versionComponents(currentVersion);
    const auto newest = versionComponents(latest.version);
    const auto build = buildNumber(currentBuild);
    const auto newestBuild = buildNumber(latest.build);
    if (!current || !newest || !build || !newestBuild) return false;
    const int order = compareVersionComponents(*current, *newest);
    if (order < 0) return true;
    return order == 0 && *build < *newestBuild;
}

std::vector<std::filesystem::path> QuillmereReleaseFeedService::installedHostApplicationCandidates() {
    std::vector<std::filesystem::path> candidates{"/opt/quillmere-host"};
    if (const char* home = std::getenv("HOME"); home && *home) {
        candidates.push_back(std::filesystem::path(home) / ".local/opt/quillmere-host");
    }
    return candidates;
}

std::optional<QuillmereReleaseFeed::Product> QuillmereReleaseFeedService::installedHostVersion() {
    // An installed Host carries "version.json" with "version" and "build" beside its executable
    // folder; a candidate without a readable, non-empty version is skipped.
    for (const auto& candidate : installedHostApplicationCandidates()) {
        std::ifstream in(candidate / "version.json");
        if (!in) continue;
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto document = parseJson(text);
        if (document.is_discarded() || !document.is_object()) continue;
        const auto version = document.find("version");
        if (version == document.end() || !version->is_string() || version->get<std::string>().empty()) continue;
        QuillmereReleaseFeed::Product product{version->get<std::string>(), version->get<std::string>()};
        const auto build = document.find("build");
        if (build != document.end() && build->is_string() && !build->get<std::string>().empty()) {
            product.build = build->get<std::string>();
        }
        return product;
    }
    return std::nullopt;
}

}  // namespace qm
