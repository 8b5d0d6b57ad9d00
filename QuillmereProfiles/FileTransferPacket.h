#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/UUID.h"

namespace qm {

// The operations of the file-transfer protocol, by wire byte.
enum class FileTransferOp : std::uint8_t {
    batchStart = 1,
    mkdir = 2,
    fileStart = 3,
    fileChunk = 4,
    fileEnd = 5,
    batchEnd = 6,
    batchIntent = 7,
    cancelBatch = 8,
    directSave = 9,
    listDir = 10,
    listDirReply = 11,
    peerSendRequest = 12,
    peerSendResponse = 13,
};

std::optional<FileTransferOp> fileTransferOpFromRaw(std::uint8_t raw);

// What the receiving side does with a finished batch.
enum class FileTransferIntent : std::uint8_t {
    copy = 0,            // an ordinary transfer into a chosen folder
    dropToFinder = 1,    // dragged out of the Viewer: into the front file-manager window's folder
    pullForPromise = 2,  // answers the Viewer's pull of an item dragged out of the Host
    managedCopy = 3,     // answers a peerSendRequest; the end of delivery is reported back
};

std::optional<FileTransferIntent> fileTransferIntentFromRaw(std::uint8_t raw);

// How received items are delivered when something already exists at the destination.
// Bits other than the two known options are kept as they are.
struct FileTransferDeliveryOptions {
    static const FileTransferDeliveryOptions promptForConflicts;     // 1: ask the user
    static const FileTransferDeliveryOptions backupBeforeOverwrite;  // 2: back up before replacing

    std::uint64_t rawValue = 0;

    constexpr FileTransferDeliveryOptions() = default;
    constexpr explicit FileTransferDeliveryOptions(std::uint64_t raw) : rawValue(raw) {}
    // The union of the listed options.
    constexpr FileTransferDeliveryOptions(std::initializer_list<FileTransferDeliveryOptions> members) {
        for (auto m : members) rawValue |= m.rawValue;
    }

    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr bool contains(FileTransferDeliveryOptions member) const {
        return (rawValue & member.rawValue) == member.rawValue;
    }

    constexpr FileTransferDeliveryOptions union_(FileTransferDeliveryOptions other) const {
        return FileTransferDeliveryOptions(rawValue | other.rawValue);
    }
    constexpr FileTransferDeliveryOptions intersection(FileTransferDeliveryOptions other) const {
        return FileTransferDeliveryOptions(rawValue & other.rawValue);
    }
    constexpr FileTransferDeliveryOptions symmetricDifference(FileTransferDeliveryOptions other) const {
        return FileTransferDeliveryOptions(rawValue ^ other.rawValue);
    }
    constexpr FileTransferDeliveryOptions subtracting(FileTransferDeliveryOptions other) const {
        return FileTransferDeliveryOptions(rawValue & ~other.rawValue);
    }

    constexpr void formUnion(FileTransferDeliveryOptions other) { rawValue |= other.rawValue; }
    constexpr void formIntersection(FileTransferDeliveryOptions other) { rawValue &= other.rawValue; }
    constexpr void formSymmetricDifference(FileTransferDeliveryOptions other) { rawValue ^= other.rawValue; }
    constexpr void subtract(FileTransferDeliveryOptions other) { rawValue &= ~other.rawValue; }

    // Adds the member; true when it was not already contained.
    constexpr bool insert(FileTransferDeliveryOptions member) {
        const bool inserted = !contains(member);
        formUnion(member);
        return inserted;
    }
    // Removes the member; returns the part of it that was contained, nothing when none was.
    constexpr std::optional<FileTransferDeliveryOptions> remove(FileTransferDeliveryOptions member) {
        const auto removed = intersection(member);
        subtract(member);
        return removed.isEmpty() ? std::nullopt : std::optional(removed);
    }
    // Adds the member; returns the part of it that was already contained, nothing when none was.
    constexpr std::optional<FileTransferDeliveryOptions> update(FileTransferDeliveryOptions with) {
        const auto previous = intersection(with);
        formUnion(with);
        return previous.isEmpty() ? std::nullopt : std::optional(previous);
    }

