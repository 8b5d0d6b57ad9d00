#pragma once

// The Host's long-term identity and the two protocols built on it:
//  - the identity proof: a Viewer sends a fresh 32-byte nonce; the Host answers with an Ed25519
//    signature that also covers its X25519 key-agreement key and the session nonce it issued for
//    the connection, so a Viewer that trusts the signing key also trusts the key it seals to;
//  - the sealed credential: the Viewer seals the password to the Host's X25519 key, bound to the
//    connection's session nonce and to the user name, so it cannot be replayed elsewhere.
// Byte layouts are described in docs/protocol.md ("Identity proof and sealed credentials").

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Core/Crypto.h"

namespace qm {

inline constexpr std::size_t kIdentityNonceSize = 32;
// Signed before the proof fields; the zero byte ends the label so no other message can share it.
inline constexpr std::string_view kIdentityProofContext{"QuillmereHostIdentity/v1\0", 25};
// HKDF info label of the sealed credential, followed there by both public keys.
inline constexpr std::string_view kSealedCredentialContext{"QuillmereSealedCredential/v1\0", 29};
inline constexpr std::uint8_t kSealedCredentialVersion = 1;
// version + ephemeral public key + AEAD nonce + tag (an empty password has no ciphertext bytes)
inline constexpr std::size_t kSealedCredentialOverhead = 1 + 32 + 12 + 16;
// Longest password a sealed credential may carry, in bytes.
inline constexpr std::size_t kMaxSealedPasswordSize = 4096;

// The Host's signing key, key-agreement key and stable Host id. Immutable once made; copies share
// the underlying keys and may be used from several threads at once.
class HostIdentityKeys {
public:
    // A fresh identity that lives only in memory (tests, or when nothing can be stored).
    static std::optional<HostIdentityKeys> generate();
    static std::optional<HostIdentityKeys> fromRaw(crypto::ByteView ed25519PrivateKey,
                                                   crypto::ByteView x25519PrivateKey,
                                                   std::string_view discoveryHostID);

    const crypto::Ed25519PrivateKey& signingKey() const { return signingKey_; }
    const crypto::X25519PrivateKey& agreementKey() const { return agreementKey_; }
    const crypto::Key32& signingPublicKey() const { return signingKey_.publicKeyRaw(); }
    const crypto::Key32& agreementPublicKey() const { return agreementKey_.publicKeyRaw(); }
    // The stable Host id: an uppercase UUID text.
    const std::string& discoveryHostID() const { return discoveryHostID_; }
    // Short text naming the signing key, for the DNS-SD record and log lines.
    std::string keyFingerprint() const;

    // The proof for a Viewer's challenge `nonce`, given the session nonce issued for the same
    // connection. Nothing when either nonce is not 32 bytes.
    std::optional<crypto::Signature64> signIdentityChallenge(crypto::ByteView nonce,
                                                             crypto::ByteView sessionNonce) const;

private:
    HostIdentityKeys(crypto::Ed25519PrivateKey signingKey, crypto::X25519PrivateKey agreementKey, std::string hostID)
        : signingKey_(std::move(signingKey)),
          agreementKey_(std::move(agreementKey)),
          discoveryHostID_(std::move(hostID)) {}
    crypto::Ed25519PrivateKey signingKey_;
    crypto::X25519PrivateKey agreementKey_;
    std::string discoveryHostID_;
};

// What loading the identity from the config folder gave.
struct HostIdentityLoadResult {
    HostIdentityKeys keys;
    bool created = false;    // a new identity was made on this start
    bool persisted = false;  // the keys are the ones in the identity file (false: in memory only)
    // Status lines for the caller to publish (never any key material).
    std::vector<std::string> messages;
};

// The identity file inside the Host's config folder.
inline constexpr const char* kHostIdentityFileName = "host-identity";

// Loads the identity from `directory`, creating the folder (0700) and the file (0600, written to a
// temporary file and renamed into place) on first start. A file that cannot be read as an identity
// is never overwritten: it is moved aside to "host-identity.corrupt" (or ".corrupt.N" when that
// exists) and a new identity is made. When nothing can be stored the identity lives in memory for
// this run. Nothing only when the system's random generator or key generation fails.
std::optional<HostIdentityLoadResult> loadOrCreateHostIdentity(const std::filesystem::path& directory);

// The bytes the identity proof signs: context, challenge nonce, X25519 public key, session nonce.
Bytes identityProofMessage(crypto::ByteView nonce, crypto::ByteView x25519PublicKey, crypto::ByteView sessionNonce);

// Viewer side: true when `signature` is the Host's proof for `nonce`, made with `ed25519PublicKey`
// over the X25519 key and session nonce the same answer carried. False for any size mismatch.
bool verifyIdentityProof(crypto::ByteView ed25519PublicKey, crypto::ByteView nonce, crypto::ByteView signature,
                         crypto::ByteView x25519PublicKey, crypto::ByteView sessionNonce);

// First 8 bytes of SHA-256 of the Ed25519 public key, as 16 lowercase hex digits; empty for a key
// that is not 32 bytes.
std::string keyFingerprint(crypto::ByteView ed25519PublicKey);

// Viewer side: seals `password` for the Host with the X25519 public key and session nonce from its
// identity proof. Nothing for keys or nonces of the wrong size, a password longer than
// kMaxSealedPasswordSize, or a failing random generator.
std::optional<Bytes> sealCredential(crypto::ByteView hostX25519Public, crypto::ByteView sessionNonce,
                                    std::string_view username, std::string_view password);

// Host side: the password inside `sealed`, when it was sealed to these keys, for this session
// nonce and for this user name, and no byte of it was changed. Nothing otherwise.
std::optional<crypto::SecretString> unsealCredential(const HostIdentityKeys& hostKeys, crypto::ByteView sessionNonce,
                                                     std::string_view username, crypto::ByteView sealed);

}  // namespace qm
