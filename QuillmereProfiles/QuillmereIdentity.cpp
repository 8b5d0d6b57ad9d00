#include "QuillmereProfiles/QuillmereIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <map>

#include "Platform/Core/UUID.h"

namespace qm {

using crypto::ByteView;

namespace {

ByteView bytesOf(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

std::string errnoText(int error) { return std::strerror(error); }

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// --- the identity file ------------------------------------------------------------------------
//
// A small text file, one "key=value" per line, lines starting with '#' ignored:
//   version=1
//   discoveryHostID=<uppercase UUID>
//   ed25519PrivateKey=<64 hex digits>
//   x25519PrivateKey=<64 hex digits>
// Every key must appear exactly once and no other key may appear.

constexpr std::size_t kMaxIdentityFileSize = 64 * 1024;

std::string serialize(const HostIdentityKeys& keys) {
    auto ed = keys.signingKey().rawRepresentation();
    auto x = keys.agreementKey().rawRepresentation();
    std::string text = "# Quillmere Host identity: the Host's private keys. Keep this file private.\n";
    text += "version=1\n";
    text += "discoveryHostID=" + keys.discoveryHostID() + "\n";
    std::string edHex = crypto::hexString(ed.view());
    std::string xHex = crypto::hexString(x.view());
    text += "ed25519PrivateKey=" + edHex + "\n";
    text += "x25519PrivateKey=" + xHex + "\n";
    crypto::secureWipe(edHex);
    crypto::secureWipe(xHex);
    return text;
}

// Nothing, with the reason in `why`, when the text is not a complete identity. The reason names
// the kind of damage and where it is, never what the file holds: a damaged line may be key material.
std::optional<HostIdentityKeys> parse(std::string_view text, std::string& why) {
    std::map<std::string, std::string, std::less<>> fields;
    std::size_t start = 0;
    std::size_t lineNumber = 0;
    std::optional<HostIdentityKeys> result;
    static constexpr std::string_view knownKeys[] = {"version", "discoveryHostID", "ed25519PrivateKey",
                                                     "x25519PrivateKey"};
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.empty() || line.front() == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            why = "line " + std::to_string(lineNumber) + " has no '='";
            break;
        }
        const std::string_view key = line.substr(0, equals);
        const auto known = std::find(std::begin(knownKeys), std::end(knownKeys), key);
        if (known == std::end(knownKeys)) {
            why = "line " + std::to_string(lineNumber) + " has an unknown entry";
            break;
        }
        if (!fields.emplace(std::string(key), std::string(line.substr(equals + 1))).second) {
            // The name is one of ours, not the file's text.
            why = "\"" + std::string(*known) + "\" appears twice";
            break;
        }
    }
    if (why.empty()) {
        if (fields.size() != 4) {
            why = "missing entries";
        } else if (fields["version"] != "1") {
            why = "unsupported version";
        } else {
            auto hostID = UUID::parse(fields["discoveryHostID"]);
            auto ed = crypto::bytesFromHex(fields["ed25519PrivateKey"]);
            auto x = crypto::bytesFromHex(fields["x25519PrivateKey"]);
            if (!hostID) {
                why = "bad Host id";
            } else if (!ed || ed->size() != crypto::kEd25519KeySize) {
                why = "bad signing key";
            } else if (!x || x->size() != crypto::kX25519KeySize) {
                why = "bad key-agreement key";
            } else {
                result = HostIdentityKeys::fromRaw(*ed, *x, hostID->uuidString());
                if (!result) why = "keys rejected";
            }
            if (ed) crypto::secureWipe(*ed);
            if (x) crypto::secureWipe(*x);
        }
    }
    for (auto& [key, value] : fields) crypto::secureWipe(value);
    return result;
}

struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int f) : fd(f) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void syncDirectory(const std::filesystem::path& directory) {
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0) ::fsync(dir.fd);
}

enum class ReadOutcome { missing, unreadable, notIdentity, loaded };

struct ReadResult {
    ReadOutcome outcome = ReadOutcome::missing;
    std::optional<HostIdentityKeys> keys;
    std::string why;
    std::vector<std::string> messages;
};

