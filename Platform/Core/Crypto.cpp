#include "Platform/Core/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "Platform/Core/HexDigits.h"

namespace qm::crypto {

namespace {

struct MDCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct PKeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct KdfFree {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};
using MDCtx = std::unique_ptr<EVP_MD_CTX, MDCtxFree>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using Kdf = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;

detail::PKeyPtr adopt(EVP_PKEY* key) { return key ? detail::PKeyPtr(key, detail::PKeyFree{}) : nullptr; }

// OpenSSL queues an error record for every failure; we answer with nullopt instead, so drop the
// records rather than letting them pile up on this thread.
template <class T>
T failed(T value) {
    ERR_clear_error();
    return value;
}

bool fitsInt(std::size_t size) { return size <= static_cast<std::size_t>(INT_MAX); }

// EVP functions want a non-null pointer even for empty input.
const unsigned char* ptr(ByteView bytes) {
    static const unsigned char empty = 0;
    return bytes.empty() ? &empty : bytes.data();
}

std::optional<Key32> rawPublic(EVP_PKEY* key) {
    Key32 raw{};
    std::size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != raw.size()) {
        return failed(std::optional<Key32>());
    }
    return raw;
}

SecretBytes rawPrivate(EVP_PKEY* key) {
    SecretBytes raw(32);
    std::size_t length = raw.size();
    if (EVP_PKEY_get_raw_private_key(key, raw.data(), &length) != 1 || length != raw.size()) {
        return failed(SecretBytes());
    }
    return raw;
}

detail::PKeyPtr generateKey(const char* algorithm) {
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, algorithm, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        EVP_PKEY_free(key);
        return failed(detail::PKeyPtr());
    }
    return adopt(key);
}

}  // namespace

void detail::PKeyFree::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

// --- threads and exit ------------------------------------------------------------------------

void releaseThreadState() { OPENSSL_thread_stop(); }

bool runAtExitBeforeOpenSSLCleanup(void (*handler)()) {
    // Initialising registers OpenSSL's clean-up now unless it was registered already; either way
    // it then comes before `handler`, which therefore runs first.
    if (OPENSSL_init_crypto(0, nullptr) != 1) return failed(false);
    return std::atexit(handler) == 0;
}

// --- secrets -------------------------------------------------------------------------------

void secureWipe(void* data, std::size_t size) {
    if (data && size) OPENSSL_cleanse(data, size);
}

void secureWipe(std::string& text) {
    secureWipe(text.data(), text.size());
    text.clear();
}

void secureWipe(Bytes& bytes) {
    secureWipe(bytes.data(), bytes.size());
    bytes.clear();
}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
    if (this != &other) {
        secureWipe(bytes_);
        bytes_ = other.bytes_;
    }
    return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        secureWipe(bytes_);
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

SecretString& SecretString::operator=(const SecretString& other) {
    if (this != &other) {
        secureWipe(text_);
        text_ = other.text_;
    }
    return *this;
}

SecretString& SecretString::operator=(SecretString&& other) {
    if (this != &other) {
        secureWipe(text_);
        text_ = other.text_;
        secureWipe(other.text_);
    }
    return *this;
}

// --- random, hashing, comparison -------------------------------------------------------------

bool fillRandom(std::span<std::uint8_t> out) {
    if (out.empty()) return true;
    if (!fitsInt(out.size()) || RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) return failed(false);
    return true;
}

std::optional<Bytes> randomBytes(std::size_t count) {
    Bytes bytes(count);
    if (!fillRandom(bytes)) return std::nullopt;
    return bytes;
}

