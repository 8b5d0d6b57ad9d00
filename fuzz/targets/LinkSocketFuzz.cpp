// What a client writes to the link socket, in the pieces the reads return it in: an address comes
// out only whole, at most 4096 bytes and without a line feed, and it is exactly what came before
// the first line feed (or the close).
#include <string>
#include <string_view>

#include "Platform/Linux/LocalURLEvents.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

QM_FUZZ_TARGET(link_socket) {
    fuzz::FuzzInput input(data);
    const bool closes = input.flag();
    std::string sent;
    LocalURLLine line;
    bool finished = false;
    while (!input.empty() && !finished) {
        const auto piece = input.take(1 + input.byte() % 64);
        // Long inputs repeat their pieces, so the bound is reached without megabytes of input.
        const std::size_t times = 1 + input.byte() % 128;
        for (std::size_t i = 0; i < times && !finished; ++i) {
            const std::string_view chunk(reinterpret_cast<const char*>(piece.data()), piece.size());
            sent.append(chunk);
            finished = line.add(chunk);
        }
    }
    if (closes && !finished) line.close();
    const auto address = line.address();
    if (!address) return;
    QM_FUZZ_CHECK(!address->empty() && address->size() <= LocalURLEventListener::maxMessageBytes, "a message out of bounds");
    QM_FUZZ_CHECK(address->find('\n') == std::string::npos, "an address with a line feed");
    const auto end = sent.find('\n');
    QM_FUZZ_CHECK(end != std::string::npos || closes, "an address before its end");
    QM_FUZZ_CHECK(*address == sent.substr(0, end), "an address that is not what was sent");
}
