#include "Platform/Linux/LinuxAccountService.h"

#include <fcntl.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Core/Crypto.h"
#include "Platform/Process.h"

namespace qm {

namespace {

// --- logind ----------------------------------------------------------------------------------

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(64 * 1024, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// Session ids are short words ("2", "c1"); anything else is not passed to a program.
bool isSessionID(std::string_view id) {
    if (id.empty() || id.size() > 64) return false;
    for (char c : id) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!ok) return false;
    }
    return true;
}

// What a program (no shell) printed, or nothing when it could not be started or did not finish
// within `timeout`.
std::optional<std::string> runBounded(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    auto result = runProcess(args, timeout);
    if (!result || !result->finished) return std::nullopt;
    return std::move(result->output);
}

// --- PAM -------------------------------------------------------------------------------------

struct Conversation {
    const char* password;
    bool askedForMore = false;
};

void freeResponses(pam_response* responses, int count) {
    if (!responses) return;
    for (int i = 0; i < count; ++i) {
        if (responses[i].resp) {
            crypto::secureWipe(responses[i].resp, std::strlen(responses[i].resp));
            std::free(responses[i].resp);
        }
    }
    std::free(responses);
}

// Answers every hidden prompt with the password; PAM frees the answers. Prompts that want a
// visible answer (a one-time code, a user name) cannot be answered by a remote sign-in.
int converse(int count, const pam_message** messages, pam_response** answers, void* context) {
    auto* conversation = static_cast<Conversation*>(context);
    if (count <= 0 || count > PAM_MAX_NUM_MSG || !answers) return PAM_CONV_ERR;
    auto* responses = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!responses) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
            case PAM_PROMPT_ECHO_OFF:
                responses[i].resp = ::strdup(conversation->password);
                if (!responses[i].resp) {
                    freeResponses(responses, count);
                    return PAM_BUF_ERR;
                }
                break;
            case PAM_ERROR_MSG:
            case PAM_TEXT_INFO:
                break;
            default:
                conversation->askedForMore = true;
                freeResponses(responses, count);
                return PAM_CONV_ERR;
        }
    }
    *answers = responses;
    return PAM_SUCCESS;
}

void noFailureDelay(int, unsigned, void*) {}

// PAM opens its configuration and modules, and pam_unix (for a user other than root) runs a
// helper through a pipe; short of descriptors, its modules answer as for a wrong password. A
// check runs only with this many to spare, and a refusal made when they are no longer there is
// not trusted.
constexpr int descriptorsForACheck = 16;

bool descriptorsToSpare(int wanted) {
    std::vector<int> opened;
    opened.reserve(static_cast<std::size_t>(wanted));
    bool ranShort = false;
    while (static_cast<int>(opened.size()) < wanted) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            ranShort = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
            break;
        }
        opened.push_back(fd);
    }
    for (const int fd : opened) ::close(fd);
    return !ranShort;
}

PasswordCheckResult resultOf(pam_handle_t* pam, int code, const Conversation& conversation) {
    const std::string text = ::pam_strerror(pam, code);
    switch (code) {
        case PAM_SUCCESS:
            return PasswordCheckResult::accepted();
        case PAM_AUTH_ERR:
        case PAM_USER_UNKNOWN:
        case PAM_MAXTRIES:
        case PAM_CRED_INSUFFICIENT:
        case PAM_PERM_DENIED:
        case PAM_ACCT_EXPIRED:
        case PAM_NEW_AUTHTOK_REQD:
        case PAM_AUTHTOK_EXPIRED:
            return PasswordCheckResult::rejected(text);
        default:
            if (conversation.askedForMore) {
                return PasswordCheckResult::unavailable("the sign-in asks for more than a password");
            }
            return PasswordCheckResult::unavailable(text);
    }
}

}  // namespace

// --- LinuxAccountService -----------------------------------------------------------------------

LinuxAccountService::LinuxAccountService(Options options) : options_(std::move(options)) {
    const ConsoleSources sources{options_.logindRuntimeDirectory, options_.loginctlPath, options_.loginctlTimeout};
    // The first reading is made here, so no caller ever sees a state that was not read; the Host
    // makes the service before its server starts, off every queue.
    console_->state = readConsoleSessionState(sources);
    DispatchQueuePtr queue = options_.queue;
    if (!queue) {
        ownQueue_ = std::make_shared<AsioDispatchQueue>("qm.accounts");
        queue = ownQueue_;
    }
    const double interval = std::max(0.01, std::chrono::duration<double>(options_.consoleRefreshInterval).count());
    refreshTimer_ = RepeatingTimer::schedule(std::move(queue), interval, [cache = console_, sources] {
        auto state = readConsoleSessionState(sources);
        std::lock_guard lock(cache->mutex);
        cache->state = std::move(state);
    });
}