ReadResult readIdentityFile(const std::filesystem::path& file) {
    ReadResult result;
    FileDescriptor f(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (f.fd < 0) {
        const int error = errno;
        if (error == ENOENT) return result;
        // A symbolic link in place of the file is not ours to follow; set it aside like any
        // other file that is not an identity.
        result.outcome = error == ELOOP ? ReadOutcome::notIdentity : ReadOutcome::unreadable;
        result.why = error == ELOOP ? "a symbolic link" : errnoText(error);
        return result;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) {
        result.outcome = ReadOutcome::unreadable;
        result.why = errnoText(errno);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.outcome = ReadOutcome::notIdentity;
        result.why = "not a regular file";
        return result;
    }
    if (st.st_size > static_cast<off_t>(kMaxIdentityFileSize)) {
        result.outcome = ReadOutcome::notIdentity;
        result.why = "too large";
        return result;
    }
    std::string text(kMaxIdentityFileSize + 1, '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        const ssize_t n = ::read(f.fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            crypto::secureWipe(text);
            result.outcome = ReadOutcome::unreadable;
            result.why = errnoText(error);
            return result;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    std::string why;
    if (used > kMaxIdentityFileSize) {
        why = "too large";
    } else {
        result.keys = parse(std::string_view(text.data(), used), why);
    }
    crypto::secureWipe(text);
    if (!result.keys) {
        result.outcome = ReadOutcome::notIdentity;
        result.why = why;
        return result;
    }
    result.outcome = ReadOutcome::loaded;
    if ((st.st_mode & 077) != 0) {
        if (::fchmod(f.fd, 0600) == 0) {
            result.messages.push_back("identity: restricted " + file.string() + " to owner-only access (mode was " +
                                      modeText(st.st_mode) + ")");
        } else {
            // Keys that others can read and that stay readable are no secret: refuse them, as an
            // SSH daemon refuses such a host key. The file is left as it is for its owner to mend.
            const int error = errno;
            result.keys.reset();
            result.outcome = ReadOutcome::unreadable;
            result.why = "its private keys are readable by other users (mode " + modeText(st.st_mode) +
                         ") and it cannot be restricted: " + errnoText(error);
        }
    }
    return result;
}

// Moves an unusable file out of the way without ever replacing an earlier copy. Returns the new
// path, or nothing (and the reason) when it could not be moved.
std::optional<std::filesystem::path> moveAside(const std::filesystem::path& file, std::string& why) {
    for (int n = 0; n < 100; ++n) {
        std::filesystem::path aside = file;
        aside += n == 0 ? std::string(".corrupt") : ".corrupt." + std::to_string(n);
        struct stat st {};
        if (::lstat(aside.c_str(), &st) == 0) continue;
        if (errno != ENOENT) break;
        if (::rename(file.c_str(), aside.c_str()) == 0) return aside;
        why = errnoText(errno);
        return std::nullopt;
    }
    why = "no free name for a copy";
    return std::nullopt;
}

enum class WriteOutcome { written, alreadyExists, failed };

// Writes the identity to a temporary file in the same folder, flushes it and links it into place,
// so the identity file is either absent or complete, and a file that another Host process
// created in the meantime is never replaced.
WriteOutcome writeIdentityFile(const std::filesystem::path& file, const HostIdentityKeys& keys, std::string& why) {
    auto suffix = crypto::randomBytes(6);
    if (!suffix) {
        why = "random generator failed";
        return WriteOutcome::failed;
    }
    std::filesystem::path temp = file;
    temp += ".tmp-" + crypto::hexString(*suffix);
    std::string text = serialize(keys);
    bool ok = false;
    {
        FileDescriptor f(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (f.fd < 0) {
            why = errnoText(errno);
            crypto::secureWipe(text);
            return WriteOutcome::failed;
        }
        ok = ::fchmod(f.fd, 0600) == 0 && writeAll(f.fd, text) && ::fsync(f.fd) == 0;
        if (!ok) why = errnoText(errno);
    }
    crypto::secureWipe(text);
    if (!ok) {
        ::unlink(temp.c_str());
        return WriteOutcome::failed;
    }
    WriteOutcome outcome = WriteOutcome::written;
    if (::link(temp.c_str(), file.c_str()) != 0) {
        const int error = errno;
        if (error == EEXIST) {
            outcome = WriteOutcome::alreadyExists;
        } else if (::rename(temp.c_str(), file.c_str()) != 0) {
            // Some file systems have no hard links; a rename is atomic too.
            why = errnoText(errno);
            outcome = WriteOutcome::failed;
        }
    }
    ::unlink(temp.c_str());
    if (outcome == WriteOutcome::written) syncDirectory(file.parent_path());
    return outcome;
}

std::string describe(const HostIdentityKeys& keys) {
    return "id " + keys.discoveryHostID() + ", key " + keys.keyFingerprint();
}

}  // namespace

// --- HostIdentityKeys ------------------------------------------------------------------------------

std::optional<HostIdentityKeys> HostIdentityKeys::generate() {
    auto signing = crypto::Ed25519PrivateKey::generate();
    auto agreement = crypto::X25519PrivateKey::generate();
    auto idBytes = crypto::randomBytes(16);
    if (!signing || !agreement || !idBytes) return std::nullopt;
    UUID::Bytes raw{};
    std::memcpy(raw.data(), idBytes->data(), raw.size());
    raw[6] = static_cast<std::uint8_t>((raw[6] & 0x0F) | 0x40);
    raw[8] = static_cast<std::uint8_t>((raw[8] & 0x3F) | 0x80);
    return HostIdentityKeys(std::move(*signing), std::move(*agreement), UUID(raw).uuidString());
}

std::optional<HostIdentityKeys> HostIdentityKeys::fromRaw(ByteView ed25519PrivateKey, ByteView x25519PrivateKey,
                                                          std::string_view discoveryHostID) {
    auto hostID = UUID::parse(discoveryHostID);
    auto signing = crypto::Ed25519PrivateKey::fromRaw(ed25519PrivateKey);
    auto agreement = crypto::X25519PrivateKey::fromRaw(x25519PrivateKey);
    if (!hostID || !signing || !agreement) return std::nullopt;
    return HostIdentityKeys(std::move(*signing), std::move(*agreement), hostID->uuidString());
}

std::string HostIdentityKeys::keyFingerprint() const { return qm::keyFingerprint(signingPublicKey()); }

std::optional<crypto::Signature64> HostIdentityKeys::signIdentityChallenge(ByteView nonce, ByteView sessionNonce) const {
    if (nonce.size() != kIdentityNonceSize || sessionNonce.size() != kIdentityNonceSize) return std::nullopt;
    return signingKey_.sign(identityProofMessage(nonce, agreementPublicKey(), sessionNonce));
}

// --- loading -------------------------------------------------------------------------------------

std::optional<HostIdentityLoadResult> loadOrCreateHostIdentity(const std::filesystem::path& directory) {
    const auto file = directory / kHostIdentityFileName;
    std::vector<std::string> messages;

    auto temporary = [&](const std::string& why) -> std::optional<HostIdentityLoadResult> {
        auto keys = HostIdentityKeys::generate();
        if (!keys) return std::nullopt;
        messages.push_back("identity: cannot use " + file.string() + " (" + why +
                           "); using a temporary identity for this run (" + describe(*keys) + ")");
        return HostIdentityLoadResult{std::move(*keys), true, false, std::move(messages)};
    };

    // The folder itself is made owner-only in the same call that creates it, so there is no moment
    // in which it exists with wider access (mkdir's mode can only be narrowed by the umask, never
    // widened). Folders above it are ordinary config folders and keep the default mode.
    std::error_code ec;
    const auto folder = directory.has_filename() ? directory : directory.parent_path();  // "a/b/" is "a/b"
    if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), ec);
    const int mkdirError = ::mkdir(folder.c_str(), 0700) == 0 ? 0 : errno;
    struct stat dirStat {};
    if (::stat(directory.c_str(), &dirStat) != 0) {
        // A folder that could not be made is reported by why it could not (a read-only or
        // forbidden parent), not as merely missing.
        const int error = errno;
        if (error == ENOENT && ec) return temporary("cannot create " + folder.parent_path().string() + ": " + ec.message());
        if (error == ENOENT && mkdirError != 0 && mkdirError != EEXIST) {
            return temporary("cannot create " + folder.string() + ": " + errnoText(mkdirError));
        }
        return temporary(errnoText(error));
    }
    if (!S_ISDIR(dirStat.st_mode)) return temporary(directory.string() + " is not a folder");
    // A folder that already existed with wider access (made by hand or by an older Host) is set to
    // owner-only before any key is read or written in it.
    if ((dirStat.st_mode & 077) != 0) {
        // A folder its owner made read-only is a deliberate choice: it is left as it is, and an
        // identity for this run only is used, as for one that cannot be read.
        if ((dirStat.st_mode & S_IWUSR) == 0) {
            return temporary(directory.string() + " is read-only (mode " + modeText(dirStat.st_mode) +
                             "); it is left as it is");
        }
        if (::chmod(directory.c_str(), 0700) == 0) {
            messages.push_back("identity: restricted " + directory.string() + " to owner-only access (mode was " +
                               modeText(dirStat.st_mode) + ")");
        }
    }

    // Two rounds at most: the second one reads a file that another Host process created while
    // this one was making its own.
    for (int round = 0; round < 2; ++round) {
        ReadResult read = readIdentityFile(file);
        messages.insert(messages.end(), read.messages.begin(), read.messages.end());
        switch (read.outcome) {
            case ReadOutcome::loaded:
                messages.push_back("identity: loaded Host identity (" + describe(*read.keys) + ")");
                return HostIdentityLoadResult{std::move(*read.keys), false, true, std::move(messages)};
            case ReadOutcome::unreadable:
                // It may well be the real identity (wrong owner, a passing I/O error): leave it be.
                return temporary(read.why);
            case ReadOutcome::notIdentity: {
                std::string why;
                auto aside = moveAside(file, why);
                if (!aside) return temporary(read.why + "; cannot move it aside: " + why);
                messages.push_back("identity: " + file.string() + " is not a usable identity (" + read.why +
                                   "); kept it as " + aside->string() + " and creating a new identity");
                break;
            }
            case ReadOutcome::missing:
                break;
        }
        auto keys = HostIdentityKeys::generate();
        if (!keys) return std::nullopt;
        std::string why;
        switch (writeIdentityFile(file, *keys, why)) {
            case WriteOutcome::written:
                messages.push_back("identity: created a new Host identity (" + describe(*keys) + ") in " +
                                   file.string());
                return HostIdentityLoadResult{std::move(*keys), true, true, std::move(messages)};
            case WriteOutcome::alreadyExists:
                continue;
            case WriteOutcome::failed:
                messages.push_back("identity: cannot save a new identity to " + file.string() + " (" + why +
                                   "); using it for this run only (" + describe(*keys) + ")");
                return HostIdentityLoadResult{std::move(*keys), true, false, std::move(messages)};
        }
    }
    return temporary("it keeps changing under us");
}

