// The clipboard records as a peer sends them (binary or XML property lists): whatever decodes must
// encode again and decode to a record that encodes to the very same bytes.
#include <string>

#include "QuillmereProfiles/ClipboardTransfer.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

QM_FUZZ_TARGET(clipboard) {
    std::string error;
    auto transfer = ClipboardTransfer::decode(data, &error);
    if (!transfer) return;
    auto once = transfer->encodedData(&error);
    QM_FUZZ_CHECK(once.has_value(), error);
    auto again = ClipboardTransfer::decode(*once, &error);
    QM_FUZZ_CHECK(again.has_value(), error);
    auto twice = again->encodedData(&error);
    QM_FUZZ_CHECK(twice.has_value() && *twice == *once, "clipboard round trip");
}
