// The identity file as it may be found on disk, and sealed credentials as a peer may send them.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "QuillmereProfiles/QuillmereIdentity.h"
#include "fuzz/FuzzTarget.h"
#include "support/TestPlatform.h"

using namespace qm;

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Key material in the key lines (keys are written as hex digits; a run of 32 or more of them in a
// key line's value is what a leak would show): whatever else happens, none may show up in a status
// line. Other text in those values may well match the Host's own wording, which is no leak.
std::vector<std::string> keyValues(std::string_view text) {
    std::vector<std::string> values;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const auto line = text.substr(start, end - start);
        start = end + 1;
        for (std::string_view key : {"ed25519PrivateKey=", "x25519PrivateKey="}) {
            if (line.substr(0, key.size()) != key) continue;
            const auto value = line.substr(key.size());
            std::size_t run = 0;
            for (std::size_t i = 0; i <= value.size(); ++i) {
                if (i < value.size() && std::isxdigit(static_cast<unsigned char>(value[i]))) {
                    ++run;
                    continue;
                }
                if (run >= 32) values.emplace_back(value.substr(i - run, run));
                run = 0;
            }
        }
    }
    return values;
}

void identityFile(std::span<const std::uint8_t> bytes) {
    static test::TemporaryDirectory root;
    const auto folder = root.path() / "config";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string text(bytes.begin(), bytes.end());
    const auto file = folder / kHostIdentityFileName;
    std::ofstream(file, std::ios::binary) << text;

    auto first = loadOrCreateHostIdentity(folder);
    QM_FUZZ_CHECK(first.has_value(), "no identity at all");
    for (const auto& value : keyValues(text))
        for (const auto& message : first->messages)
            QM_FUZZ_CHECK(message.find(value) == std::string::npos, "a status line shows key material");
    if (!first->created) {
        QM_FUZZ_CHECK(first->persisted && readFile(file) == text, "a loaded identity file was changed");
    } else {
        // The unusable file was kept aside, byte for byte, and the new identity replaced it.
        QM_FUZZ_CHECK(readFile(folder / "host-identity.corrupt") == text, "the unusable file was not kept");
        QM_FUZZ_CHECK(first->persisted, "a new identity was not saved");
    }
    auto second = loadOrCreateHostIdentity(folder);
    QM_FUZZ_CHECK(second.has_value() && !second->created && second->persisted, "the saved identity does not load");
    QM_FUZZ_CHECK(second->keys.discoveryHostID() == first->keys.discoveryHostID() &&
                      second->keys.signingPublicKey() == first->keys.signingPublicKey() &&
                      second->keys.agreementPublicKey() == first->keys.agreementPublicKey(),
                  "the identity changed between two loads");
}

void sealedCredential(std::span<const std::uint8_t> bytes) {
    static const auto keys = HostIdentityKeys::generate();
    static const std::array<std::uint8_t, kIdentityNonceSize> sessionNonce{7, 7, 7};
    fuzz::FuzzInput input(bytes);
    const std::string username = input.shortString();
    const auto sealed = input.rest();
    // A peer's bytes: anything may come back, nothing may crash.
    (void)unsealCredential(*keys, sessionNonce, username, sealed);
    // And a password sealed properly comes back unchanged, for this user only.
    const std::string password(sealed.begin(), sealed.end());
    auto good = sealCredential(keys->agreementPublicKey(), sessionNonce, username, password);
    QM_FUZZ_CHECK(good.has_value() == (password.size() <= kMaxSealedPasswordSize), "sealing refused a password");
    if (!good) return;
    auto opened = unsealCredential(*keys, sessionNonce, username, *good);
    QM_FUZZ_CHECK(opened.has_value() && opened->view() == password,
                  "a sealed password did not come back");
    QM_FUZZ_CHECK(!unsealCredential(*keys, sessionNonce, username + "x", *good), "unsealed for another user");
}

}  // namespace

QM_FUZZ_TARGET(identity) {
    if (data.empty()) return;
    if (data[0] & 1) {
        sealedCredential(data.subspan(1));
    } else {
        identityFile(data.subspan(1));
    }
}
