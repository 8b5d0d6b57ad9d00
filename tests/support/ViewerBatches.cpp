#include "support/ViewerBatches.h"

#include <algorithm>

namespace qm::test {

FilePacketRoad fileChannelRoad(TestFileChannel& channel) {
    return [&channel](const FileTransferPacket& packet) { channel.sendPacket(packet); };
}

FilePacketRoad controlRoad(TestViewer& viewer) {
    return [&viewer](const FileTransferPacket& packet) { viewer.send(AuxPacketType::fileTransfer, packet.encode()); };
}

std::unique_ptr<TestFileChannel> openFileChannel(TestViewer& signedIn, std::string host) {
    auto frame = signedIn.waitFor(AuxPacketType::fileTransferEndpoint);
    auto endpoint = frame ? FileTransferEndpointPayload::decode(frame->payload) : std::nullopt;
    if (!endpoint) return nullptr;
    auto channel = std::make_unique<TestFileChannel>(endpoint->port, std::move(host));
    channel->sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    const UUID probe = UUID::random();
    channel->sendPacket({FileTransferOp::listDir, probe, 0, 0, "~", {}});
    auto reply = readUntil(*channel, [&](const FileTransferPacket& packet) {
        return packet.op == FileTransferOp::listDirReply && packet.batchID == probe;
    });
    return reply ? std::move(channel) : nullptr;
}

void startFileBatch(const FilePacketRoad& send, const UUID& id, FileTransferIntent intent,
                    const std::optional<std::string>& destination, const std::string& name, std::uint64_t size) {
    if (destination) send({FileTransferOp::directSave, id, 0, 0, *destination, {}});
    send({FileTransferOp::batchStart, id, size, FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1), "",
          FileTransferDocuments::encodeItemNames({name})});
    if (intent != FileTransferIntent::copy)
        send({FileTransferOp::batchIntent, id, static_cast<std::uint64_t>(intent), 0, "", {}});
}

UUID sendFileBatch(const FilePacketRoad& send, FileTransferIntent intent, const std::optional<std::string>& destination,
                   const std::string& name, const Bytes& content) {
    const UUID id = UUID::random();
    startFileBatch(send, id, intent, destination, name, content.size());
    send({FileTransferOp::fileStart, id, content.size(), 0, name, {}});
    constexpr std::size_t chunk = 256 * 1024;
    for (std::size_t offset = 0; offset < content.size(); offset += chunk) {
        const auto end = std::min(content.size(), offset + chunk);
        send({FileTransferOp::fileChunk, id, offset, 0, name,
              Bytes(content.begin() + static_cast<std::ptrdiff_t>(offset),
                    content.begin() + static_cast<std::ptrdiff_t>(end))});
    }
    send({FileTransferOp::fileEnd, id, content.size(), 0, name, {}});
    send({FileTransferOp::batchEnd, id, 0, 0, "", {}});
    return id;
}

std::optional<FileTransferPacket> readUntil(TestFileChannel& channel,
                                            const std::function<bool(const FileTransferPacket&)>& until,
                                            std::vector<FileTransferPacket>* seen, std::chrono::milliseconds quiet) {
    while (auto frame = channel.waitForFrame(quiet)) {
        auto packet = FileTransferPacket::decode(*frame);
        if (!packet) continue;
        if (seen) seen->push_back(*packet);
        if (until(*packet)) return packet;
    }
    return std::nullopt;
}

std::optional<FileTransferPeerSendResponse> responseTo(TestFileChannel& channel, const UUID& id,
                                                       std::vector<FileTransferPacket>* seen) {
    auto packet = readUntil(
        channel, [&](const FileTransferPacket& p) { return p.op == FileTransferOp::peerSendResponse && p.batchID == id; },
        seen);
    return packet ? FileTransferPeerSendResponse::decode(packet->data) : std::nullopt;
}

std::map<std::string, Bytes> filesOfBatch(const std::vector<FileTransferPacket>& packets, const UUID& id) {
    std::map<std::string, Bytes> files;
    for (const auto& packet : packets) {
        if (packet.batchID != id) continue;
        if (packet.op == FileTransferOp::fileStart) files[packet.path];
        if (packet.op == FileTransferOp::fileChunk)
            files[packet.path].insert(files[packet.path].end(), packet.data.begin(), packet.data.end());
    }
    return files;
}

}  // namespace qm::test