    constexpr bool isSubset(FileTransferDeliveryOptions of) const { return (rawValue & ~of.rawValue) == 0; }
    constexpr bool isSuperset(FileTransferDeliveryOptions of) const { return of.isSubset(*this); }
    constexpr bool isStrictSubset(FileTransferDeliveryOptions of) const { return isSubset(of) && *this != of; }
    constexpr bool isStrictSuperset(FileTransferDeliveryOptions of) const { return of.isStrictSubset(*this); }
    constexpr bool isDisjoint(FileTransferDeliveryOptions with) const { return (rawValue & with.rawValue) == 0; }

    friend constexpr bool operator==(FileTransferDeliveryOptions, FileTransferDeliveryOptions) = default;
};

inline constexpr FileTransferDeliveryOptions FileTransferDeliveryOptions::promptForConflicts{std::uint64_t{1}};
inline constexpr FileTransferDeliveryOptions FileTransferDeliveryOptions::backupBeforeOverwrite{std::uint64_t{2}};

// Which way a transfer goes, for progress rows; never on the wire.
enum class FileTransferDirection { outgoing, incoming };

struct FileTransferPacketView;

// One operation of the file-transfer protocol. The fields an operation does not use are zero,
// the empty path and empty data.
//
// Bytes (little-endian): op (1), batchID (16), value1 (8), value2 (8), path length P (2),
// path (P, UTF-8), data length D (4), data (D). The fixed part is 39 bytes.
struct FileTransferPacket {
    static constexpr std::size_t fixedSize = 39;
    static constexpr std::size_t maxPathBytes = 65535;

    FileTransferOp op = FileTransferOp::batchStart;
    UUID batchID;
    std::uint64_t value1 = 0;
    std::uint64_t value2 = 0;
    std::string path;
    Bytes data;

    // A path longer than 65535 bytes is sent as its first 65535 bytes. `headroom` zero bytes come
    // first, room for a framing header the sender writes in place instead of copying the packet.
    Bytes encode(std::size_t headroom = 0) const;
    // Nothing for a buffer that is too short, names no known op, or whose lengths run past its
    // end. A path that is not valid UTF-8 arrives as "". Bytes after the data are ignored.
    static std::optional<FileTransferPacket> decode(std::span<const std::uint8_t> bytes);
    // This packet seen as a view; valid while the packet is.
    FileTransferPacketView view() const;

    // value2 of batchStart: the intent in the top byte, the low 56 bits of the file count below.
    static std::uint64_t batchStartValue2(FileTransferIntent intent, std::uint64_t fileCount);
    static std::uint64_t batchStartFileCount(std::uint64_t value2);
    // The intent of a batchStart's value2; a top byte that names no intent means copy.
    static FileTransferIntent batchStartIntent(std::uint64_t value2);

    friend bool operator==(const FileTransferPacket&, const FileTransferPacket&) = default;
};

// A packet read in place: `data` points into the bytes it was decoded from and is valid only as
// long as they are. Receivers use it to write a chunk straight from the buffer it arrived in.
struct FileTransferPacketView {
    FileTransferOp op = FileTransferOp::batchStart;
    UUID batchID;
    std::uint64_t value1 = 0;
    std::uint64_t value2 = 0;
    std::string path;
    std::span<const std::uint8_t> data;

    // The same rules as FileTransferPacket::decode.
    static std::optional<FileTransferPacketView> decode(std::span<const std::uint8_t> bytes);
    // A packet whose data did not come with it: `head` ends where the data would begin and must
    // announce exactly `dataLength` bytes of data. `data` stays empty.
    static std::optional<FileTransferPacketView> decodeHead(std::span<const std::uint8_t> head, std::size_t dataLength);
    // A packet owning a copy of the data.
    FileTransferPacket packet() const;
};

}  // namespace qm
