#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/QuillmereIdentity.h"
#include "support/TestPlatform.h"

namespace IdentityTests {

using namespace qm;
namespace fs = std::filesystem;

namespace {

Bytes nonce32(std::uint8_t fill) { return Bytes(32, fill); }

HostIdentityKeys makeKeys() {
    auto keys = HostIdentityKeys::generate();
    EXPECT_TRUE(keys);
    return *keys;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

unsigned modeOf(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

}  // namespace

TEST(HostIdentity, ProofVerifiesOnlyForTheSameNonceKeysAndSession) {
    const auto keys = makeKeys();
    const auto other = makeKeys();
    const Bytes challenge = nonce32(0x11);
    const Bytes session = nonce32(0x22);
    auto signature = keys.signIdentityChallenge(challenge, session);
    ASSERT_TRUE(signature);
    const auto& ed = keys.signingPublicKey();
    const auto& x = keys.agreementPublicKey();
    EXPECT_TRUE(verifyIdentityProof(ed, challenge, *signature, x, session));

    // The signed bytes begin with the context and the challenge nonce.
    const Bytes message = identityProofMessage(challenge, x, session);
    ASSERT_EQ(message.size(), 25u + 96u);
    EXPECT_EQ(std::string(message.begin(), message.begin() + 25), std::string("QuillmereHostIdentity/v1\0", 25));
    EXPECT_TRUE(keys.signingKey().publicKey().verify(message, *signature));

    EXPECT_FALSE(verifyIdentityProof(ed, nonce32(0x12), *signature, x, session));     // another challenge
    EXPECT_FALSE(verifyIdentityProof(ed, challenge, *signature, x, nonce32(0x23)));   // another session
    EXPECT_FALSE(verifyIdentityProof(ed, challenge, *signature, other.agreementPublicKey(), session));  // swapped key
    EXPECT_FALSE(verifyIdentityProof(other.signingPublicKey(), challenge, *signature, x, session));
    for (std::size_t i = 0; i < signature->size(); i += 5) {
        auto flipped = *signature;
        flipped[i] ^= 0x01;
        EXPECT_FALSE(verifyIdentityProof(ed, challenge, flipped, x, session)) << "byte " << i;
    }
    EXPECT_FALSE(verifyIdentityProof(ed, Bytes(31, 0x11), *signature, x, session));
    EXPECT_FALSE(keys.signIdentityChallenge(Bytes(31, 0), session));
    EXPECT_FALSE(keys.signIdentityChallenge(challenge, Bytes(33, 0)));
}

TEST(HostIdentity, FingerprintAndHostIDAreStableTexts) {
    const auto keys = makeKeys();
    const auto fp = keys.keyFingerprint();
    ASSERT_EQ(fp.size(), 16u);
    EXPECT_EQ(fp, crypto::hexString(crypto::ByteView(crypto::sha256(keys.signingPublicKey())->data(), 8)));
    EXPECT_NE(fp, makeKeys().keyFingerprint());
    EXPECT_EQ(keyFingerprint(Bytes(31, 0)), "");

    const auto id = keys.discoveryHostID();
    ASSERT_TRUE(UUID::parse(id));
    EXPECT_EQ(UUID::parse(id)->uuidString(), id);  // uppercase

    // A lowercase id given back is kept in the uppercase form.
    auto again = HostIdentityKeys::fromRaw(keys.signingKey().rawRepresentation().view(),
                                           keys.agreementKey().rawRepresentation().view(),
                                           "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->discoveryHostID(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(again->keyFingerprint(), fp);
    EXPECT_FALSE(HostIdentityKeys::fromRaw(Bytes(32, 1), Bytes(32, 2), "not a uuid"));
}

TEST(HostIdentityStore, CreatesOncePrivatelyAndLoadsTheSameKeysAfterwards) {
    test::TemporaryDirectory temp;
    const fs::path dir = temp.path() / "config" / "quillmere-host";
    auto first = loadOrCreateHostIdentity(dir);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->created);
    EXPECT_TRUE(first->persisted);
    const fs::path file = dir / kHostIdentityFileName;
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(dir), 0700u);
    ASSERT_FALSE(first->messages.empty());
    EXPECT_NE(first->messages.back().find("created a new Host identity"), std::string::npos);
    for (const auto& line : first->messages) {
        EXPECT_EQ(line.find(crypto::hexString(first->keys.signingKey().rawRepresentation().view())), std::string::npos);
    }
    // Only the identity file is left in the folder: no temporary file.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    auto second = loadOrCreateHostIdentity(dir);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->created);
    EXPECT_TRUE(second->persisted);
    EXPECT_EQ(second->keys.signingPublicKey(), first->keys.signingPublicKey());
    EXPECT_EQ(second->keys.agreementPublicKey(), first->keys.agreementPublicKey());
    EXPECT_EQ(second->keys.discoveryHostID(), first->keys.discoveryHostID());

    // Loosened permissions are tightened again, and said so.
    ::chmod(file.c_str(), 0644);
    ::chmod(dir.c_str(), 0755);
    auto third = loadOrCreateHostIdentity(dir);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->keys.signingPublicKey(), first->keys.signingPublicKey());
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(dir), 0700u);
    ASSERT_GE(third->messages.size(), 3u);
    EXPECT_NE(third->messages[0].find("(mode was 0755)"), std::string::npos);
    EXPECT_NE(third->messages[1].find("(mode was 0644)"), std::string::npos);
}

