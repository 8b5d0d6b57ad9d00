// The clipboard records as a peer sends them (binary or XML property lists): whatever decodes must
// encode again and decode to the same record.
#include <string>

#include "QuillmereProfiles/ClipboardTransfer.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

namespace {

bool same(const ClipboardTransferItem& a, const ClipboardTransferItem& b) {
    if (a.kind != b.kind || a.text != b.text || a.imageData != b.imageData ||
        a.imageTypeIdentifier != b.imageTypeIdentifier || a.files.size() != b.files.size())
        return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        const auto& f = a.files[i];
        const auto& g = b.files[i];
        if (f.filename != g.filename || f.typeIdentifier != g.typeIdentifier || f.data != g.data) return false;
    }
    return true;
}

bool same(const ClipboardTransfer& a, const ClipboardTransfer& b) {
    if (a.sourceID != b.sourceID || a.sequence != b.sequence || a.generatedAtNs != b.generatedAtNs ||
        a.items.size() != b.items.size())
        return false;
    for (std::size_t i = 0; i < a.items.size(); ++i)
        if (!same(a.items[i], b.items[i])) return false;
    return true;
}

}  // namespace

QM_FUZZ_TARGET(clipboard) {
    std::string error;
    auto transfer = ClipboardTransfer::decode(data, &error);
    if (!transfer) return;
    auto once = transfer->encodedData(&error);
    QM_FUZZ_CHECK(once.has_value(), error);
    auto again = ClipboardTransfer::decode(*once, &error);
    QM_FUZZ_CHECK(again.has_value(), error);
    QM_FUZZ_CHECK(same(*again, *transfer), "clipboard round trip");
}