// --- identity proof ------------------------------------------------------------------------------

Bytes identityProofMessage(ByteView nonce, ByteView x25519PublicKey, ByteView sessionNonce) {
    ByteWriter w(kIdentityProofContext.size() + nonce.size() + x25519PublicKey.size() + sessionNonce.size());
    w.bytes(kIdentityProofContext).bytes(nonce).bytes(x25519PublicKey).bytes(sessionNonce);
    return w.take();
}

bool verifyIdentityProof(ByteView ed25519PublicKey, ByteView nonce, ByteView signature, ByteView x25519PublicKey,
                         ByteView sessionNonce) {
    if (nonce.size() != kIdentityNonceSize || sessionNonce.size() != kIdentityNonceSize ||
        x25519PublicKey.size() != crypto::kX25519KeySize || signature.size() != crypto::kEd25519SignatureSize) {
        return false;
    }
    auto key = crypto::Ed25519PublicKey::fromRaw(ed25519PublicKey);
    return key && key->verify(identityProofMessage(nonce, x25519PublicKey, sessionNonce), signature);
}

std::string keyFingerprint(ByteView ed25519PublicKey) {
    if (ed25519PublicKey.size() != crypto::kEd25519KeySize) return {};
    auto digest = crypto::sha256(ed25519PublicKey);
    if (!digest) return {};
    return crypto::hexString(ByteView(digest->data(), 8));
}

