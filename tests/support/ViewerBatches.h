#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "support/TestViewer.h"

namespace qm::test {

// What a test Viewer sends file-transfer packets on: its file channel or its control connection.
using FilePacketRoad = std::function<void(const FileTransferPacket&)>;
FilePacketRoad fileChannelRoad(TestFileChannel& channel);
FilePacketRoad controlRoad(TestViewer& viewer);

// The file channel the Host offers a signed-in Viewer, opened with its token; returned once a
// listing asked on it came back, so the Host has bound it to the Viewer. Nothing when it failed.
std::unique_ptr<TestFileChannel> openFileChannel(TestViewer& signedIn, std::string host = "127.0.0.1");

// The first packets of a one-file batch as a Viewer sends them: its destination (when it names
// one), its start, and its intent in a packet of its own when it is not a plain copy.
void startFileBatch(const FilePacketRoad& send, const UUID& id, FileTransferIntent intent,
                    const std::optional<std::string>& destination, const std::string& name, std::uint64_t size);
// One file as a whole batch, in chunks of the Host's size; its id.
UUID sendFileBatch(const FilePacketRoad& send, FileTransferIntent intent, const std::optional<std::string>& destination,
                   const std::string& name, const Bytes& content);

// The packets of the channel until the one `until` accepts; nothing when the channel went quiet
// for `quiet`. Everything read on the way is added to `seen`.
std::optional<FileTransferPacket> readUntil(TestFileChannel& channel,
                                            const std::function<bool(const FileTransferPacket&)>& until,
                                            std::vector<FileTransferPacket>* seen = nullptr,
                                            std::chrono::milliseconds quiet = std::chrono::seconds(20));
// The Host's answer to the request or batch `id`.
std::optional<FileTransferPeerSendResponse> responseTo(TestFileChannel& channel, const UUID& id,
                                                       std::vector<FileTransferPacket>* seen = nullptr);
// The bytes of every file of batch `id` among `packets`, by path.
std::map<std::string, Bytes> filesOfBatch(const std::vector<FileTransferPacket>& packets, const UUID& id);

}  // namespace qm::test
