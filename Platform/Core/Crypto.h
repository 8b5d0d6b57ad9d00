#pragma once

// Thin wrappers over OpenSSL 3 for the few primitives the Host's identity and sign-in need.
// Nothing here throws: operations that can fail (including ones fed with bytes from the network)
// answer std::nullopt or false. Secret material lives in SecretBytes / SecretString, which wipe
// their memory when they go away.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Core/ByteIO.h"

struct evp_pkey_st;

namespace qm::crypto {

using ByteView = std::span<const std::uint8_t>;
using Key32 = std::array<std::uint8_t, 32>;
using Signature64 = std::array<std::uint8_t, 64>;
using Digest32 = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kEd25519KeySize = 32;
inline constexpr std::size_t kEd25519SignatureSize = 64;
inline constexpr std::size_t kX25519KeySize = 32;
inline constexpr std::size_t kChaChaPolyKeySize = 32;
inline constexpr std::size_t kChaChaPolyNonceSize = 12;
inline constexpr std::size_t kChaChaPolyTagSize = 16;

// Frees the calling thread's OpenSSL state (its random generators, its error queue) now rather
// than when the thread ends: OpenSSL's own clean-up at exit frees only the state of threads that
// ended before it and of the exiting one.
void releaseThreadState();
// Runs `handler` when the process exits, before OpenSSL's clean-up (at-exit handlers run in the
// reverse order of their registration; OpenSSL registers its own when it is first used).
bool runAtExitBeforeOpenSSLCleanup(void (*handler)());

// Overwrites memory in a way the compiler may not optimise away.
void secureWipe(void* data, std::size_t size);
void secureWipe(std::string& text);  // wipes the characters, then clears the string
void secureWipe(Bytes& bytes);

// Bytes that hold a secret (a key, a shared secret, a plaintext password). The buffer has a
// fixed size from construction, so it never reallocates and leaves no unwiped copy behind.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size) : bytes_(size, 0) {}
    explicit SecretBytes(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
    SecretBytes(const SecretBytes& other) : bytes_(other.bytes_) {}
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(const SecretBytes& other);
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    ~SecretBytes() { secureWipe(bytes_); }

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    ByteView view() const { return bytes_; }
    std::span<std::uint8_t> mutableView() { return bytes_; }

private:
    Bytes bytes_;
};

// A secret text (a password) that is wiped when it goes away.
class SecretString {
public:
    SecretString() = default;
    explicit SecretString(std::string_view text) : text_(text) {}
    SecretString(const SecretString& other) : text_(other.text_) {}
    // A short string lives inside the object, where a plain move would leave the characters
    // behind: copy, then wipe the source.
    SecretString(SecretString&& other) : text_(other.text_) { secureWipe(other.text_); }
    SecretString& operator=(const SecretString& other);
    SecretString& operator=(SecretString&& other);
    ~SecretString() { secureWipe(text_); }

    std::string_view view() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    std::size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }

private:
    std::string text_;
};

// Bytes from the system's cryptographic generator; nothing when the generator fails.
std::optional<Bytes> randomBytes(std::size_t count);
bool fillRandom(std::span<std::uint8_t> out);

std::optional<Digest32> sha256(ByteView data);

// Equality whose running time does not depend on where the first difference is. Inputs of
// different lengths are unequal (their lengths are not the secret).
bool constantTimeEqual(ByteView a, ByteView b);
bool constantTimeEqual(std::string_view a, std::string_view b);

// Lowercase hexadecimal text of the bytes, and its inverse (either case, even length only).
std::string hexString(ByteView bytes);
std::optional<Bytes> bytesFromHex(std::string_view text);

namespace detail {
struct PKeyFree {
    void operator()(evp_pkey_st* key) const;
};
using PKeyPtr = std::shared_ptr<evp_pkey_st>;
}  // namespace detail

class Ed25519PublicKey {
public:
    static std::optional<Ed25519PublicKey> fromRaw(ByteView raw);
    const Key32& raw() const { return raw_; }
    // True only for a valid signature of exactly 64 bytes over the message by this key.
    bool verify(ByteView message, ByteView signature) const;

private:
    friend class Ed25519PrivateKey;
    Ed25519PublicKey(detail::PKeyPtr key, const Key32& raw) : key_(std::move(key)), raw_(raw) {}
    detail::PKeyPtr key_;
    Key32 raw_;
};

class Ed25519PrivateKey {
public:
    static std::optional<Ed25519PrivateKey> generate();
    static std::optional<Ed25519PrivateKey> fromRaw(ByteView raw);
    const Key32& publicKeyRaw() const { return publicRaw_; }
    Ed25519PublicKey publicKey() const;
    // The 32-byte seed, for storing the key.
    SecretBytes rawRepresentation() const;
    std::optional<Signature64> sign(ByteView message) const;

private:
    Ed25519PrivateKey(detail::PKeyPtr key, const Key32& publicRaw) : key_(std::move(key)), publicRaw_(publicRaw) {}
    detail::PKeyPtr key_;
    Key32 publicRaw_;
};

class X25519PrivateKey {
public:
    static std::optional<X25519PrivateKey> generate();
    static std::optional<X25519PrivateKey> fromRaw(ByteView raw);
    const Key32& publicKeyRaw() const { return publicRaw_; }
    SecretBytes rawRepresentation() const;
    // The 32-byte shared secret with a peer's raw public key. Nothing for a key of the wrong
    // size or a low-order point (an all-zero result), which would make the secret predictable.
    std::optional<SecretBytes> sharedSecret(ByteView peerPublicKey) const;

private:
    X25519PrivateKey(detail::PKeyPtr key, const Key32& publicRaw) : key_(std::move(key)), publicRaw_(publicRaw) {}
    detail::PKeyPtr key_;
    Key32 publicRaw_;
};

// HKDF with SHA-256 (extract and expand). An empty salt means the all-zero salt of the hash size.
std::optional<SecretBytes> hkdfSHA256(ByteView inputKey, ByteView salt, ByteView info, std::size_t outputSize);

// ChaCha20-Poly1305: the result of seal is the ciphertext followed by the 16-byte tag. open
// answers nothing when the key or nonce has the wrong size, the input is shorter than a tag, or
// the tag does not match the ciphertext and associated data.
std::optional<Bytes> chachaPolySeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData);
std::optional<SecretBytes> chachaPolyOpen(ByteView key, ByteView nonce, ByteView sealed, ByteView associatedData);

}  // namespace qm::crypto
