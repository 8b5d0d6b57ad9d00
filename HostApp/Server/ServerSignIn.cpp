// The identity proof and the sign-in of Viewer sessions.
#include <algorithm>
#include <utility>

#include "HostApp/Server/ServerSupport.h"
#include "Platform/AccountService.h"
#include "Platform/Core/Crypto.h"
#include "Platform/Core/LogText.h"

namespace qm {

void V230HostAudioAuxServer::handleIdentityChallenge(const std::shared_ptr<AuxSession>& session,
                                                     std::span<const std::uint8_t> payload) {
    auto challenge = IdentityChallengePayload::decode(payload);
    if (!challenge) {
        if (!session->authorized) {
            refuseBeforeSignIn(session, "bad identity challenge payload");
            return;
        }
        publishForSession(*session, "aux session " + shortID(session->id) + " sent a bad identity challenge payload");
        sendHostStatus("bad identity challenge payload", session->connection);
        return;
    }
    // Each signature costs the Host; a connection that wants another proof connects again.
    if (session->identityChallenged) {
        if (!session->authorized) {
            refuseBeforeSignIn(session, "code=identity-challenge-repeated");
            return;
        }
        publishForSession(*session, "aux session " + shortID(session->id) + " (" + channelName(session->channel) +
                                        ") code=identity-challenge-repeated");
        sendHostStatus("code=identity-challenge-repeated", session->connection);
        return;
    }
    session->identityChallenged = true;
    if (!identity_) {
        sendHostStatus("code=identity-unavailable", session->connection);
        return;
    }
    std::array<std::uint8_t, 32> nonce{};
    if (!crypto::fillRandom(nonce)) {
        sendHostStatus("code=identity-unavailable", session->connection);
        return;
    }
    session->sessionNonce = nonce;

    // The signature is made on a sign-in queue, so a stream of challenges from many connections
    // never holds up the frames of signed-in Viewers; the proof goes out when it comes back.
    if (!identityQueue_) identityQueue_ = platform_.makeQueue("v230.host.audio.aux.sign-in");
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::weak_ptr<AuxSession> weakSession = session;
    identityQueue_->async([weak, weakSession, keys = *identity_, challengeNonce = challenge->nonce, nonce] {
        auto signature = keys.signIdentityChallenge(challengeNonce, nonce);
        std::optional<Bytes> proofPayload;
        if (signature) {
            IdentityProofPayload proof;
            proof.signature = *signature;
            proof.signingPublicKey = keys.signingPublicKey();
            proof.keyAgreementPublicKey = keys.agreementPublicKey();
            proof.sessionNonce = nonce;
            proofPayload = proof.encode();
        }
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, weakSession, proofPayload = std::move(proofPayload)] {
            auto self = weak.lock();
            auto session = weakSession.lock();
            if (!self || !session || !session->isLive) return;  // it left meanwhile
            if (!proofPayload) {
                self->sendHostStatus("code=identity-unavailable", session->connection);
                return;
            }
            self->sendPacket(session->connection, AuxPacketType::identityProof, *proofPayload);
        });
    });
}

void V230HostAudioAuxServer::handleClientSessionAuth(const std::shared_ptr<AuxSession>& session,
                                                     std::span<const std::uint8_t> payload) {
    auto request = ClientSessionAuthPayload::decode(payload);
    if (!request) {
        session->sessionNonce.reset();  // an attempt all the same
        refuseSignIn(session, "code=bad-sign-in-payload");
        return;
    }
    authorizeAuxSession(session->id, session->channel, session->connection, *request);
}

