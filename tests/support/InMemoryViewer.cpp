#include "support/InMemoryViewer.h"

#include <stdexcept>

#include "Platform/Core/Crypto.h"
#include "QuillmereProfiles/QuillmereIdentity.h"

namespace qm::test {

ManualServer::ManualServer() {
    accounts_->setConsoleSessionState({user, "Bench", false, false, true});
    accounts_->setPassword(user, password);
    manual_.platform.network = network_;
    manual_.platform.accounts = accounts_;
    manual_.platform.displays = displays_;
    displays_->setClock(manual_.clock);
    manual_.platform.virtualDisplays = virtualDisplays_;
    manual_.platform.screenCapture = screenCapture_;
    manual_.platform.eventPoster = events_;
    manual_.platform.audioCapture = audioCapture_;
    manual_.platform.configDirectory = config_.path();
    manual_.platform.dragPasteboard = drag_;
    V230HostAudioAuxServer::Options options;
    options.ports = ServerPorts{0, 0, 0};
    options.listenAddress = "127.0.0.1";
    options.advertise = false;
    server_ = V230HostAudioAuxServer::create(manual_.platform, options);
    server_->onStatus = [statuses = statuses_](const std::string& text) { statuses->push_back(text); };
    server_->start();
    manual_.clock->runUntilIdle();
}

bool ManualServer::sawStatus(const std::string& needle) const {
    for (const auto& text : *statuses_)
        if (text.find(needle) != std::string::npos) return true;
    return false;
}

ManualServer::~ManualServer() {
    bool done = false;
    server_->beginTermination([&] { done = true; });
    for (int i = 0; i < 100 && !done; ++i) manual_.clock->advance(0.05);
}

InMemoryViewer::InMemoryViewer(ManualServer& host, std::uint16_t port, const std::string& displayName)
    : host_(host) {
    connect(port, "127.0.0.1");
    proveIdentity();
    auto result = signIn(ManualServer::user, ManualServer::password, displayName);
    if (!result || !result->accepted) throw std::runtime_error("sign-in refused");
}

InMemoryViewer::InMemoryViewer(ManualServer& host, std::uint16_t port, NotSignedIn, const std::string& fromAddress)
    : host_(host) {
    connect(port, fromAddress);
}

void InMemoryViewer::connect(std::uint16_t port, const std::string& fromAddress) {
    connection_ = host_.network().connect(port, fromAddress);
    queue_ = std::static_pointer_cast<ManualDispatchQueue>(host_.platform().makeQueue("viewer"));
    connection_->start(queue_);
    receive();
    host_.clock().runUntilIdle();
}

IdentityProofPayload InMemoryViewer::proveIdentity() {
    IdentityChallengePayload challenge;
    if (!crypto::fillRandom(challenge.nonce)) throw std::runtime_error("no random bytes");
    send(AuxPacketType::identityChallenge, challenge.encode());
    auto proof = IdentityProofPayload::decode(next(AuxPacketType::identityProof).payload);
    if (!proof || !verifyIdentityProof(proof->signingPublicKey, challenge.nonce, proof->signature,
                                       proof->keyAgreementPublicKey, proof->sessionNonce)) {
        throw std::runtime_error("the identity proof does not verify");
    }
    proof_ = proof;
    return *proof;
}

std::optional<ClientSessionAuthResultPayload> InMemoryViewer::signIn(const std::string& username,
                                                                     const std::string& password,
                                                                     const std::string& displayName) {
    if (!proof_) throw std::runtime_error("no identity proof to seal to");
    auto sealed = sealCredential(proof_->keyAgreementPublicKey, proof_->sessionNonce, username, password);
    send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{username, displayName, *sealed}.encode());
    return result();
}

std::optional<ClientSessionAuthResultPayload> InMemoryViewer::result() {
    for (auto it = frames_.begin(); it != frames_.end(); ++it) {
        if (it->header.type == AuxPacketType::clientSessionAuthResult) {
            auto decoded = ClientSessionAuthResultPayload::decode(it->payload);
            frames_.erase(it);
            return decoded;
        }
    }
    return std::nullopt;
}

std::vector<std::string> InMemoryViewer::statusTexts() const {
    return statuses_;
}

InMemoryViewer::~InMemoryViewer() {
    connection_->cancel();
}

void InMemoryViewer::disconnect() {
    connection_->cancel();
    host_.clock().runUntilIdle();
}

void InMemoryViewer::receive() {
    connection_->receive(1, 1 << 20, [this](Bytes data, bool isComplete, const std::optional<NetworkError>& error) {
        if (error) {
            closed_ = true;
            return;
        }
        incoming_.append(data);
        while (auto frame = incoming_.nextFrame()) {
            if (frame->header.type == AuxPacketType::hostStatus) statuses_.emplace_back(frame->payload.begin(), frame->payload.end());
            frames_.push_back(std::move(*frame));
        }
        if (isComplete) {
            closed_ = true;
        } else {
            receive();
        }
    });
}

void InMemoryViewer::send(AuxPacketType type, const Bytes& payload) {
    sendRaw(makeAuxPacket(type, 0, payload, 0));
}

void InMemoryViewer::sendRaw(const Bytes& bytes) {
    connection_->send(bytes);
    host_.clock().runUntilIdle();
}

AuxFrame InMemoryViewer::next(AuxPacketType type) {
    for (int round = 0; round < 100; ++round) {
        host_.clock().runUntilIdle();
        for (auto it = frames_.begin(); it != frames_.end(); ++it) {
            if (it->header.type == type) {
                auto frame = std::move(*it);
                frames_.erase(it);
                return frame;
            }
        }
    }
    throw std::runtime_error("no " + auxPacketTypeName(type) + " arrived");
}

std::vector<AuxFrame> InMemoryViewer::takeAll() {
    return std::exchange(frames_, {});
}

}  // namespace qm::test
