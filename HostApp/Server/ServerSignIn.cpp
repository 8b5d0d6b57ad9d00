// The identity proof and the sign-in of Viewer sessions.
#include <algorithm>

#include "HostApp/Server/ServerSupport.h"
#include "Platform/AccountService.h"
#include "Platform/Crypto.h"

namespace qm {

void V230HostAudioAuxServer::handleIdentityChallenge(const std::shared_ptr<AuxSession>& session,
                                                     std::span<const std::uint8_t> payload) {
    auto challenge = IdentityChallengePayload::decode(payload);
    if (!challenge) {
        publish("aux session " + shortID(session->id) + " sent a bad identity challenge payload");
        sendHostStatus("bad identity challenge payload", session->connection);
        return;
    }
    if (!identity_) {
        sendHostStatus("code=identity-unavailable", session->connection);
        return;
    }
    if (!session->sessionNonce) {
        std::array<std::uint8_t, 32> nonce{};
        if (!crypto::fillRandom(nonce)) {
            sendHostStatus("code=identity-unavailable", session->connection);
            return;
        }
        session->sessionNonce = nonce;
    }
    auto signature = identity_->signIdentityChallenge(challenge->nonce, *session->sessionNonce);
    if (!signature) {
        sendHostStatus("code=identity-unavailable", session->connection);
        return;
    }
    IdentityProofPayload proof;
    proof.signature = *signature;
    proof.signingPublicKey = identity_->signingPublicKey();
    proof.keyAgreementPublicKey = identity_->agreementPublicKey();
    proof.sessionNonce = *session->sessionNonce;
    sendPacket(session->connection, AuxPacketType::identityProof, proof.encode());
}

void V230HostAudioAuxServer::authorizeAuxSession(const UUID& id, AuxChannel channel, const ConnectionPtr& connection,
                                                 const ClientSessionAuthPayload& request) {
    auto session = sessions_.session(id);
    if (!session || session->connection != connection || session->channel != channel) return;
    if (session->signInInFlight) {
        sendHostStatus("code=sign-in-in-progress", connection);
        return;
    }

    const auto console = currentConsoleSessionState();
    if (console.username.empty()) return refuseSignIn(session, "code=no-console-user");
    if (!identity_) return refuseSignIn(session, "code=identity-unavailable");
    if (!session->sessionNonce) return refuseSignIn(session, "code=identity-challenge-required");

    // One nonce, one attempt: a credential sent again on this connection finds the nonce gone.
    const auto sessionNonce = *session->sessionNonce;
    session->sessionNonce.reset();
    auto password = unsealCredential(*identity_, sessionNonce, request.username, request.sealedCredential);
    if (!password) return refuseSignIn(session, "code=invalid-sealed-credential");
    // A wrong user name and a wrong password answer alike, so probing does not reveal the console user.
    if (!crypto::constantTimeEqual(request.username, console.username)) {
        return refuseSignIn(session, "code=invalid-credentials");
    }
    if (!platform_.accounts) return refuseSignIn(session, "code=directory-unavailable");
    if (signInsInFlight_ >= options_.maxConcurrentSignIns) return refuseSignIn(session, "code=sign-in-busy");

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
    session->signInInFlight = true;
    const auto epoch = ++session->signInEpoch;

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto accounts = platform_.accounts;
    auto displayName = request.displayName.empty() ? std::string("Viewer") : request.displayName;
    signInQueues_[index]->async([weak, accounts, id, epoch, index, username = request.username,
                                 displayName = std::move(displayName), password = std::move(*password)]() mutable {
        auto result = accounts->verifyPassword(username, password.view());
        password = crypto::SecretString();
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, id, epoch, index, username, displayName, result] {
            if (auto self = weak.lock()) {
                self->signInQueueBusy_[index] = false;
                --self->signInsInFlight_;
                self->finishSignIn(id, epoch, username, displayName, result);
            }
        });
    });
}

void V230HostAudioAuxServer::finishSignIn(const UUID& id, std::uint64_t epoch, const std::string& username,
                                          const std::string& displayName, const PasswordCheckResult& result) {
    auto session = sessions_.session(id);
    if (!session || session->signInEpoch != epoch || !session->signInInFlight) return;
    session->signInInFlight = false;

    if (result.outcome == PasswordCheckResult::Outcome::rejected) return refuseSignIn(session, "code=invalid-credentials");
    if (result.outcome == PasswordCheckResult::Outcome::unavailable) {
        publish("sign-in: password check unavailable: " + result.reason);
        return refuseSignIn(session, "code=directory-unavailable");
    }
    // The console may have changed hands while the password was checked.
    if (currentConsoleSessionState().username != username) return refuseSignIn(session, "code=no-console-user");

    if (session->signInDeadline) session->signInDeadline->cancel();
    session->signInDeadline.reset();
    sessions_.authorize(*session, displayName);
    const bool control = session->channel == AuxChannel::control;
    publish("aux session " + shortID(id) + " (" + channelName(session->channel) + ") authorized for " + username +
            " as \"" + displayName + "\" from " + sessions_.remoteAddress(id).value_or(""));
    sendPacket(session->connection, AuxPacketType::clientSessionAuthResult,
               ClientSessionAuthResultPayload{true, "ok"}.encode());

    if (!control) {
        endSleepRecoveryViewerReconnectGrace("Viewer video session reconnected");
    }
    if (equalsIgnoringCase(displayName, "iOS Viewer")) {
        endIOSViewerBackgroundSleepGrace("iOS Viewer reconnected");
    }
    if (control) {
        sendFileTransferEndpoint(id, session->connection);
        updateAudioSendConnections();
        broadcastHostSessionInfo();
        if (display_.lastDisplayLayout) sendPacket(session->connection, AuxPacketType::displayLayout, display_.lastDisplayLayout->encode());
    } else {
        videoSessionAuthorized(id);
    }
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::refuseSignIn(const std::shared_ptr<AuxSession>& session, const std::string& code) {
    publish("aux session " + shortID(session->id) + " (" + channelName(session->channel) + ") sign-in refused: " + code);
    sendPacket(session->connection, AuxPacketType::clientSessionAuthResult,
               ClientSessionAuthResultPayload{false, code}.encode());
    sendHostStatus(code, session->connection);
    revokeAuthorization(session);
}

void V230HostAudioAuxServer::revokeAuthorization(const std::shared_ptr<AuxSession>& session) {
    // A pending password check no longer counts for this session.
    ++session->signInEpoch;
    session->signInInFlight = false;
    const auto revoked = sessions_.revoke(*session);
    if (!revoked.wasAuthorized) return;
    if (revoked.fileChannel) endFileChannel(session->id, revoked.fileChannel);
    if (session->channel == AuxChannel::control) {
        audio_->forget(session->id, true);
    } else {
        videoFlow_.forget(session->id);
        updateVideoGateLocked(platform_.clock->uptimeNs());
        stopVideoCaptureIfIdle();
    }
    // A session that lost its authorisation gets the same time to sign in again as a new one.
    armSignInDeadline(session);
    updateViewerIdleSleepAssertion();
}

}  // namespace qm
