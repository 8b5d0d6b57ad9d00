#include "Platform/AccountService.h"

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

#include "Platform/AsioDispatchQueue.h"
#include "Platform/Crypto.h"
#include "Platform/Process.h"

namespace qm {

// --- shared checks ---------------------------------------------------------------------------

std::optional<PasswordCheckResult> precheckCredentials(std::string_view username, std::string_view password) {
    if (username.empty()) return PasswordCheckResult::rejected("empty user name");
    if (username.find('\0') != std::string_view::npos) return PasswordCheckResult::rejected("bad user name");
    if (password.empty()) return PasswordCheckResult::rejected("empty password");
    if (password.find('\0') != std::string_view::npos) return PasswordCheckResult::rejected("bad password");
    return std::nullopt;
}

std::string displayNameFromGecos(std::string_view gecos, std::string_view username) {
    const auto name = gecos.substr(0, gecos.find(','));
    return std::string(name.empty() ? username : name);
}

std::map<std::string, std::string> parseKeyValueLines(std::string_view text) {
    std::map<std::string, std::string> values;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const auto line = text.substr(start, end - start);
        start = end + 1;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0 || line.front() == '#') continue;
        values[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
    }
    return values;
}

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
    return result;
}

// --- ScriptedAccountService ------------------------------------------------------------------

HostConsoleSessionState ScriptedAccountService::currentConsoleSessionState() {
    std::lock_guard lock(mutex_);
    return console_;
}

PasswordCheckResult ScriptedAccountService::verifyPassword(const std::string& username, std::string_view password) {
    std::unique_lock lock(mutex_);
    ++calls_;
    if (toHold_ > 0) {
        --toHold_;
        ++waiting_;
        const auto generation = releaseGeneration_;
        released_.wait(lock, [&] { return releaseGeneration_ != generation; });
        --waiting_;
    }
    if (unavailable_) return PasswordCheckResult::unavailable(*unavailable_);
    if (auto refused = precheckCredentials(username, password)) return *refused;
    // An unknown user is compared against a password no one can send (it holds a NUL), so both
    // refusals take the same path and give the same answer.
    static const std::string noPassword("\0", 1);
    auto it = passwords_.find(username);
    const bool known = it != passwords_.end();
    const bool matches = crypto::constantTimeEqual(known ? it->second : noPassword, password);
    if (!known || !matches) return PasswordCheckResult::rejected("wrong user name or password");
    return PasswordCheckResult::accepted();
}

void ScriptedAccountService::setConsoleSessionState(HostConsoleSessionState state) {
    std::lock_guard lock(mutex_);
    console_ = std::move(state);
}

void ScriptedAccountService::setPassword(const std::string& username, std::string_view password) {
    std::lock_guard lock(mutex_);
    passwords_[username] = std::string(password);
}

void ScriptedAccountService::removeUser(const std::string& username) {
    std::lock_guard lock(mutex_);
    passwords_.erase(username);
}

void ScriptedAccountService::setUnavailable(std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    unavailable_ = std::move(reason);
}

void ScriptedAccountService::holdNextVerifications(std::size_t count) {
    std::lock_guard lock(mutex_);
    toHold_ = count;
}

void ScriptedAccountService::releaseHeldVerifications() {
    {
        std::lock_guard lock(mutex_);
        toHold_ = 0;
        ++releaseGeneration_;
    }
    released_.notify_all();
}

std::size_t ScriptedAccountService::waitingVerifications() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

std::size_t ScriptedAccountService::verificationCount() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

}  // namespace qm