TEST(HostIdentityStore, UnusableFilesAreKeptAsideNeverOverwritten) {
    test::TemporaryDirectory temp;
    const fs::path dir = temp.path();
    const fs::path file = dir / kHostIdentityFileName;
    auto original = loadOrCreateHostIdentity(dir);
    ASSERT_TRUE(original);
    const std::string good = readFile(file);

    // Truncated mid-key: the file is kept as ".corrupt" with its bytes, and a new identity made.
    const std::string truncated = good.substr(0, good.size() - 20);
    writeFile(file, truncated);
    auto afterTruncation = loadOrCreateHostIdentity(dir);
    ASSERT_TRUE(afterTruncation);
    EXPECT_TRUE(afterTruncation->created);
    EXPECT_TRUE(afterTruncation->persisted);
    EXPECT_NE(afterTruncation->keys.signingPublicKey(), original->keys.signingPublicKey());
    EXPECT_EQ(readFile(fs::path(file.string() + ".corrupt")), truncated);
    bool told = false;
    for (const auto& line : afterTruncation->messages) told |= line.find(".corrupt and creating") != std::string::npos;
    EXPECT_TRUE(told);

    // A second bad file does not replace the first copy.
    writeFile(file, "version=2\n");
    ASSERT_TRUE(loadOrCreateHostIdentity(dir));
    EXPECT_EQ(readFile(fs::path(file.string() + ".corrupt")), truncated);
    EXPECT_EQ(readFile(fs::path(file.string() + ".corrupt.1")), "version=2\n");

    // Each kind of damage is refused rather than half-loaded.
    const std::string cases[] = {
        "",
        good + "ed25519PrivateKey=00\n",                                        // twice
        good + "extra=1\n",                                                     // unknown key
        [&] { std::string s = good; s.replace(s.find("version=1"), 9, "version=9"); return s; }(),
        [&] { std::string s = good; s[s.find("x25519PrivateKey=") + 17] = 'g'; return s; }(),
        [&] { std::string s = good; s[s.find("discoveryHostID=") + 16] = 'Z'; return s; }(),
    };
    for (const auto& damaged : cases) {
        writeFile(file, damaged);
        auto loaded = loadOrCreateHostIdentity(dir);
        ASSERT_TRUE(loaded);
        EXPECT_TRUE(loaded->created) << damaged;
    }

    // A folder in place of the file is moved aside too.
    fs::remove(file);
    fs::create_directory(file);
    auto afterFolder = loadOrCreateHostIdentity(dir);
    ASSERT_TRUE(afterFolder);
    EXPECT_TRUE(afterFolder->persisted);
    EXPECT_TRUE(fs::is_regular_file(file));
}

TEST(HostIdentityStore, FallsBackToAnIdentityInMemoryWhenNothingCanBeStored) {
    test::TemporaryDirectory temp;
    writeFile(temp.path() / "plain-file", "x");
    auto loaded = loadOrCreateHostIdentity(temp.path() / "plain-file" / "quillmere-host");
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(loaded->created);
    EXPECT_FALSE(loaded->persisted);
    ASSERT_FALSE(loaded->messages.empty());
    EXPECT_NE(loaded->messages.back().find("temporary identity"), std::string::npos);
}

