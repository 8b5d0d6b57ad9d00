#include "support/TestViewer.h"

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <array>

#include "Platform/Clock.h"
#include "Platform/Crypto.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/QuillmereIdentity.h"

namespace qm::test {

namespace {
void connectSocket(asio::ip::tcp::socket& socket, const std::string& host, std::uint16_t port) {
    std::error_code ec;
    socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address(host), port), ec);
    if (!ec) socket.set_option(asio::ip::tcp::no_delay(true), ec);
}
}  // namespace

TestViewer::TestViewer(std::uint16_t port, std::string host) : socket_(context_) {
    connectSocket(socket_, host, port);
    connected_ = socket_.is_open();
    if (connected_) reader_ = std::thread([this] { readLoop(); });
}

TestViewer::~TestViewer() {
    disconnect();
    if (reader_.joinable()) reader_.join();
}

void TestViewer::disconnect() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
}

void TestViewer::readLoop() {
    AuxFrameReader reader(64 << 20);  // video keyframes may pass the control channel's 1 MiB
    std::vector<std::uint8_t> buffer(AuxFrameReader::maxReadSize);
    for (;;) {
        std::error_code ec;
        const auto n = socket_.read_some(asio::buffer(buffer), ec);
        if (ec || n == 0) break;
        const auto receivedNs = SystemClock::shared()->uptimeNs();
        if (!reader.append(std::span(buffer.data(), n))) break;
        std::lock_guard lock(mutex_);
        while (auto frame = reader.nextFrame()) {
            if (observer_) observer_(*frame, receivedNs);
            if (frame->header.type == AuxPacketType::hostStatus) {
                statuses_.emplace_back(frame->payload.begin(), frame->payload.end());
            }
            received_.push_back(std::move(*frame));
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

void TestViewer::setObserver(std::function<void(const AuxFrame&, std::uint64_t)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void TestViewer::send(AuxPacketType type, const Bytes& payload, std::uint8_t flags) {
    sendRaw(makeAuxPacket(type, flags, payload, 0));
}

void TestViewer::sendRaw(const Bytes& bytes) {
    std::error_code ec;
    asio::write(socket_, asio::buffer(bytes), ec);
}

std::optional<AuxFrame> TestViewer::waitFor(AuxPacketType type, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<AuxFrame> found;
    changed_.wait_for(lock, timeout, [&] {
        for (auto it = received_.begin(); it != received_.end(); ++it) {
            if (it->header.type == type) {
                found = std::move(*it);
                received_.erase(it);
                return true;
            }
        }
        return closed_;
    });
    return found;
}

std::vector<std::string> TestViewer::statusTexts() {
    std::lock_guard lock(mutex_);
    return statuses_;
}

bool TestViewer::waitForStatus(const std::string& needle, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& text : statuses_)
            if (text.find(needle) != std::string::npos) return true;
        return false;
    });
}

bool TestViewer::waitForClose(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return closed_; });
}

std::size_t TestViewer::receivedCount() {
    std::lock_guard lock(mutex_);
    return received_.size();
}

std::optional<IdentityProofPayload> TestViewer::proveIdentity() {
    IdentityChallengePayload challenge;
    if (!crypto::fillRandom(challenge.nonce)) return std::nullopt;
    send(AuxPacketType::identityChallenge, challenge.encode());
    auto answer = waitFor(AuxPacketType::identityProof);
    if (!answer) return std::nullopt;
    auto proof = IdentityProofPayload::decode(answer->payload);
    if (!proof || !verifyIdentityProof(proof->signingPublicKey, challenge.nonce, proof->signature,
                                       proof->keyAgreementPublicKey, proof->sessionNonce)) {
        return std::nullopt;
    }
    proof_ = proof;
    return proof;
}

std::optional<ClientSessionAuthResultPayload> TestViewer::signIn(const std::string& username,
                                                                 const std::string& password,
                                                                 const std::string& displayName) {
    // Every attempt needs a fresh proof: the Host retires the session nonce after each one.
    if (!proveIdentity()) return std::nullopt;
    auto sealed = sealCredential(proof_->keyAgreementPublicKey, proof_->sessionNonce, username, password);
    if (!sealed) return std::nullopt;
    {
        // Answers to earlier attempts are not the answer to this one.
        std::lock_guard lock(mutex_);
        std::erase_if(received_, [](const AuxFrame& f) { return f.header.type == AuxPacketType::clientSessionAuthResult; });
    }
    send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{username, displayName, *sealed}.encode());
    auto result = waitFor(AuxPacketType::clientSessionAuthResult, 30s);
    if (!result) return std::nullopt;
    return ClientSessionAuthResultPayload::decode(result->payload);
}

// ---- File channel ------------------------------------------------------------------------------

TestFileChannel::TestFileChannel(std::uint16_t port, std::string host) : socket_(context_) {
    connectSocket(socket_, host, port);
    if (socket_.is_open()) reader_ = std::thread([this] { readLoop(); });
}

TestFileChannel::~TestFileChannel() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    if (reader_.joinable()) reader_.join();
}

void TestFileChannel::readLoop() {
    Bytes pending;
    std::vector<std::uint8_t> buffer(262144);
    for (;;) {
        std::error_code ec;
        const auto n = socket_.read_some(asio::buffer(buffer), ec);
        if (ec || n == 0) break;
        pending.insert(pending.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        std::lock_guard lock(mutex_);
        while (pending.size() >= 8) {
            const std::uint32_t length = pending[4] | pending[5] << 8 | pending[6] << 16 |
                                         static_cast<std::uint32_t>(pending[7]) << 24;
            if (pending.size() < 8 + static_cast<std::size_t>(length)) break;
            frames_.emplace_back(pending.begin() + 8, pending.begin() + 8 + length);
            pending.erase(pending.begin(), pending.begin() + 8 + length);
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

void TestFileChannel::sendFrame(const Bytes& payload) {
    ByteWriter frame;
    frame.bytes(FileTransferChannelConstants::magic).u32(static_cast<std::uint32_t>(payload.size())).bytes(payload);
    sendRaw(frame.data());
}

void TestFileChannel::sendPacket(const FileTransferPacket& packet) {
    // The frame header and the packet's fields, then its data straight from the packet.
    const FileTransferPacket fields{packet.op, packet.batchID, packet.value1, packet.value2, packet.path, {}};
    Bytes head = fields.encode(FileTransferChannelConstants::headerSize);
    head.resize(head.size() - 4);  // the empty data's length, rewritten below
    const auto dataLength = static_cast<std::uint32_t>(packet.data.size());
    ByteWriter lengths;
    lengths.u32(dataLength);
    head.insert(head.end(), lengths.data().begin(), lengths.data().end());
    const auto payloadLength = static_cast<std::uint32_t>(head.size() - FileTransferChannelConstants::headerSize + dataLength);
    ByteWriter header;
    header.bytes(FileTransferChannelConstants::magic).u32(payloadLength);
    std::copy(header.data().begin(), header.data().end(), head.begin());
    std::error_code ec;
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(head), asio::buffer(packet.data)};
    asio::write(socket_, buffers, ec);
}

void TestFileChannel::sendRaw(const Bytes& bytes) {
    std::error_code ec;
    asio::write(socket_, asio::buffer(bytes), ec);
}

std::optional<Bytes> TestFileChannel::waitForFrame(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return !frames_.empty() || closed_; }) || frames_.empty()) {
        return std::nullopt;
    }
    auto frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

bool TestFileChannel::waitForClose(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return closed_; });
}

}  // namespace qm::test