// --- sealed credential -----------------------------------------------------------------------------
//
// version (1) | ephemeral X25519 public key (32) | AEAD nonce (12) | ciphertext of the password | tag (16)
// key  = HKDF-SHA256(X25519(ephemeral, host), salt = session nonce,
//                    info = kSealedCredentialContext | ephemeral public | host public), 32 bytes
// AAD  = version | user name (UTF-8)

namespace {

std::optional<crypto::SecretBytes> credentialKey(const crypto::SecretBytes& shared, ByteView sessionNonce,
                                                 ByteView ephemeralPublic, ByteView hostPublic) {
    ByteWriter info(kSealedCredentialContext.size() + 64);
    info.bytes(kSealedCredentialContext).bytes(ephemeralPublic).bytes(hostPublic);
    return crypto::hkdfSHA256(shared.view(), sessionNonce, info.data(), crypto::kChaChaPolyKeySize);
}

Bytes credentialAAD(std::string_view username) {
    ByteWriter aad(1 + username.size());
    aad.u8(kSealedCredentialVersion).bytes(username);
    return aad.take();
}

}  // namespace

std::optional<Bytes> sealCredential(ByteView hostX25519Public, ByteView sessionNonce, std::string_view username,
                                    std::string_view password) {
    if (hostX25519Public.size() != crypto::kX25519KeySize || sessionNonce.size() != kIdentityNonceSize ||
        password.size() > kMaxSealedPasswordSize) {
        return std::nullopt;
    }
    auto ephemeral = crypto::X25519PrivateKey::generate();
    if (!ephemeral) return std::nullopt;
    auto shared = ephemeral->sharedSecret(hostX25519Public);
    if (!shared) return std::nullopt;
    auto key = credentialKey(*shared, sessionNonce, ephemeral->publicKeyRaw(), hostX25519Public);
    std::array<std::uint8_t, crypto::kChaChaPolyNonceSize> nonce{};
    if (!key || !crypto::fillRandom(nonce)) return std::nullopt;
    auto ciphertext = crypto::chachaPolySeal(key->view(), nonce, bytesOf(password), credentialAAD(username));
    if (!ciphertext) return std::nullopt;
    ByteWriter out(kSealedCredentialOverhead + password.size());
    out.u8(kSealedCredentialVersion).bytes(ephemeral->publicKeyRaw()).bytes(nonce).bytes(*ciphertext);
    return out.take();
}

