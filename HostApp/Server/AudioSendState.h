#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/DispatchQueue.h"
#include "Platform/Network.h"
#include "Platform/UUID.h"

namespace qm {

// The server's audio state: the connections audio packets go to (guarded by its own lock, so a
// capture callback can send without entering the server queue), the exclusive listener and the
// Viewer that muted the Host's output, the capture generation and the watchdog's counters.
// Everything but the send list is owned by the server queue.
struct AudioSendState {
    std::vector<ConnectionPtr> audioSendConnections;  // guarded by audioSendLock
    std::mutex audioSendLock;
    std::optional<UUID> exclusiveAudioSessionID;
    std::optional<UUID> viewerHostOutputMuteSessionID;
    std::uint64_t audioCaptureGeneration = 0;
    std::int64_t audioZeroFrameRecoveryAttempts = 0;
    bool audioZeroFrameRecoveryExhausted = false;
    AtomicInt audioCaptureCallbacks{0};
    AtomicInt audioCapturePayloads{0};
    std::int64_t framesSent = 0;
    std::int64_t bytesSent = 0;

    void replaceSendConnections(std::vector<ConnectionPtr> connections) {
        std::lock_guard lock(audioSendLock);
        audioSendConnections = std::move(connections);
    }
    std::size_t sendConnectionCount() {
        std::lock_guard lock(audioSendLock);
        return audioSendConnections.size();
    }
    // A Viewer that left holds no audio role any more; says which ones it held, for the caller to
    // release. The send list is rebuilt by the caller.
    struct Forgotten {
        bool wasExclusive = false;
        bool wasMutingHostOutput = false;
    };
    Forgotten forget(const UUID& id) {
        Forgotten forgotten;
        if (exclusiveAudioSessionID == id) {
            exclusiveAudioSessionID.reset();
            forgotten.wasExclusive = true;
        }
        if (viewerHostOutputMuteSessionID == id) {
            viewerHostOutputMuteSessionID.reset();
            forgotten.wasMutingHostOutput = true;
        }
        return forgotten;
    }
};

}  // namespace qm
