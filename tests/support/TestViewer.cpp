#include "support/TestViewer.h"

#include <sys/socket.h>

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <opus/opus.h>
#include <array>

#include "Platform/Core/Clock.h"
#include "Platform/Core/Crypto.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/QuillmereIdentity.h"

namespace qm::test {

namespace {
// Stops the reading thread without telling the peer (shutting down only this side's reading sends
// nothing), then closes with a zero linger so the peer gets a reset instead of an orderly close.
void resetSocket(asio::ip::tcp::socket& socket, std::thread& reader) {
    std::error_code ec;
    // Set on the descriptor itself: Asio's own set_option also writes the socket object's state,
    // which the reading thread is reading.
    const ::linger zeroLinger{1, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_LINGER, &zeroLinger, sizeof zeroLinger);
    socket.shutdown(asio::ip::tcp::socket::shutdown_receive, ec);
    if (reader.joinable()) reader.join();
    socket.close(ec);
}

bool connectSocket(asio::ip::tcp::socket& socket, const std::string& host, std::uint16_t port,
                   const std::string& sourceAddress) {
    std::error_code ec;
    if (!sourceAddress.empty()) {
        const auto source = asio::ip::make_address(sourceAddress, ec);
        if (ec) return false;
        socket.open(source.is_v4() ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), ec);
        if (!ec) socket.bind(asio::ip::tcp::endpoint(source, 0), ec);
        if (ec) return false;
    }
    socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address(host), port), ec);
    if (ec) return false;
    socket.set_option(asio::ip::tcp::no_delay(true), ec);
    return true;
}
}  // namespace

TestViewer::TestViewer(std::uint16_t port, std::string host, std::string sourceAddress) : socket_(context_) {
    connected_ = connectSocket(socket_, host, port, sourceAddress);
    if (connected_) reader_ = std::thread([this] { readLoop(); });
}

TestViewer::~TestViewer() {
    holdReading(false);
    disconnect();
    if (reader_.joinable()) reader_.join();
    if (opus_) opus_decoder_destroy(opus_);
}

void TestViewer::disconnect() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
}

void TestViewer::abort() {
    holdReading(false);
    resetSocket(socket_, reader_);
}

void TestViewer::holdReading(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
}

void TestViewer::readLoop() {
    AuxFrameReader reader(64 << 20);  // video keyframes may pass the control channel's 1 MiB
    std::vector<std::uint8_t> buffer(AuxFrameReader::maxReadSize);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !held_; });
        }
        std::error_code ec;
        const auto n = socket_.read_some(asio::buffer(buffer), ec);
        if (ec || n == 0) break;
        const auto receivedNs = SystemClock::shared()->uptimeNs();
        if (!reader.append(std::span(buffer.data(), n))) break;
        std::lock_guard lock(mutex_);
        while (auto frame = reader.nextFrame()) {
            if (observer_) observer_(*frame, receivedNs);
            if (frame->header.type == AuxPacketType::audioFrame) {
                decodeAudio(*frame);
                continue;
            }
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

void TestViewer::decodeAudio(const AuxFrame& frame) {
    ++audioPackets_;
    audio_.headers.push_back(frame.header);
    // One decoder for the whole stream, fed in arrival order: timestamps place packets in time,
    // they do not ask for a reset.
    if (!opus_) {
        int error = 0;
        opus_ = opus_decoder_create(48000, 2, &error);
        if (error != OPUS_OK) opus_ = nullptr;
    }
    std::vector<float> pcm(5760 * 2);
    const int samples = opus_ ? opus_decode_float(opus_, frame.payload.data(), static_cast<opus_int32>(frame.payload.size()),
                                                  pcm.data(), 5760, 0)
                              : -1;
    if (samples < 0) {
        ++audio_.decodeFailures;
        return;
    }
    for (int i = 0; i < samples; ++i) {
        audio_.left.push_back(pcm[static_cast<std::size_t>(i) * 2]);
        audio_.right.push_back(pcm[static_cast<std::size_t>(i) * 2 + 1]);
    }
}

std::size_t TestViewer::audioPacketCount() {
    std::lock_guard lock(mutex_);
    return audioPackets_;
}

bool TestViewer::waitForAudioPackets(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return audioPackets_ >= count || closed_; }) && audioPackets_ >= count;
}

ReceivedAudio TestViewer::takeAudio() {
    std::lock_guard lock(mutex_);
    return std::exchange(audio_, {});
}

void TestViewer::setObserver(std::function<void(const AuxFrame&, std::uint64_t)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void TestViewer::send(AuxPacketType type, const Bytes& payload, std::uint8_t flags) {
    if (type == AuxPacketType::clientSessionAuth) proofUnused_ = false;
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
    proofUnused_ = true;
    return proof;
}

std::optional<ClientSessionAuthResultPayload> TestViewer::signIn(const std::string& username,
                                                                 const std::string& password,
                                                                 const std::string& displayName) {
    // Every attempt needs an unused proof: the Host retires the session nonce after each one, and
    // proves itself once per connection.
    if (!proofUnused_ && !proveIdentity()) return std::nullopt;
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
    if (connectSocket(socket_, host, port, {})) reader_ = std::thread([this] { readLoop(); });
}

TestFileChannel::~TestFileChannel() {
    holdReading(false);
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    if (reader_.joinable()) reader_.join();
}

void TestFileChannel::disconnect() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
}

void TestFileChannel::abort() {
    holdReading(false);
    resetSocket(socket_, reader_);
}

void TestFileChannel::holdReading(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
}

void TestFileChannel::readLoop() {
    Bytes pending;
    std::vector<std::uint8_t> buffer(262144);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !held_; });
        }
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
