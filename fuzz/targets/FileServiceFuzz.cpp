// The file service's inbound road as two Viewers can drive it: any packets, in any order, with
// ids and paths drawn from a small set so batches meet, repeat, cancel and cross each other.
// Whatever happens, nothing is written outside the staging folder, every line for the log or
// for a Viewer is one printable line, the per-Viewer bounds hold, and once both Viewers are gone
// the service holds nothing.
#include <array>
#include <filesystem>

#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "fuzz/FuzzTarget.h"
#include "support/TestPlatform.h"

using namespace qm;

namespace {

bool printableLine(const std::string& line) {
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

// Input: records of peer (1 byte), op (1), id index (1), value1 (u32), value2 high byte (1), path
// (length byte + bytes), data (length byte + bytes).
QM_FUZZ_TARGET(file_service) {
    static const std::array<UUID, 4> ids = {*UUID::parse("3F2A9C1D-0000-4000-8000-000000000001"),
                                            *UUID::parse("3F2A9C1D-0000-4000-8000-000000000002"),
                                            *UUID::parse("00000000-0000-4000-8000-000000000003"),
                                            *UUID::parse("FFFFFFFF-0000-4000-8000-000000000004")};
    test::TemporaryDirectory folder;
    const auto caches = folder.path() / "caches";
    const auto home = folder.path() / "home";
    std::filesystem::create_directories(home);
    test::ManualPlatform platform;
    auto service = std::make_shared<FileTransferService>(platform.platform, "Viewer", 4,
                                                         FileTransferService::Folders{caches, home});
    std::vector<std::string> lines;
    service->onStatus = [&](const std::string& line, const FileTransferService::StatusSource&) {
        lines.push_back(line);
    };
    service->onPeerNotice = [&](const std::string&, const std::string& line) { lines.push_back(line); };
    service->routedSendPacket = [](const FileTransferPacket&, const std::optional<std::string>&) {};

    fuzz::FuzzInput input(data);
    for (std::size_t records = 0; !input.empty() && records < 256; ++records) {
        const std::string peer = (input.byte() & 1) ? "B" : "A";
        const auto op = static_cast<FileTransferOp>(1 + input.byte() % 13);
        const auto& id = ids[input.byte() % ids.size()];
        const std::uint64_t value1 = input.u32();
        const std::uint64_t value2 = static_cast<std::uint64_t>(input.byte()) << 56 | 2;
        const auto path = input.shortString();
        const auto bytes = input.shortString();
        service->handleIncomingPacket(FileTransferPacket{op, id, value1, value2, path, Bytes(bytes.begin(), bytes.end())},
                                      peer);
        if (input.byte() & 1) platform.clock->runUntilIdle();
    }
    platform.clock->runUntilIdle();
    for (const auto& line : lines) QM_FUZZ_CHECK(printableLine(line), "a line with a control character");
    QM_FUZZ_CHECK(service->tableEntryCount() <= 2 * (FileTransferService::maxInboundBatchesPerPeer +
                                                     FileTransferService::maxPendingDestinationsPerPeer),
                  "per-Viewer bounds");

    service->cancelInboundBatches("A");
    service->cancelInboundBatches("B");
    platform.clock->runUntilIdle();
    QM_FUZZ_CHECK(service->tableEntryCount() == 0, "state left behind after both Viewers left");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path())) {
        const auto relative = std::filesystem::relative(entry.path(), folder.path()).string();
        QM_FUZZ_CHECK(relative == "home" || relative == "caches" || relative.starts_with("caches/QuillmereFileInbox"),
                      "something was written outside staging: " + relative);
        QM_FUZZ_CHECK(!entry.is_symlink(), "a link in staging");
    }
}