namespace {

// A small file system of its own, which the test can turn read-only; needs the right to mount.
class RemountableDisk {
public:
    explicit RemountableDisk(const fs::path& at) : at_(at) {
        fs::create_directories(at);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~RemountableDisk() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    bool makeReadOnly() { return ::mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m") == 0; }

private:
    fs::path at_;
    bool mounted_ = false;
};

}  // namespace

TEST(HostIdentityStore, KeysOthersCanReadAreRefusedAndAReadOnlyFolderSaysSo) {
    test::TemporaryDirectory temp;
    RemountableDisk disk(temp.path() / "disk");
    if (!disk.mounted()) GTEST_SKIP() << "needs the right to mount a file system";
    const auto folder = temp.path() / "disk" / "quillmere-host";
    auto first = loadOrCreateHostIdentity(folder);
    ASSERT_TRUE(first && first->persisted);
    const auto file = folder / kHostIdentityFileName;
    const std::string stored = readFile(file);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(disk.makeReadOnly());

    // Readable by everyone and impossible to restrict: not used, not moved, not changed.
    auto refused = loadOrCreateHostIdentity(folder);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->persisted);
    EXPECT_NE(refused->keys.discoveryHostID(), first->keys.discoveryHostID());
    ASSERT_FALSE(refused->messages.empty());
    EXPECT_NE(refused->messages.back().find("readable by other users (mode 0644)"), std::string::npos)
        << refused->messages.back();
    EXPECT_EQ(readFile(file), stored);

    // A folder that cannot be made on the read-only disk is reported as such, not as missing.
    auto elsewhere = loadOrCreateHostIdentity(temp.path() / "disk" / "other");
    ASSERT_TRUE(elsewhere);
    EXPECT_NE(elsewhere->messages.back().find("Read-only file system"), std::string::npos) << elsewhere->messages.back();
    EXPECT_EQ(elsewhere->messages.back().find("No such file"), std::string::npos);
}

TEST(SealedCredential, OpensForTheRightSessionUserAndKeysOnly) {
    const auto host = makeKeys();
    const auto otherHost = makeKeys();
    const Bytes session = nonce32(0x5A);
    const std::string password = "correct horse \xC3\xA9 battery";
    auto sealed = sealCredential(host.agreementPublicKey(), session, "alice", password);
    ASSERT_TRUE(sealed);
    ASSERT_EQ(sealed->size(), kSealedCredentialOverhead + password.size());
    EXPECT_EQ((*sealed)[0], kSealedCredentialVersion);
    EXPECT_EQ(std::string(sealed->begin(), sealed->end()).find("correct horse"), std::string::npos);

    auto opened = unsealCredential(host, session, "alice", *sealed);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->view(), password);
    // Two seals of the same password differ (fresh ephemeral key and nonce).
    EXPECT_NE(*sealCredential(host.agreementPublicKey(), session, "alice", password), *sealed);

    EXPECT_FALSE(unsealCredential(host, nonce32(0x5B), "alice", *sealed));  // another connection's nonce
    EXPECT_FALSE(unsealCredential(host, session, "Alice", *sealed));        // another user name
    EXPECT_FALSE(unsealCredential(host, session, "alice2", *sealed));
    EXPECT_FALSE(unsealCredential(otherHost, session, "alice", *sealed));   // another Host
    for (std::size_t i = 0; i < sealed->size(); ++i) {
        Bytes flipped = *sealed;
        flipped[i] ^= 0x40;
        EXPECT_FALSE(unsealCredential(host, session, "alice", flipped)) << "byte " << i;
    }
    for (std::size_t length = 0; length < sealed->size(); ++length) {
        EXPECT_FALSE(unsealCredential(host, session, "alice", crypto::ByteView(*sealed).first(length))) << length;
    }
    Bytes longer = *sealed;
    longer.push_back(0);
    EXPECT_FALSE(unsealCredential(host, session, "alice", longer));
    Bytes version2 = *sealed;
    version2[0] = 2;
    EXPECT_FALSE(unsealCredential(host, session, "alice", version2));
    Bytes lowOrder = *sealed;
    std::fill(lowOrder.begin() + 1, lowOrder.begin() + 33, 0);
    EXPECT_FALSE(unsealCredential(host, session, "alice", lowOrder));
    EXPECT_FALSE(unsealCredential(host, Bytes(31, 0x5A), "alice", *sealed));
}