std::optional<Digest32> sha256(ByteView data) {
    Digest32 digest{};
    unsigned int length = 0;
    if (EVP_Digest(ptr(data), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        return failed(std::optional<Digest32>());
    }
    return digest;
}

bool constantTimeEqual(ByteView a, ByteView b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
    return constantTimeEqual(ByteView(reinterpret_cast<const std::uint8_t*>(a.data()), a.size()),
                             ByteView(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()));
}

std::string hexString(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

std::optional<Bytes> bytesFromHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigitValue(text[i]);
        const int lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) {
            secureWipe(bytes);  // the text may be a stored private key
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

// --- Ed25519 -------------------------------------------------------------------------------

std::optional<Ed25519PublicKey> Ed25519PublicKey::fromRaw(ByteView raw) {
    if (raw.size() != kEd25519KeySize) return std::nullopt;
    auto key = adopt(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
    if (!key) return failed(std::optional<Ed25519PublicKey>());
    Key32 copy{};
    std::memcpy(copy.data(), raw.data(), copy.size());
    return Ed25519PublicKey(std::move(key), copy);
}

bool Ed25519PublicKey::verify(ByteView message, ByteView signature) const {
    if (signature.size() != kEd25519SignatureSize) return false;
    MDCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1) return failed(false);
    if (EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), ptr(message), message.size()) != 1) {
        return failed(false);
    }
    return true;
}

std::optional<Ed25519PrivateKey> Ed25519PrivateKey::generate() {
    auto key = generateKey("ED25519");
    if (!key) return std::nullopt;
    auto pub = rawPublic(key.get());
    if (!pub) return std::nullopt;
    return Ed25519PrivateKey(std::move(key), *pub);
}

std::optional<Ed25519PrivateKey> Ed25519PrivateKey::fromRaw(ByteView raw) {
    if (raw.size() != kEd25519KeySize) return std::nullopt;
    auto key = adopt(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
    if (!key) return failed(std::optional<Ed25519PrivateKey>());
    auto pub = rawPublic(key.get());
    if (!pub) return std::nullopt;
    return Ed25519PrivateKey(std::move(key), *pub);
}

Ed25519PublicKey Ed25519PrivateKey::publicKey() const {
    // The public half of a key we hold is always a valid public key; share the same object.
    return Ed25519PublicKey(key_, publicRaw_);
}

SecretBytes Ed25519PrivateKey::rawRepresentation() const { return rawPrivate(key_.get()); }

std::optional<Signature64> Ed25519PrivateKey::sign(ByteView message) const {
    MDCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1) {
        return failed(std::optional<Signature64>());
    }
    Signature64 signature{};
    std::size_t length = signature.size();
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, ptr(message), message.size()) != 1 ||
        length != signature.size()) {
        return failed(std::optional<Signature64>());
    }
    return signature;
}

// --- X25519 --------------------------------------------------------------------------------

std::optional<X25519PrivateKey> X25519PrivateKey::generate() {
    auto key = generateKey("X25519");
    if (!key) return std::nullopt;
    auto pub = rawPublic(key.get());
    if (!pub) return std::nullopt;
    return X25519PrivateKey(std::move(key), *pub);
}

std::optional<X25519PrivateKey> X25519PrivateKey::fromRaw(ByteView raw) {
    if (raw.size() != kX25519KeySize) return std::nullopt;
    auto key = adopt(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()));
    if (!key) return failed(std::optional<X25519PrivateKey>());
    auto pub = rawPublic(key.get());
    if (!pub) return std::nullopt;
    return X25519PrivateKey(std::move(key), *pub);
}

SecretBytes X25519PrivateKey::rawRepresentation() const { return rawPrivate(key_.get()); }

std::optional<SecretBytes> X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
    if (peerPublicKey.size() != kX25519KeySize) return std::nullopt;
    auto peer = adopt(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublicKey.data(), peerPublicKey.size()));
    if (!peer) return failed(std::optional<SecretBytes>());
    PKeyCtx ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        return failed(std::optional<SecretBytes>());
    }
    SecretBytes secret(32);
    std::size_t length = secret.size();
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != secret.size()) {
        return failed(std::optional<SecretBytes>());
    }
    // A low-order peer point gives the all-zero secret whatever our key is. OpenSSL refuses it
    // already; check again so that a change underneath cannot make the secret predictable.
    static const std::uint8_t zeros[32] = {};
    if (CRYPTO_memcmp(secret.data(), zeros, sizeof zeros) == 0) return std::nullopt;
    return secret;
}

// --- HKDF ------------------------------------------------------------------------------------

