#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "HostApp/Server/Admission.h"
#include "Platform/Core/Clock.h"
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

// A clipboard snapshot a Viewer sent that waits to be decoded on the clipboard queue: only the
// newest waits, and a decode takes it. The one part of a session another queue reaches, so it has
// its own lock and is shared with the decode that is queued for it.
class PendingClipboard {
public:
    // `waiting` counts the snapshots waiting over every session, for leak checks.
    explicit PendingClipboard(std::shared_ptr<std::atomic<std::size_t>> waiting) : waiting_(std::move(waiting)) {}
    ~PendingClipboard() { take(); }
    PendingClipboard(const PendingClipboard&) = delete;
    PendingClipboard& operator=(const PendingClipboard&) = delete;

    // Puts `payload` in place of any waiting one; true when none waited (a decode must be queued,
    // else the one queued takes this).
    bool offer(std::vector<std::uint8_t> payload);
    // The waiting snapshot, if any; nothing waits afterwards.
    std::optional<std::vector<std::uint8_t>> take();

private:
    std::mutex lock_;
    std::optional<std::vector<std::uint8_t>> payload_;
    const std::shared_ptr<std::atomic<std::size_t>> waiting_;
};

// One Viewer connection on the control or the video port, and the one object that holds what the
// Host keeps for it: its connection and reader, its sign-in, its log budgets, what its sign-in
// gave it and the clipboard it sent that waits to be decoded. Ending it (`end`) releases what it
// holds. Owned by the server queue (the pending clipboard excepted, see above).
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
    // An admitted attempt waiting out its address group's delay before the password check (at most
    // one: it counts as in flight, but holds no place a newcomer cannot take): the queued work, and
    // the group whose share of checks it holds.
    struct DelayedSignIn {
        DispatchWorkItemPtr item;
        std::string group;
    };
    std::optional<DelayedSignIn> delayedSignIn;
    // Its password is being checked now, not waiting out a slow-down: the one state in which a
    // connection that has not signed in keeps its place against a newcomer (a check running
    // cannot be called back; a wait can be cancelled, giving its address's share back).
    bool passwordCheckRunning() const { return signInInFlight && !delayedSignIn; }
    // Frames refused before sign-in.
    int refusedFrames = 0;
    // When it was admitted among the connections not signed in (lower is older), for choosing
    // which of them makes room for a newcomer.
    std::uint64_t admissionOrder = 0;
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
    std::string admissionGroup;  // admissionGroup(remoteAddress): the machine it counts for
    std::optional<std::string> displayName;
    std::optional<FileTransferChannelToken> fileTransferToken;
    std::shared_ptr<FileTransferChannelConnection> fileChannel;
    // A received clipboard snapshot not decoded yet (control sessions).
    std::shared_ptr<PendingClipboard> pendingClipboard;

    // The session left: its sign-in deadline stops, its connection closes and a clipboard still
    // waiting is dropped. Its file channel is the tables' to unbind (see SessionTables::forget),
    // and a delayed sign-in the server's to cancel (it gives its address's share back).
    void end();
};

// The server's Viewer sessions. Each AuxSession is the one object that holds what the Host keeps
// for its connection (reader, sign-in, log budget, name, address, file-channel token and channel,
// pending clipboard); the tables only index them: by id, by channel and sign-in, file channels by
// connection. The indexes are private and change only with the operations below, so they cannot
// drift from the sessions they point to. The tables also hold the file channels that have not
// presented a token yet and the picture-in-picture regions the Viewers share. Owned by the server
// queue. A session enters with `add`, signs in with `authorize`, loses its sign-in with `revoke`
// and leaves with `forget`, which removes every entry it had in any index.
class SessionTables {
public:
    using FileChannelPtr = std::shared_ptr<FileTransferChannelConnection>;
    // File channels that have not presented a token yet.
    struct PendingFileChannel {
        FileChannelPtr channel;
        std::string remoteAddress;  // host part, no port
        std::uint64_t admissionOrder = 0;  // as AuxSession::admissionOrder
        std::string admissionGroup;  // as AuxSession::admissionGroup
        // Closes the channel when no token came in time; cancelled as it leaves this table, so a
        // connection that comes and goes leaves no timer behind.
        DispatchWorkItemPtr deadline;
    };

    // `clock` dates the connections closed before signing in (see closedBeforeSignIn); without
    // one they all count as closed at time 0.
    SessionTables() = default;
    explicit SessionTables(std::shared_ptr<const Clock> clock) : clock_(std::move(clock)) {}

