#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/Geometry.h"
#include "Platform/Network.h"
#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/FileTransferChannel.h"

namespace qm {

// The two aux ports a Viewer session lives on.
enum class AuxChannel { control, video };

const char* channelName(AuxChannel channel);

// The log lines one session caused in the current window, what the window left out (written as a
// count when the next one opens), and where the window began.
struct LogBudget {
    int linesInWindow = 0;
    std::size_t leftOut = 0;
    std::uint64_t windowStartNs = 0;
};

// One Viewer connection on the control or the video port: what the server needs to read its
// frames and to run its sign-in. Owned by the server queue.
struct AuxSession {
    UUID id;
    AuxChannel channel = AuxChannel::control;
    ConnectionPtr connection;
    AuxFrameReader reader;
    // Cleared when the session leaves the tables; work still queued for it then does nothing.
    bool isLive = true;
    // Mirrors membership of the channel's authorised set (kept by SessionTables), so the gate in
    // front of every frame costs no lookup.
    bool authorized = false;
    // Issued with an identity proof and used up by the next sign-in attempt; sealed credentials
    // are bound to it, so a credential captured elsewhere, or sent twice, does not open.
    std::optional<std::array<std::uint8_t, 32>> sessionNonce;
    // A connection gets one identity proof: signing costs the Host, so a second challenge is refused.
    bool identityChallenged = false;
    // From admission until the password check answered (including a slow-down wait before it).
    bool signInInFlight = false;
    // Frames that arrived meanwhile; they run in order once the check answered.
    std::deque<AuxFrame> heldFrames;
    std::size_t heldBytes = 0;
    // Advanced whenever a pending sign-in stops counting (refused, revoked), so a late answer of
    // the password check is ignored.
    std::uint64_t signInEpoch = 0;
    // Closes the connection when it has not signed in in time.
    DispatchWorkItemPtr signInDeadline;
    // Frames refused before sign-in.
    int refusedFrames = 0;
    // Sent file packets on this control connection: a pause of file reads holds it too.
    bool sentFilePackets = false;
    // Lines about what it sent (refusals, bad payloads), and lines about what the Host did for
    // its packets, each with a budget of its own.
    LogBudget peerLog;
    LogBudget hostLog;
    // Where it connected from (host part, no port), and what its sign-in gave it: the name it
    // signed in under, and for a control session the file channel's token and the bound channel.
    // They go with the session: nothing else keeps them by its id.
    std::string remoteAddress;
    std::optional<std::string> displayName;
    std::optional<FileTransferChannelToken> fileTransferToken;
    std::shared_ptr<FileTransferChannelConnection> fileChannel;
};

// The server's Viewer sessions: each AuxSession holds what the Host keeps for its connection
// (reader, sign-in, log budget, name, address, file-channel token and channel); the tables here
// only index them (by channel and sign-in, file channels by connection), and hold the
// picture-in-picture regions the Viewers share. Owned by the server queue. A session enters with `add`, signs in with
// `authorize`, loses its sign-in with `revoke` and leaves with `forget`, which removes every
// entry it had in any table.
class SessionTables {
public:
    using FileChannelPtr = std::shared_ptr<FileTransferChannelConnection>;

    std::unordered_map<UUID, std::shared_ptr<AuxSession>> sessions;
    std::unordered_map<UUID, ConnectionPtr> audioSessions;  // the control connection of each Viewer
    std::unordered_set<UUID> authorizedAudioSessions;
    std::unordered_map<UUID, ConnectionPtr> videoSessions;
    std::unordered_set<UUID> authorizedVideoSessions;
    // File channels that have not presented a token yet, and the session each admitted one serves.
    struct PendingFileChannel {
        FileChannelPtr channel;
        std::string remoteAddress;  // host part, no port
    };
    std::unordered_map<FileTransferChannelConnection*, PendingFileChannel> pendingFileChannels;
    std::unordered_map<FileTransferChannelConnection*, UUID> fileChannelSessions;
    std::map<std::string, Rect> pipRegions;

    std::shared_ptr<AuxSession> session(const UUID& id) const;
    ConnectionPtr connection(const UUID& id) const;
    std::optional<std::string> remoteAddress(const UUID& id) const;
    // A signed-in session's display name made safe for a log line (see escapedForLog); the
    // tables keep the name as sent, for whoever shows it to the Host's user.
    std::optional<std::string> viewerName(const UUID& id) const;
    // The name as sent, for the Host's user; nothing for a session that has not signed in.
    std::optional<std::string> displayName(const UUID& id) const;
    // The file channel bound to a signed-in control session, if any.
    FileChannelPtr fileChannel(const UUID& id) const;
    // Every bound file channel, by the control session it serves.
    std::vector<std::pair<UUID, FileChannelPtr>> fileChannels() const;
    // Issues (or replaces) a control session's file channel token; only a signed-in one's opens.
    bool setFileTransferToken(const UUID& id, const FileTransferChannelToken& token);
    bool isAuthorized(const UUID& id, AuxChannel channel) const;
    bool hasAuthorizedSession() const { return !authorizedAudioSessions.empty() || !authorizedVideoSessions.empty(); }

    std::shared_ptr<AuxSession> add(AuxChannel channel, ConnectionPtr connection, std::string remoteAddress);
    void authorize(AuxSession& session, std::string displayName);

    // A session that loses its sign-in keeps its connection; everything the sign-in gave it goes.
    struct Revoked {
        bool wasAuthorized = false;
        FileChannelPtr fileChannel;  // for the caller to cancel
    };
    Revoked revoke(AuxSession& session);

    // Everything a session left behind, for the caller to release.
    struct Forgotten {
        std::shared_ptr<AuxSession> session;  // null when the session was not known
        bool wasAuthorized = false;
        FileChannelPtr fileChannel;
    };
    Forgotten forget(const UUID& id);

    // A file channel that presented the token of a signed-in control session; the session's
    // older channel, if any, is returned for the caller to cancel.
    FileChannelPtr bindFileChannel(const UUID& sessionID, const FileChannelPtr& channel);
    // Forgets a file channel that ended; the session it served, if it was bound.
    std::optional<UUID> fileChannelEnded(FileTransferChannelConnection* channel);
    // The signed-in control session whose token this is (compared in constant time).
    std::optional<UUID> sessionForToken(std::span<const std::uint8_t> token) const;

    // Entries over every per-session table, for leak checks.
    std::size_t entryCount() const;

private:
    FileChannelPtr unbindFileChannel(AuxSession& session);
};

}  // namespace qm
