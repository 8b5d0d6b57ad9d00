#include "QuillmereProfiles/SessionPayloads.h"

#include <algorithm>

#include "QuillmereProfiles/WireFields.h"

namespace qm {

namespace {

template <std::size_t N>
void copyInto(std::array<std::uint8_t, N>& to, std::span<const std::uint8_t> from) {
    std::copy_n(from.begin(), N, to.begin());
}

}  // namespace

Bytes ClientSessionAuthPayload::encode() const {
    ByteWriter w;
    wire::appendString16(w, username);
    wire::appendString16(w, displayName);
    wire::appendBytes32(w, sealedCredential);
    return w.take();
}

std::optional<ClientSessionAuthPayload> ClientSessionAuthPayload::decode(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    auto user = wire::readString16(r);
    if (!user) return std::nullopt;
    auto display = wire::readString16(r);
    if (!display) return std::nullopt;
    auto sealed = wire::readBytes32(r);
    if (!sealed || !r.atEnd()) return std::nullopt;
    return ClientSessionAuthPayload{std::move(*user), std::move(*display), std::move(*sealed)};
}

Bytes ClientSessionAuthResultPayload::encode() const {
    ByteWriter w;
    w.u8(accepted ? 1 : 0);
    wire::appendString16(w, message);
    return w.take();
}

std::optional<ClientSessionAuthResultPayload> ClientSessionAuthResultPayload::decode(
    std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    const auto accepted = r.u8();
    if (!accepted || *accepted > 1) return std::nullopt;
    auto message = wire::readString16(r);
    if (!message || !r.atEnd()) return std::nullopt;
    return ClientSessionAuthResultPayload{*accepted == 1, std::move(*message)};
}

Bytes IdentityChallengePayload::encode() const {
    return Bytes(nonce.begin(), nonce.end());
}

std::optional<IdentityChallengePayload> IdentityChallengePayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    IdentityChallengePayload p;
    copyInto(p.nonce, bytes);
    return p;
}

Bytes IdentityProofPayload::encode() const {
    ByteWriter w(encodedSize);
    w.bytes(signature).bytes(signingPublicKey).bytes(keyAgreementPublicKey).bytes(sessionNonce);
    return w.take();
}

std::optional<IdentityProofPayload> IdentityProofPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    IdentityProofPayload p;
    copyInto(p.signature, bytes.subspan(0, 64));
    copyInto(p.signingPublicKey, bytes.subspan(64, 32));
    copyInto(p.keyAgreementPublicKey, bytes.subspan(96, 32));
    copyInto(p.sessionNonce, bytes.subspan(128, 32));
    return p;
}

Bytes FileTransferEndpointPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u16(port).bytes(token);
    return w.take();
}

std::optional<FileTransferEndpointPayload> FileTransferEndpointPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != encodedSize) return std::nullopt;
    ByteReader r(bytes);
    FileTransferEndpointPayload p;
    p.port = *r.u16();
    copyInto(p.token, bytes.subspan(2));
    return p;
}

Bytes DragPullRequestPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u32(snapshotID).u32(index);
    return w.take();
}

std::optional<DragPullRequestPayload> DragPullRequestPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    DragPullRequestPayload p;
    p.snapshotID = *r.u32();
    p.index = *r.u32();
    return p;
}

namespace {

// File names need not be UTF-8; each byte that is not part of a valid sequence becomes U+FFFD,
// so the name still decodes on the other side.
std::string repairedUTF8(std::string_view text) {
    if (isValidUTF8(text)) return std::string(text);
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length > 0 && i + length <= text.size() && isValidUTF8(text.substr(i, length))) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

}  // namespace

Bytes DragSnapshotPayload::encode() const {
    ByteWriter w;
    w.u32(snapshotID);
    const auto count = std::min<std::size_t>(itemNames.size(), 0xFFFF);
    w.u16(static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i) wire::appendString16(w, repairedUTF8(itemNames[i]));
    return w.take();
}

std::optional<DragSnapshotPayload> DragSnapshotPayload::decode(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    DragSnapshotPayload p;
    auto id = r.u32();
    auto count = r.u16();
    if (!id || !count) return std::nullopt;
    p.snapshotID = *id;
    for (std::uint16_t i = 0; i < *count; ++i) {
        auto name = wire::readString16(r);
        if (!name) return std::nullopt;
        p.itemNames.push_back(std::move(*name));
    }
    if (!r.atEnd()) return std::nullopt;
    return p;
}

}  // namespace qm
