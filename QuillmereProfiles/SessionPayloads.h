#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Core/ByteIO.h"

namespace qm {

// A Viewer's sign-in (clientSessionAuth): user name, display name (u16-prefixed UTF-8 each) and the
// sealed credential (u32-prefixed opaque bytes).
struct ClientSessionAuthPayload {
    std::string username;
    std::string displayName;
    Bytes sealedCredential;

    Bytes encode() const;
    // Nothing on truncation, invalid UTF-8 or trailing bytes.
    static std::optional<ClientSessionAuthPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const ClientSessionAuthPayload&, const ClientSessionAuthPayload&) = default;
};

// The Host's answer to a sign-in (clientSessionAuthResult): accepted (u8, 0 or 1) and a text
// (u16-prefixed UTF-8), for a refusal the coded reason such as "code=invalid-credentials".
struct ClientSessionAuthResultPayload {
    bool accepted = false;
    std::string message;

    Bytes encode() const;
    // Nothing when the accepted byte is neither 0 nor 1, on truncation, invalid UTF-8 or trailing bytes.
    static std::optional<ClientSessionAuthResultPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const ClientSessionAuthResultPayload&, const ClientSessionAuthResultPayload&) = default;
};

// A Viewer's fresh nonce that the Host must sign (identityChallenge): exactly 32 bytes.
struct IdentityChallengePayload {
    static constexpr std::size_t encodedSize = 32;
    std::array<std::uint8_t, 32> nonce{};

    Bytes encode() const;
    static std::optional<IdentityChallengePayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const IdentityChallengePayload&, const IdentityChallengePayload&) = default;
};

// The Host's answer (identityProof), exactly 160 bytes: the Ed25519 signature (64), the Ed25519 public
// key (32), the X25519 public key (32) and the session nonce the Host issues for this connection (32).
struct IdentityProofPayload {
    static constexpr std::size_t encodedSize = 160;
    std::array<std::uint8_t, 64> signature{};
    std::array<std::uint8_t, 32> signingPublicKey{};
    std::array<std::uint8_t, 32> keyAgreementPublicKey{};
    std::array<std::uint8_t, 32> sessionNonce{};

    Bytes encode() const;
    static std::optional<IdentityProofPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const IdentityProofPayload&, const IdentityProofPayload&) = default;
};

// Where and how to open the file channel (fileTransferEndpoint), exactly 18 bytes: port (u16) and
// the 16 bytes of the session's channel token.
struct FileTransferEndpointPayload {
    static constexpr std::size_t encodedSize = 18;
    std::uint16_t port = 0;
    std::array<std::uint8_t, 16> token{};

    Bytes encode() const;
    static std::optional<FileTransferEndpointPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const FileTransferEndpointPayload&, const FileTransferEndpointPayload&) = default;
};

// A Viewer's request to pull a dragged item (dragPullRequest): snapshot id and index (u32 each);
// payloads of at least 8 bytes are accepted.
struct DragPullRequestPayload {
    static constexpr std::size_t encodedSize = 8;
    std::uint32_t snapshotID = 0;
    std::uint32_t index = 0;

    Bytes encode() const;
    static std::optional<DragPullRequestPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const DragPullRequestPayload&, const DragPullRequestPayload&) = default;
};

// The Host's user is dragging files (dragSnapshot): the snapshot's id and the names of its items
// in pull order. No names: nothing is being dragged any more. Consumed exactly.
struct DragSnapshotPayload {
    std::uint32_t snapshotID = 0;
    std::vector<std::string> itemNames;

    Bytes encode() const;
    static std::optional<DragSnapshotPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const DragSnapshotPayload&, const DragSnapshotPayload&) = default;
};

}  // namespace qm
