#include <gtest/gtest.h>

#include "Platform/Core/Crypto.h"

namespace CryptoTests {

using namespace qm;
using namespace qm::crypto;

namespace {

Bytes hex(std::string_view text) { return *bytesFromHex(text); }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

}  // namespace

TEST(Crypto, Ed25519MatchesTheReferenceVectorAndSurvivesAStoreAndLoad) {
    // RFC 8032, section 7.1, test 1 (empty message).
    auto key = Ed25519PrivateKey::fromRaw(hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
    ASSERT_TRUE(key);
    EXPECT_EQ(hexString(key->publicKeyRaw()), "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    auto signature = key->sign({});
    ASSERT_TRUE(signature);
    EXPECT_EQ(hexString(*signature),
              "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
              "d25bf5f0595bbe24655141438e7a100b");

    auto fresh = Ed25519PrivateKey::generate();
    ASSERT_TRUE(fresh);
    auto reloaded = Ed25519PrivateKey::fromRaw(fresh->rawRepresentation().view());
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(reloaded->publicKeyRaw(), fresh->publicKeyRaw());
    EXPECT_NE(fresh->publicKeyRaw(), key->publicKeyRaw());

    EXPECT_FALSE(Ed25519PrivateKey::fromRaw(Bytes(31, 1)));
    EXPECT_FALSE(Ed25519PublicKey::fromRaw(Bytes(33, 1)));
}

TEST(Crypto, Ed25519VerifyRefusesEveryAlteration) {
    auto key = Ed25519PrivateKey::generate();
    auto other = Ed25519PrivateKey::generate();
    ASSERT_TRUE(key && other);
    const Bytes message = text("challenge answer");
    auto signature = key->sign(message);
    ASSERT_TRUE(signature);
    auto pub = Ed25519PublicKey::fromRaw(key->publicKeyRaw());
    ASSERT_TRUE(pub);
    EXPECT_TRUE(pub->verify(message, *signature));
    EXPECT_TRUE(key->publicKey().verify(message, *signature));

    Bytes altered = message;
    altered[0] ^= 1;
    EXPECT_FALSE(pub->verify(altered, *signature));
    for (std::size_t i = 0; i < signature->size(); ++i) {
        auto flipped = *signature;
        flipped[i] ^= 0x80;
        EXPECT_FALSE(pub->verify(message, flipped)) << "byte " << i;
    }
    EXPECT_FALSE(other->publicKey().verify(message, *signature));
    EXPECT_FALSE(pub->verify(message, ByteView(signature->data(), 63)));
    Bytes longer(signature->begin(), signature->end());
    longer.push_back(0);
    EXPECT_FALSE(pub->verify(message, longer));
}

TEST(Crypto, X25519AgreesWithTheReferenceVectorAndRefusesLowOrderPoints) {
    // RFC 7748, section 6.1.
    auto alice = X25519PrivateKey::fromRaw(hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    auto bob = X25519PrivateKey::fromRaw(hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(hexString(alice->publicKeyRaw()), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    auto ab = alice->sharedSecret(bob->publicKeyRaw());
    auto ba = bob->sharedSecret(alice->publicKeyRaw());
    ASSERT_TRUE(ab && ba);
    EXPECT_EQ(hexString(ab->view()), "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    EXPECT_EQ(hexString(ba->view()), hexString(ab->view()));

    auto fresh = X25519PrivateKey::generate();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(X25519PrivateKey::fromRaw(fresh->rawRepresentation().view())->publicKeyRaw(), fresh->publicKeyRaw());

    // Points of small order give an all-zero secret: 0, 1 and a point of order 8.
    EXPECT_FALSE(alice->sharedSecret(Bytes(32, 0)));
    Bytes one(32, 0);
    one[0] = 1;
    EXPECT_FALSE(alice->sharedSecret(one));
    EXPECT_FALSE(alice->sharedSecret(hex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800")));
    EXPECT_FALSE(alice->sharedSecret(Bytes(31, 9)));
}

TEST(Crypto, HkdfSha256MatchesTheReferenceVectors) {
    // RFC 5869, test cases 1 and 3 (the second with no salt and no info).
    auto okm = hkdfSHA256(Bytes(22, 0x0b), hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42);
    ASSERT_TRUE(okm);
    EXPECT_EQ(hexString(okm->view()),
              "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    auto noSalt = hkdfSHA256(Bytes(22, 0x0b), {}, {}, 42);
    ASSERT_TRUE(noSalt);
    EXPECT_EQ(hexString(noSalt->view()),
              "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
    EXPECT_FALSE(hkdfSHA256(Bytes(22, 0x0b), {}, {}, 0));
    EXPECT_FALSE(hkdfSHA256(Bytes(22, 0x0b), {}, {}, 255 * 32 + 1));
}

TEST(Crypto, ChaChaPolyMatchesTheReferenceVectorAndOpensOnlyUntouchedInput) {
    // RFC 8439, section 2.8.2.
    const Bytes key = hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    const Bytes nonce = hex("070000004041424344454647");
    const Bytes aad = hex("50515253c0c1c2c3c4c5c6c7");
    const Bytes plaintext = text(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen "
        "would be it.");
    auto sealed = chachaPolySeal(key, nonce, plaintext, aad);
    ASSERT_TRUE(sealed);
    ASSERT_EQ(sealed->size(), plaintext.size() + 16);
    EXPECT_EQ(hexString(ByteView(*sealed).first(16)), "d31a8d34648e60db7b86afbc53ef7ec2");
    EXPECT_EQ(hexString(ByteView(*sealed).last(16)), "1ae10b594f09e26a7e902ecbd0600691");

    auto opened = chachaPolyOpen(key, nonce, *sealed, aad);
    ASSERT_TRUE(opened);
    EXPECT_EQ(Bytes(opened->view().begin(), opened->view().end()), plaintext);

    for (std::size_t i = 0; i < sealed->size(); i += 7) {
        Bytes flipped = *sealed;
        flipped[i] ^= 1;
        EXPECT_FALSE(chachaPolyOpen(key, nonce, flipped, aad)) << "byte " << i;
    }
    Bytes otherAad = aad;
    otherAad.back() ^= 1;
    EXPECT_FALSE(chachaPolyOpen(key, nonce, *sealed, otherAad));
    EXPECT_FALSE(chachaPolyOpen(key, nonce, *sealed, {}));
    Bytes otherNonce = nonce;
    otherNonce[0] ^= 1;
    EXPECT_FALSE(chachaPolyOpen(key, otherNonce, *sealed, aad));
    EXPECT_FALSE(chachaPolyOpen(key, nonce, ByteView(*sealed).first(15), aad));
    EXPECT_FALSE(chachaPolyOpen(key, nonce, ByteView(*sealed).first(sealed->size() - 1), aad));
    EXPECT_FALSE(chachaPolyOpen(ByteView(key).first(31), nonce, *sealed, aad));
    EXPECT_FALSE(chachaPolySeal(key, ByteView(nonce).first(8), plaintext, aad));

    // Nothing to hide still authenticates the associated data.
    auto empty = chachaPolySeal(key, nonce, {}, aad);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 16u);
    auto openedEmpty = chachaPolyOpen(key, nonce, *empty, aad);
    ASSERT_TRUE(openedEmpty);
    EXPECT_TRUE(openedEmpty->empty());
    EXPECT_FALSE(chachaPolyOpen(key, nonce, *empty, otherAad));
}

TEST(Crypto, HashComparisonHexAndRandom) {
    EXPECT_EQ(hexString(*sha256(text("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexString(*sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    EXPECT_TRUE(constantTimeEqual(std::string_view("secret"), std::string_view("secret")));
    EXPECT_FALSE(constantTimeEqual(std::string_view("secret"), std::string_view("secreT")));
    EXPECT_FALSE(constantTimeEqual(std::string_view("secret"), std::string_view("secret2")));
    EXPECT_FALSE(constantTimeEqual(std::string_view(""), std::string_view("x")));
    EXPECT_TRUE(constantTimeEqual(ByteView(), ByteView()));

    EXPECT_EQ(bytesFromHex("00fFa0"), (Bytes{0x00, 0xFF, 0xA0}));
    EXPECT_FALSE(bytesFromHex("abc"));
    EXPECT_FALSE(bytesFromHex("zz"));

    auto a = randomBytes(32);
    auto b = randomBytes(32);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), 32u);
    EXPECT_NE(*a, *b);
    EXPECT_TRUE(randomBytes(0)->empty());
}

TEST(Crypto, SecretsMoveAndCopyTheirContents) {
    SecretString a("hunter2 but much longer than the small string buffer");
    SecretString b(std::move(a));
    EXPECT_EQ(b.view(), "hunter2 but much longer than the small string buffer");
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): moved-from secrets are empty
    SecretString c("short");
    c = std::move(b);
    EXPECT_EQ(c.view(), "hunter2 but much longer than the small string buffer");
    SecretString d("tiny");
    SecretString e(std::move(d));
    EXPECT_EQ(e.view(), "tiny");
    EXPECT_TRUE(d.empty());  // NOLINT(bugprone-use-after-move)

    SecretBytes s(ByteView(text("key")));
    SecretBytes t = s;
    EXPECT_EQ(hexString(t.view()), "6b6579");
    SecretBytes u = std::move(s);
    EXPECT_EQ(u.size(), 3u);
}

}  // namespace CryptoTests
