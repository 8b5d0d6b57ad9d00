#include "QuillmereProfiles/FileTransferPacket.h"

#include <algorithm>
#include <limits>

namespace qm {

std::optional<FileTransferOp> fileTransferOpFromRaw(std::uint8_t raw) {
    if (raw < 1 || raw > 13) return std::nullopt;
    return static_cast<FileTransferOp>(raw);
}

std::optional<FileTransferIntent> fileTransferIntentFromRaw(std::uint8_t raw) {
    if (raw > 3) return std::nullopt;
    return static_cast<FileTransferIntent>(raw);
}

namespace {

constexpr std::uint64_t fileCountMask = (std::uint64_t{1} << 56) - 1;

void appendUInt16LE(std::uint16_t value, Bytes& to) {
    to.push_back(static_cast<std::uint8_t>(value));
    to.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The caller has made sure the bytes are there.
std::uint64_t readUInt64LE(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
    return value;
}

std::uint32_t readUInt32LE(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    return value;
}

void appendUInt64LE(std::uint64_t value, Bytes& to) {
    for (int i = 0; i < 8; ++i) to.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void appendUInt32LE(std::uint32_t value, Bytes& to) {
    for (int i = 0; i < 4; ++i) to.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

Bytes FileTransferPacket::encode(std::size_t headroom) const {
    const std::size_t pathLength = std::min(path.size(), maxPathBytes);
    // Data never comes near 4 GiB; should it, the length and the bytes sent still agree.
    const std::size_t dataLength =
        std::min(data.size(), static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max()));

    Bytes out;
    out.reserve(headroom + fixedSize + pathLength + dataLength);
    out.resize(headroom);
    out.push_back(static_cast<std::uint8_t>(op));
    const auto& id = batchID.bytes();
    out.insert(out.end(), id.begin(), id.end());
    appendUInt64LE(value1, out);
    appendUInt64LE(value2, out);
    appendUInt16LE(static_cast<std::uint16_t>(pathLength), out);
    out.insert(out.end(), path.begin(), path.begin() + static_cast<std::ptrdiff_t>(pathLength));
    appendUInt32LE(static_cast<std::uint32_t>(dataLength), out);
    out.insert(out.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(dataLength));
    return out;
}

std::optional<FileTransferPacket> FileTransferPacket::decode(std::span<const std::uint8_t> bytes) {
    auto view = FileTransferPacketView::decode(bytes);
    if (!view) return std::nullopt;
    return view->packet();
}

FileTransferPacketView FileTransferPacket::view() const {
    return FileTransferPacketView{op, batchID, value1, value2, path, data};
}

FileTransferPacket FileTransferPacketView::packet() const {
    return FileTransferPacket{op, batchID, value1, value2, path, Bytes(data.begin(), data.end())};
}

namespace {

// Everything before the data; `headLength` is where the data begins and `dataLength` what the
// packet announces. Nothing when the bytes end before the data length.
std::optional<FileTransferPacketView> decodeFields(std::span<const std::uint8_t> bytes, std::size_t& headLength,
                                                   std::size_t& dataLength) {
    constexpr std::size_t fixedSize = FileTransferPacket::fixedSize;
    if (bytes.size() < fixedSize) return std::nullopt;
    auto op = fileTransferOpFromRaw(bytes[0]);
    if (!op) return std::nullopt;
    auto id = UUID::fromBytes(bytes.data() + 1, 16);
    if (!id) return std::nullopt;

    FileTransferPacketView packet;
    packet.op = *op;
    packet.batchID = *id;
    packet.value1 = readUInt64LE(bytes, 17);
    packet.value2 = readUInt64LE(bytes, 25);

    const std::size_t pathLength = static_cast<std::size_t>(bytes[33]) | static_cast<std::size_t>(bytes[34]) << 8;
    if (bytes.size() < fixedSize + pathLength) return std::nullopt;
    const auto pathBytes = bytes.subspan(35, pathLength);
    if (isValidUTF8(pathBytes)) packet.path.assign(pathBytes.begin(), pathBytes.end());
    dataLength = readUInt32LE(bytes, 35 + pathLength);
    headLength = fixedSize + pathLength;
    return packet;
}

}  // namespace

std::optional<FileTransferPacketView> FileTransferPacketView::decode(std::span<const std::uint8_t> bytes) {
    std::size_t before = 0, dataLength = 0;
    auto packet = decodeFields(bytes, before, dataLength);
    if (!packet) return std::nullopt;
    // Compared by subtraction so a huge announced length cannot wrap the sum.
    if (bytes.size() - before < dataLength) return std::nullopt;
    packet->data = bytes.subspan(before, dataLength);
    return packet;
}

std::optional<FileTransferPacketView> FileTransferPacketView::decodeHead(std::span<const std::uint8_t> head,
                                                                         std::size_t dataLength) {
    std::size_t headLength = 0, announced = 0;
    auto packet = decodeFields(head, headLength, announced);
    if (!packet || announced != dataLength || head.size() != headLength) return std::nullopt;
    return packet;
}

std::uint64_t FileTransferPacket::batchStartValue2(FileTransferIntent intent, std::uint64_t fileCount) {
    return static_cast<std::uint64_t>(intent) << 56 | (fileCount & fileCountMask);
}

std::uint64_t FileTransferPacket::batchStartFileCount(std::uint64_t value2) { return value2 & fileCountMask; }

FileTransferIntent FileTransferPacket::batchStartIntent(std::uint64_t value2) {
    return fileTransferIntentFromRaw(static_cast<std::uint8_t>(value2 >> 56)).value_or(FileTransferIntent::copy);
}

}  // namespace qm