TEST(SealedCredential, SealingRefusesBadInputsAndBoundsThePassword) {
    const auto host = makeKeys();
    const Bytes session = nonce32(1);
    EXPECT_FALSE(sealCredential(Bytes(31, 1), session, "alice", "pw"));
    EXPECT_FALSE(sealCredential(host.agreementPublicKey(), Bytes(16, 1), "alice", "pw"));
    EXPECT_FALSE(sealCredential(Bytes(32, 0), session, "alice", "pw"));  // low-order Host key
    const std::string tooLong(kMaxSealedPasswordSize + 1, 'p');
    EXPECT_FALSE(sealCredential(host.agreementPublicKey(), session, "alice", tooLong));

    const std::string longest(kMaxSealedPasswordSize, 'p');
    auto sealed = sealCredential(host.agreementPublicKey(), session, "alice", longest);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(unsealCredential(host, session, "alice", *sealed)->view(), longest);

    // An empty password seals and opens; refusing it is the password check's job.
    auto empty = sealCredential(host.agreementPublicKey(), session, "", "");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), kSealedCredentialOverhead);
    ASSERT_TRUE(unsealCredential(host, session, "", *empty));
    EXPECT_FALSE(unsealCredential(host, session, "x", *empty));
}

TEST(HostIdentityStore, DamageIsDescribedWithoutTheFileContents) {
    test::TemporaryDirectory temp;
    const fs::path file = temp.path() / kHostIdentityFileName;
    auto original = loadOrCreateHostIdentity(temp.path());
    ASSERT_TRUE(original);
    const std::string good = readFile(file);
    const std::string keyHex = crypto::hexString(original->keys.signingKey().rawRepresentation().view());
    const std::string hostID = original->keys.discoveryHostID();

    // Damage that puts secret or arbitrary text where a name or a value is reported.
    auto replaced = [&](std::string_view what, std::string_view with) {
        std::string s = good;
        s.replace(s.find(what), what.size(), with);
        return s;
    };
    const std::string cases[] = {
        replaced("ed25519PrivateKey=", keyHex + "="),            // the key where a name belongs
        replaced("version=1", "version=" + keyHex),              // the key where the version belongs
        replaced("ed25519PrivateKey=", "ed25519PrivateKey" + keyHex),  // no '=' left on the line
        good + "ed25519PrivateKey=" + keyHex + "\n",             // a second copy of an entry
        replaced("discoveryHostID=", "\n" + hostID + "\nx" + keyHex + "=\n"),
    };
    for (const auto& damaged : cases) {
        writeFile(file, damaged);
        auto loaded = loadOrCreateHostIdentity(temp.path());
        ASSERT_TRUE(loaded);
        EXPECT_TRUE(loaded->created);
        bool toldWhy = false;
        for (const auto& line : loaded->messages) {
            EXPECT_EQ(line.find(keyHex.substr(0, 12)), std::string::npos) << line;
            EXPECT_EQ(line.find(hostID), std::string::npos) << line;
            toldWhy |= line.find("is not a usable identity (") != std::string::npos;
        }
        EXPECT_TRUE(toldWhy);
    }
}

TEST(HostIdentityStore, TheFolderIsNeverWiderThanOwnerOnly) {
    test::TemporaryDirectory temp;
    const fs::path dir = temp.path() / "config" / "quillmere-host";
    // With no umask to narrow it, a folder made with the default mode would be 0777 at first.
    const mode_t previous = ::umask(0);
    auto loaded = loadOrCreateHostIdentity(dir);
    ::umask(previous);
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(loaded->persisted);
    EXPECT_EQ(modeOf(dir), 0700u);
    for (const auto& line : loaded->messages) EXPECT_EQ(line.find("restricted"), std::string::npos) << line;
    // The folders above it are ordinary ones.
    EXPECT_EQ(modeOf(dir.parent_path()), 0777u);

    // Named with a trailing slash, the same folder is used.
    auto again = loadOrCreateHostIdentity(dir.string() + "/");
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->created);
}

TEST(HostIdentityStore, AFolderItsOwnerMadeReadOnlyIsLeftAlone) {
    test::TemporaryDirectory temp;
    const fs::path dir = temp.path() / "quillmere-host";
    ASSERT_TRUE(loadOrCreateHostIdentity(dir));
    ::chmod(dir.c_str(), 0555);
    auto loaded = loadOrCreateHostIdentity(dir);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(modeOf(dir), 0555u);
    EXPECT_FALSE(loaded->persisted);
    ASSERT_FALSE(loaded->messages.empty());
    EXPECT_NE(loaded->messages.back().find("is read-only (mode 0555); it is left as it is); using a temporary identity"),
              std::string::npos)
        << loaded->messages.back();
    ::chmod(dir.c_str(), 0700);
}

}  // namespace IdentityTests