LinuxAccountService::~LinuxAccountService() {
    refreshTimer_->cancel();
    // Waits for a reading in progress (at most `loginctlTimeout`).
    if (ownQueue_) ownQueue_->shutdown();
}

HostConsoleSessionState LinuxAccountService::currentConsoleSessionState() {
    std::lock_guard lock(console_->mutex);
    return console_->state;
}

HostConsoleSessionState LinuxAccountService::readConsoleSessionState(const ConsoleSources& sources) {
    HostConsoleSessionState state;
    const uid_t uid = ::geteuid();
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || !found || !entry.pw_name || !*entry.pw_name) return state;
    state.username = entry.pw_name;
    state.displayName = displayNameFromGecos(entry.pw_gecos ? entry.pw_gecos : "", state.username);
    state.loginDone = true;

    // Without logind (no state files) nothing tells us of a greeter or a lock: both stay false.
    const auto& runtime = sources.logindRuntimeDirectory;
    if (auto seat = readSmallFile(runtime / "seats" / "seat0")) {
        const auto active = parseKeyValueLines(*seat)["ACTIVE"];
        if (isSessionID(active)) {
            if (auto session = readSmallFile(runtime / "sessions" / active)) {
                state.isLoginWindow = parseKeyValueLines(*session)["CLASS"] == "greeter";
            }
        }
    }
    auto user = readSmallFile(runtime / "users" / std::to_string(uid));
    if (!user) return state;
    auto userValues = parseKeyValueLines(*user);
    std::string sessionID = userValues["DISPLAY"];
    if (sessionID.empty()) {
        std::istringstream sessions(userValues["SESSIONS"]);
        sessions >> sessionID;
    }
    if (!isSessionID(sessionID)) return state;
    // logind keeps the lock hint in memory only; ask it.
    if (auto shown = runBounded({sources.loginctlPath.string(), "--no-pager", "show-session", sessionID, "-p",
                                 "LockedHint"},
                                sources.loginctlTimeout)) {
        state.isLocked = parseKeyValueLines(*shown)["LockedHint"] == "yes";
    }
    return state;
}

PasswordCheckResult LinuxAccountService::verifyPassword(const std::string& username, std::string_view password) {
    const auto started = std::chrono::steady_clock::now();
    auto result = checkWithPam(username, password);
    // Measured from the start, so the work done before the refusal (a password hash for a known
    // user, none for an unknown one) is hidden inside the same fixed time.
    if (!result.isAccepted() && options_.keepPamFailureDelay) {
        std::this_thread::sleep_until(started + options_.failureDelay);
    }
    return result;
}

PasswordCheckResult LinuxAccountService::checkWithPam(const std::string& username, std::string_view password) {
    if (auto refused = precheckCredentials(username, password)) return *refused;
    if (!descriptorsToSpare(descriptorsForACheck)) {
        return PasswordCheckResult::unavailable("too few file descriptors free to check the password");
    }
    const crypto::SecretString secret(password);
    Conversation conversation{secret.c_str()};
    const pam_conv conv{&converse, &conversation};
    pam_handle_t* pam = nullptr;
    int code = ::pam_start(options_.pamService.c_str(), username.c_str(), &conv, &pam);
    if (code != PAM_SUCCESS || !pam) {
        return PasswordCheckResult::unavailable(std::string("PAM cannot start: ") + ::pam_strerror(pam, code));
    }
    {
        // PAM's own failure delay is random around what its modules ask for; verifyPassword puts
        // a fixed one in its place.
        void (*delay)(int, unsigned, void*) = &noFailureDelay;
        const void* item = nullptr;
        static_assert(sizeof item == sizeof delay);
        std::memcpy(&item, &delay, sizeof item);
        ::pam_set_item(pam, PAM_FAIL_DELAY, item);
    }
    constexpr int flags = PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK;
    code = ::pam_authenticate(pam, flags);
    if (code == PAM_SUCCESS) code = ::pam_acct_mgmt(pam, flags);
    auto result = resultOf(pam, code, conversation);
    ::pam_end(pam, code);
    // Whatever else took descriptors meanwhile may have left PAM without: such a refusal says
    // nothing about the password.
    if (result.outcome == PasswordCheckResult::Outcome::rejected && !descriptorsToSpare(descriptorsForACheck)) {
        return PasswordCheckResult::unavailable("ran short of file descriptors during the password check");
    }
    return result;
}

}  // namespace qm
