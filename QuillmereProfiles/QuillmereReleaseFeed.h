#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/DispatchQueue.h"

namespace qm {

// The release feed: the latest released version and build of the Viewer and of the Host.
struct QuillmereReleaseFeed {
    struct Product {
        std::string version;  // dotted marketing version
        std::string build;    // decimal build number
        std::string displayString() const { return "V" + version + " (" + build + ")"; }
        friend bool operator==(const Product&, const Product&) = default;
    };
    Product viewer;
    Product host;
    friend bool operator==(const QuillmereReleaseFeed&, const QuillmereReleaseFeed&) = default;

    // Both objects with both string members are required; other keys are ignored.
    static std::optional<QuillmereReleaseFeed> decode(const std::string& json);
};

// Fetches the feed and compares versions. Keeps no state; every failure is an absent feed or a
// negative answer.
class QuillmereReleaseFeedService {
public:
    QuillmereReleaseFeedService() = delete;

    static constexpr double requestTimeoutSeconds = 6.0;
    // The feed is a few hundred bytes; anything far larger is not a feed.
    static constexpr std::size_t maximumFeedBytes = 65'536;

    struct FetchOptions {
        std::string url;                                   // the feed's https address
        std::optional<std::filesystem::path> trustedCertificates;  // none: the system's store
        double timeoutSeconds = requestTimeoutSeconds;
        // The address from the current product website root.
        static FetchOptions standard();
    };

    // Blocks for at most the time-out; call it off the main queue.
    static std::optional<QuillmereReleaseFeed> fetchLatestFeedNow(const FetchOptions& options);
    // Runs the fetch on `worker` and hands the result to `completion` on `resultQueue`.
    static void fetchLatestFeed(DispatchQueuePtr worker, DispatchQueuePtr resultQueue,
                                std::function<void(std::optional<QuillmereReleaseFeed>)> completion,
                                FetchOptions options = FetchOptions::standard());

    static bool isUpdateAvailable(const std::string& currentVersion, const std::string& currentBuild,
                                  const QuillmereReleaseFeed::Product& latest);
    // An installed Host's version and build (see installedHostApplicationCandidates), or none.
    static std::optional<QuillmereReleaseFeed::Product> installedHostVersion();
    static std::vector<std::filesystem::path> installedHostApplicationCandidates();

    // A version is one or more dot-separated decimal numbers; any piece that cannot be read
    // makes the whole version unusable.
    static std::optional<std::vector<std::int64_t>> versionComponents(const std::string& text);
    // A build is a decimal number above zero.
    static std::optional<std::int64_t> buildNumber(const std::string& text);
    static int compareVersionComponents(const std::vector<std::int64_t>& a, const std::vector<std::int64_t>& b);
};

}  // namespace qm