void V230HostAudioAuxServer::authorizeAuxSession(const UUID& id, AuxChannel channel, const ConnectionPtr& connection,
                                                 const ClientSessionAuthPayload& request) {
    assertOnQueue();
    auto session = sessions_.session(id);
    if (!session || session->connection != connection || session->channel != channel) return;
    // One nonce, one attempt, whatever becomes of it: a credential sent again finds the nonce gone.
    const auto sessionNonce = std::exchange(session->sessionNonce, std::nullopt);
    if (session->signInInFlight) return refuseSignIn(session, "code=sign-in-in-progress");

    const auto console = currentConsoleSessionState();
    if (console.username.empty()) return refuseSignIn(session, "code=no-console-user");
    if (!identity_) return refuseSignIn(session, "code=identity-unavailable");
    if (!sessionNonce) return refuseSignIn(session, "code=identity-challenge-required");
    auto password = unsealCredential(*identity_, *sessionNonce, request.username, request.sealedCredential);
    if (!password) return refuseSignIn(session, "code=invalid-sealed-credential");
    if (!platform_.accounts) return refuseSignIn(session, "code=directory-unavailable");
    // A session already signed in keeps its place; a new one needs room within the bound. Signed-in
    // Viewers that fill it are told so before a check is spent; it is looked at again when the
    // password is accepted.
    if (!session->authorized && sessionBoundReached(*session)) return refuseSignIn(session, "code=too-many-sessions");

    // Each address group has a share of the checks, and waits longer after each failure in a
    // row: counted by machine as admission counts, so a peer does not get a fresh share and a
    // fresh slow-down from each address of its /64.
    const auto wait = signInLimits_.admit(session->admissionGroup, platform_.clock->uptimeNs());
    if (!wait) return refuseSignIn(session, "code=sign-in-busy");

    session->signInInFlight = true;
    SignInAttempt attempt;
    attempt.id = id;
    attempt.epoch = ++session->signInEpoch;
    attempt.group = session->admissionGroup;
    // The user name is checked whether or not it is the console user's, and compared with it
    // only after the check, so a wrong name and a wrong password take the same path and time.
    attempt.username = request.username;
    attempt.displayName = request.displayName.empty() ? std::string("Viewer") : request.displayName;
    attempt.consoleUser = console.username;
    attempt.password = std::make_shared<crypto::SecretString>(std::move(*password));
    if (*wait <= 0) return startPasswordCheck(std::move(attempt));

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::string heldGroup = attempt.group;
    auto item = std::make_shared<DispatchWorkItem>([weak, attempt = std::move(attempt)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        if (auto waiting = self->sessions_.session(attempt.id)) waiting->delayedSignIn.reset();
        self->startPasswordCheck(std::move(attempt));
    });
    session->delayedSignIn = AuxSession::DelayedSignIn{item, std::move(heldGroup)};
    queue->asyncAfter(*wait, std::move(item));
}

bool V230HostAudioAuxServer::sessionBoundReached(const AuxSession& session) const {
    // Only signed-in sessions count: an attempt in flight holds its connection, which the places
    // for connections not signed in bound already, and it is judged again as it signs in. So
    // peers that do not know the password cannot take the places of Viewers that do. Each
    // session counts the descriptors it can come to hold, so the Host keeps its own whatever
    // they do.
    const auto& group = session.admissionGroup;
    const auto own = SessionBound::descriptorsOf(session.channel == AuxChannel::control);
    std::size_t total = own, fromGroup = own;
    for (const auto& [id, other] : sessions_.sessions()) {
        if (other.get() == &session || !other->authorized) continue;
        const auto held = SessionBound::descriptorsOf(other->channel == AuxChannel::control);
        total += held;
        if (other->admissionGroup == group) fromGroup += held;
    }
    return total > sessionBound_.descriptors || fromGroup > sessionBound_.perGroup;
}

void V230HostAudioAuxServer::cancelDelayedSignIn(AuxSession& session) {
    if (!session.delayedSignIn) return;
    // The block (and the password it holds) is released now, not when its delay would end.
    session.delayedSignIn->item->cancel();
    signInLimits_.finish(session.delayedSignIn->group, SignInLimits::Outcome::notChecked, platform_.clock->uptimeNs());
    session.delayedSignIn.reset();
}

void V230HostAudioAuxServer::startPasswordCheck(SignInAttempt attempt) {
    auto session = sessions_.session(attempt.id);
    if (!session || session->signInEpoch != attempt.epoch || !session->signInInFlight) {
        signInLimits_.finish(attempt.group, SignInLimits::Outcome::notChecked, platform_.clock->uptimeNs());
        return;
    }
    // Addresses being slowed down share only part of the checks: however many of them keep
    // guessing, an address that is not finds a check free.
    attempt.slowed = signInLimits_.slowsDown(attempt.group);
    if (signInsInFlight_ >= options_.maxConcurrentSignIns ||
        (attempt.slowed && slowedSignInsInFlight_ >= options_.maxConcurrentSlowedSignIns)) {
        signInLimits_.finish(attempt.group, SignInLimits::Outcome::notChecked, platform_.clock->uptimeNs());
        session->signInInFlight = false;
        refuseSignIn(session, "code=sign-in-busy");
        replayHeldFrames(session);
        return;
    }

    // The password check may take seconds; it runs on a queue of its own and its answer comes
    // back to the server queue, so other Viewers' streams never wait for it.
    auto slot = std::find(signInQueueBusy_.begin(), signInQueueBusy_.end(), false);
    if (slot == signInQueueBusy_.end()) {
        signInQueues_.push_back(platform_.makeQueue("v230.host.audio.aux.sign-in"));
        signInQueueBusy_.push_back(false);
        slot = signInQueueBusy_.end() - 1;
    }
    const auto index = static_cast<std::size_t>(slot - signInQueueBusy_.begin());
    signInQueueBusy_[index] = true;
    ++signInsInFlight_;
    if (attempt.slowed) ++slowedSignInsInFlight_;

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto accounts = platform_.accounts;
    signInQueues_[index]->async([weak, accounts, index, attempt = std::move(attempt)]() mutable {
        auto result = accounts->verifyPassword(attempt.username, attempt.password->view());
        *attempt.password = crypto::SecretString();
        attempt.password.reset();
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, index, attempt = std::move(attempt), result = std::move(result)] {
            if (auto self = weak.lock()) {
                self->signInQueueBusy_[index] = false;
                --self->signInsInFlight_;
                if (attempt.slowed) --self->slowedSignInsInFlight_;
                self->finishSignIn(attempt, result);
            }
        });
    });
}