std::optional<crypto::SecretString> unsealCredential(const HostIdentityKeys& hostKeys, ByteView sessionNonce,
                                                     std::string_view username, ByteView sealed) {
    if (sessionNonce.size() != kIdentityNonceSize || sealed.size() < kSealedCredentialOverhead ||
        sealed.size() > kSealedCredentialOverhead + kMaxSealedPasswordSize || sealed[0] != kSealedCredentialVersion) {
        return std::nullopt;
    }
    const ByteView ephemeralPublic = sealed.subspan(1, crypto::kX25519KeySize);
    const ByteView nonce = sealed.subspan(1 + crypto::kX25519KeySize, crypto::kChaChaPolyNonceSize);
    const ByteView ciphertext = sealed.subspan(1 + crypto::kX25519KeySize + crypto::kChaChaPolyNonceSize);
    auto shared = hostKeys.agreementKey().sharedSecret(ephemeralPublic);
    if (!shared) return std::nullopt;
    auto key = credentialKey(*shared, sessionNonce, ephemeralPublic, hostKeys.agreementPublicKey());
    if (!key) return std::nullopt;
    auto plaintext = crypto::chachaPolyOpen(key->view(), nonce, ciphertext, credentialAAD(username));
    if (!plaintext) return std::nullopt;
    return crypto::SecretString(
        std::string_view(reinterpret_cast<const char*>(plaintext->data()), plaintext->size()));
}

}  // namespace qm
