#include "support/InMemoryViewer.h"

#include <stdexcept>

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
    connection_ = host.network().connect(port);
    connection_->start(host.platform().makeQueue("viewer"));
    receive();
    host.clock().runUntilIdle();

    IdentityChallengePayload challenge;
    send(AuxPacketType::identityChallenge, challenge.encode());
    auto proof = IdentityProofPayload::decode(next(AuxPacketType::identityProof).payload);
    auto sealed = sealCredential(proof->keyAgreementPublicKey, proof->sessionNonce, ManualServer::user,
                                 ManualServer::password);
    send(AuxPacketType::clientSessionAuth,
         ClientSessionAuthPayload{ManualServer::user, displayName, *sealed}.encode());
    if (!ClientSessionAuthResultPayload::decode(next(AuxPacketType::clientSessionAuthResult).payload)->accepted) {
        throw std::runtime_error("sign-in refused");
    }
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
        if (error) return;
        incoming_.append(data);
        while (auto frame = incoming_.nextFrame()) frames_.push_back(std::move(*frame));
        if (!isComplete) receive();
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
