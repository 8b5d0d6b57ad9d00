// The release feed as the website serves it, and the version texts it carries: whatever decodes
// names both products with texts, and comparing any version with it never fails.
#include <string>

#include "QuillmereProfiles/QuillmereReleaseFeed.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

QM_FUZZ_TARGET(release_feed) {
    const std::string text(reinterpret_cast<const char*>(data.data()), data.size());
    auto feed = QuillmereReleaseFeed::decode(text);
    if (!feed) return;
    for (const auto* product : {&feed->viewer, &feed->host}) {
        auto components = QuillmereReleaseFeedService::versionComponents(product->version);
        if (components) {
            QM_FUZZ_CHECK(!components->empty(), "a version without components");
            QM_FUZZ_CHECK(QuillmereReleaseFeedService::compareVersionComponents(*components, *components) == 0,
                          "a version that differs from itself");
        }
        if (auto build = QuillmereReleaseFeedService::buildNumber(product->build))
            QM_FUZZ_CHECK(*build > 0, "a build number of zero or less");
        // The Host's own version against the feed, both ways round.
        QuillmereReleaseFeedService::isUpdateAvailable("1.2.3", "45", *product);
        QuillmereReleaseFeedService::isUpdateAvailable(product->version, product->build, feed->host);
        QM_FUZZ_CHECK(!QuillmereReleaseFeedService::isUpdateAvailable(product->version, product->build, *product),
                      "a product is newer than itself");
    }
}