    // Shared by every Viewer (regions are named, not owned): not an index of sessions.
    std::map<std::string, Rect> pipRegions;

    // ---- The indexes, read-only ----
    const std::unordered_map<UUID, std::shared_ptr<AuxSession>>& sessions() const { return sessions_; }
    // The control (and audio) connection of each control session, and each video session's.
    const std::unordered_map<UUID, ConnectionPtr>& audioSessions() const { return audioSessions_; }
    const std::unordered_map<UUID, ConnectionPtr>& videoSessions() const { return videoSessions_; }
    const std::unordered_set<UUID>& authorizedAudioSessions() const { return authorizedAudioSessions_; }
    const std::unordered_set<UUID>& authorizedVideoSessions() const { return authorizedVideoSessions_; }
    const std::unordered_map<FileTransferChannelConnection*, PendingFileChannel>& pendingFileChannels() const {
        return pendingFileChannels_;
    }
    // The bound file channels, by connection, to the control session each serves.
    const std::unordered_map<FileTransferChannelConnection*, UUID>& fileChannelSessions() const {
        return fileChannelSessions_;
    }

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
    bool hasAuthorizedSession() const { return !authorizedAudioSessions_.empty() || !authorizedVideoSessions_.empty(); }
    // The number of signed-in control sessions, readable from any thread: it changes in the same
    // step as the authorised set, so a caller off the queue sees a Viewer gone as soon as the
    // queue has let it go, not when a snapshot is next rebuilt.
    std::size_t signedInControlCount() const { return signedInControlCount_->load(); }

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

    // A file channel connected and waits for its token.
    void admitPendingFileChannel(const FileChannelPtr& channel, std::string remoteAddress, DispatchWorkItemPtr deadline);
    // A waiting file channel is dropped (refused or ended); false when it was not waiting.
    bool dropPendingFileChannel(FileTransferChannelConnection* channel);
    // Every waiting file channel, for the caller to cancel; none wait afterwards.
    std::vector<FileChannelPtr> takePendingFileChannels();
    // A file channel that presented the token of a signed-in control session; the session's
    // older channel, if any, is returned for the caller to cancel.
    FileChannelPtr bindFileChannel(const UUID& sessionID, const FileChannelPtr& channel);
    // Forgets a file channel that ended; the session it served, if it was bound.
    std::optional<UUID> fileChannelEnded(FileTransferChannelConnection* channel);
    // The signed-in control session whose token this is (compared in constant time).
    std::optional<UUID> sessionForToken(std::span<const std::uint8_t> token) const;

    // How many connections from this address group (sessions, and file channels before their
    // token) left the tables lately without having signed in: for admission to tell a group that
    // keeps connecting and going from one that connected once (see PendingAdmission).
    std::uint32_t closedBeforeSignIn(const std::string& admissionGroup) const;

    // Entries over every per-session table, for leak checks.
    std::size_t entryCount() const;
    // Clipboard snapshots waiting to be decoded, over every session the tables made (also one that
    // left but is still referenced): a session's end must drop its own.
    std::size_t clipboardsWaiting() const { return clipboardsWaiting_->load(); }

private:
    FileChannelPtr unbindFileChannel(AuxSession& session);
    std::uint64_t nowNs() const { return clock_ ? clock_->uptimeNs() : 0; }

    std::unordered_map<UUID, std::shared_ptr<AuxSession>> sessions_;
    std::unordered_map<UUID, ConnectionPtr> audioSessions_;
    std::unordered_set<UUID> authorizedAudioSessions_;
    std::unordered_map<UUID, ConnectionPtr> videoSessions_;
    std::unordered_set<UUID> authorizedVideoSessions_;
    std::unordered_map<FileTransferChannelConnection*, PendingFileChannel> pendingFileChannels_;
    std::unordered_map<FileTransferChannelConnection*, UUID> fileChannelSessions_;
    // The admission order of the next connection (session or waiting file channel).
    std::uint64_t nextAdmissionOrder_ = 1;
    std::shared_ptr<const Clock> clock_;
    // Per address group, not per session: bounded on its own and outlives the sessions it counts.
    ClosedBeforeSignIn closedBeforeSignIn_;
    const std::shared_ptr<std::atomic<std::size_t>> clipboardsWaiting_ = std::make_shared<std::atomic<std::size_t>>(0);
    // authorizedAudioSessions_.size(), for readers off the queue.
    const std::shared_ptr<std::atomic<std::size_t>> signedInControlCount_ =
        std::make_shared<std::atomic<std::size_t>>(0);
};

}  // namespace qm