std::optional<SecretBytes> hkdfSHA256(ByteView inputKey, ByteView salt, ByteView info, std::size_t outputSize) {
    // RFC 5869 caps the output at 255 hash lengths.
    if (outputSize == 0 || outputSize > 255 * 32) return std::nullopt;
    Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf) return failed(std::optional<SecretBytes>());
    KdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return failed(std::optional<SecretBytes>());

    static const std::uint8_t zeroSalt[32] = {};
    char digest[] = "SHA256";
    OSSL_PARAM params[5];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(ptr(inputKey)),
                                                    inputKey.size());
    params[n++] = salt.empty()
                      ? OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                                          const_cast<std::uint8_t*>(zeroSalt), sizeof zeroSalt)
                      : OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                                          const_cast<unsigned char*>(salt.data()), salt.size());
    if (!info.empty()) {
        params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<unsigned char*>(info.data()),
                                                        info.size());
    }
    params[n] = OSSL_PARAM_construct_end();

    SecretBytes output(outputSize);
    if (EVP_KDF_derive(ctx.get(), output.data(), output.size(), params) != 1) {
        return failed(std::optional<SecretBytes>());
    }
    return output;
}

// --- ChaCha20-Poly1305 -----------------------------------------------------------------------

std::optional<Bytes> chachaPolySeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData) {
    if (key.size() != kChaChaPolyKeySize || nonce.size() != kChaChaPolyNonceSize) return std::nullopt;
    if (!fitsInt(plaintext.size()) || !fitsInt(associatedData.size())) return std::nullopt;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1) {
        return failed(std::optional<Bytes>());
    }
    int length = 0;
    if (!associatedData.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &length, associatedData.data(), static_cast<int>(associatedData.size())) !=
            1) {
        return failed(std::optional<Bytes>());
    }
    Bytes sealed(plaintext.size() + kChaChaPolyTagSize);
    int written = 0;
    if (!plaintext.empty()) {
        if (EVP_EncryptUpdate(ctx.get(), sealed.data(), &length, plaintext.data(), static_cast<int>(plaintext.size())) !=
            1) {
            return failed(std::optional<Bytes>());
        }
        written = length;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), sealed.data() + written, &length) != 1) return failed(std::optional<Bytes>());
    written += length;
    if (static_cast<std::size_t>(written) != plaintext.size() ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kChaChaPolyTagSize),
                            sealed.data() + plaintext.size()) != 1) {
        return failed(std::optional<Bytes>());
    }
    return sealed;
}

std::optional<SecretBytes> chachaPolyOpen(ByteView key, ByteView nonce, ByteView sealed, ByteView associatedData) {
    if (key.size() != kChaChaPolyKeySize || nonce.size() != kChaChaPolyNonceSize) return std::nullopt;
    if (sealed.size() < kChaChaPolyTagSize || !fitsInt(sealed.size()) || !fitsInt(associatedData.size())) {
        return std::nullopt;
    }
    const std::size_t ciphertextSize = sealed.size() - kChaChaPolyTagSize;
    // The tag is copied because the ctrl call takes a non-const pointer.
    std::array<std::uint8_t, kChaChaPolyTagSize> tag{};
    std::memcpy(tag.data(), sealed.data() + ciphertextSize, tag.size());

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1) {
        return failed(std::optional<SecretBytes>());
    }
    int length = 0;
    if (!associatedData.empty() &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &length, associatedData.data(), static_cast<int>(associatedData.size())) !=
            1) {
        return failed(std::optional<SecretBytes>());
    }
    SecretBytes plaintext(ciphertextSize);
    int written = 0;
    if (ciphertextSize > 0) {
        if (EVP_DecryptUpdate(ctx.get(), plaintext.data(), &length, sealed.data(), static_cast<int>(ciphertextSize)) !=
            1) {
            return failed(std::optional<SecretBytes>());
        }
        written = length;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tag.size()), tag.data()) != 1) {
        return failed(std::optional<SecretBytes>());
    }
    // A zero-length plaintext still needs room for the (empty) final output.
    std::uint8_t finalByte[1];
    std::uint8_t* finalOut = ciphertextSize > 0 ? plaintext.data() + written : finalByte;
    if (EVP_DecryptFinal_ex(ctx.get(), finalOut, &length) != 1) {
        // Bad tag: `plaintext` holds unauthenticated bytes and is wiped by its destructor.
        return failed(std::optional<SecretBytes>());
    }
    written += length;
    if (static_cast<std::size_t>(written) != ciphertextSize) return std::nullopt;
    return plaintext;
}

}  // namespace qm::crypto