void V230HostAudioAuxServer::finishSignIn(const SignInAttempt& attempt, const PasswordCheckResult& result) {
    SnapshotOnExit snapshotOnExit{*this};
    // Compared in constant time and only now, after the check (see authorizeAuxSession).
    const bool isConsoleUser = crypto::constantTimeEqual(attempt.username, attempt.consoleUser);
    std::string refusal;
    auto outcome = SignInLimits::Outcome::refused;
    if (result.outcome == PasswordCheckResult::Outcome::unavailable) {
        publish("sign-in: password check unavailable: " + escapedForLog(result.reason));
        refusal = "code=directory-unavailable";
        outcome = SignInLimits::Outcome::notChecked;
    } else if (result.outcome == PasswordCheckResult::Outcome::rejected || !isConsoleUser) {
        refusal = "code=invalid-credentials";
    } else if (!crypto::constantTimeEqual(currentConsoleSessionState().username, attempt.username)) {
        // The console changed hands while the password was checked.
        refusal = "code=no-console-user";
        outcome = SignInLimits::Outcome::notChecked;
    } else {
        outcome = SignInLimits::Outcome::accepted;
    }
    if (signInLimits_.finish(attempt.group, outcome, platform_.clock->uptimeNs())) {
        publish("sign-in: slowing down password checks from " + attempt.group + " after repeated failures");
    }

    auto session = sessions_.session(attempt.id);
    if (!session || session->signInEpoch != attempt.epoch || !session->signInInFlight) return;
    session->signInInFlight = false;
    // Where the session comes to hold more: signed-in Viewers that filled the bound meanwhile
    // keep it (a session signed in already keeps its place).
    if (refusal.empty() && !session->authorized && sessionBoundReached(*session)) refusal = "code=too-many-sessions";
    if (!refusal.empty()) {
        refuseSignIn(session, refusal);
    } else {
        acceptSignIn(session, attempt);
    }
    replayHeldFrames(session);
}

void V230HostAudioAuxServer::acceptSignIn(const std::shared_ptr<AuxSession>& session, const SignInAttempt& attempt) {
    const UUID id = session->id;
    const auto& displayName = attempt.displayName;
    if (session->signInDeadline) session->signInDeadline->cancel();
    session->signInDeadline.reset();
    sessions_.authorize(*session, displayName);
    // Counted with the signed-in sessions from now on, no longer among those not signed in.
    session->connection->leaveAcceptBudget();
    const bool control = session->channel == AuxChannel::control;
    publish("aux session " + shortID(id) + " (" + channelName(session->channel) + ") authorized for " +
            escapedForLog(attempt.username) + " as \"" + escapedForLog(displayName) + "\" from " +
            sessions_.remoteAddress(id).value_or(""));
    sendPacket(session->connection, AuxPacketType::clientSessionAuthResult,
               ClientSessionAuthResultPayload{true, "ok"}.encode());

    if (!control) {
        const std::string reconnected = "Viewer video session reconnected";
        endSleepRecoveryViewerReconnectGrace(reconnected);
        if (!power_.screensAreSleeping() && power_.savedPhysicalCapture()) {
            power_.awaitPhysicalRecovery();
            startSleepPreflightPhysicalRecovery(reconnected);
        }
    }
    if (equalsIgnoringCase(displayName, "iOS Viewer")) {
        endIOSViewerBackgroundSleepGrace("iOS Viewer reconnected");
    }
    if (control) {
        // The audio send list is not rebuilt here: a new Viewer hears once an audioControl
        // (its own or another's), the end of exclusive listening or a departure rebuilds it.
        sendFileTransferEndpoint(id, session->connection);
        broadcastHostSessionInfo();
        if (display_.lastDisplayLayout()) sendPacket(session->connection, AuxPacketType::displayLayout, display_.lastDisplayLayout()->encode());
    } else {
        videoSessionAuthorized(id);
    }
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::refuseSignIn(const std::shared_ptr<AuxSession>& session, const std::string& code) {
    publishForSession(*session, "aux session " + shortID(session->id) + " (" + channelName(session->channel) +
                                    ") sign-in refused: " + code);
    sendPacket(session->connection, AuxPacketType::clientSessionAuthResult,
               ClientSessionAuthResultPayload{false, code}.encode());
    sendHostStatus(code, session->connection);
    // A refused attempt changes nothing else: a session already signed in stays signed in, and
    // a check still running for it still counts.
}

}  // namespace qm
