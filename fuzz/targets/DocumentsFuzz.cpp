// The JSON documents of file transfers: whatever a peer's bytes decode to must encode again
// (never throw) and decode to the same value.
#include <string>

#include "QuillmereProfiles/FileTransferDocuments.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

QM_FUZZ_TARGET(file_documents) {
    if (data.empty()) return;
    const auto body = data.subspan(1);
    switch (data[0] % 5) {
        case 0: {
            auto names = FileTransferDocuments::decodeItemNames(body);
            for (const auto& name : names) {
                QM_FUZZ_CHECK(!name.empty() && name == FileTransferDocuments::trimmed(name), "untrimmed item name");
                QM_FUZZ_CHECK(name.find('\0') == std::string::npos, "an item name with a NUL");
            }
            QM_FUZZ_CHECK(FileTransferDocuments::decodeItemNames(FileTransferDocuments::encodeItemNames(names)) == names,
                          "item names round trip");
            break;
        }
        case 1: {
            auto entries = FileTransferDocuments::decodeListing(body);
            for (const auto& entry : entries) {
                QM_FUZZ_CHECK(entry.name.find('\0') == std::string::npos, "a listed name with a NUL");
                QM_FUZZ_CHECK(!entry.modificationDate ||
                                  (*entry.modificationDate >= FileTransferDocuments::earliestListingDate &&
                                   *entry.modificationDate <= FileTransferDocuments::latestListingDate),
                              "a listed date outside the calendar");
            }
            const auto once = FileTransferDocuments::encodeListing(entries);
            QM_FUZZ_CHECK(FileTransferDocuments::encodeListing(FileTransferDocuments::decodeListing(once)) == once,
                          "listing round trip");
            break;
        }
        case 2:
            if (auto request = FileTransferPeerSendRequest::decode(body)) {
                for (const auto& path : request->sourcePaths)
                    QM_FUZZ_CHECK(path.find('\0') == std::string::npos, "a requested path with a NUL");
                auto again = FileTransferPeerSendRequest::decode(request->encoded());
                QM_FUZZ_CHECK(again.has_value() && *again == *request, "send request round trip");
            }
            break;
        case 3:
            if (auto response = FileTransferPeerSendResponse::decode(body)) {
                auto again = FileTransferPeerSendResponse::decode(response->encoded());
                QM_FUZZ_CHECK(again.has_value() && *again == *response, "send response round trip");
            }
            break;
        default: {
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            const auto trimmed = FileTransferDocuments::trimmed(text);
            QM_FUZZ_CHECK(trimmed.size() <= text.size(), "trimming grew the text");
            const auto prefix = FileTransferDocuments::prefixCharacters(text, body.size() % 7);
            QM_FUZZ_CHECK(text.substr(0, prefix.size()) == prefix, "a prefix that is not one");
            break;
        }
    }
}
