#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace qm {

// The Host's side of the file protocol with the system updater, a separate privileged service:
// the Host writes request and cancel files into the updater's request folder, and reads the one
// status file the updater rewrites as it works. The Host keeps no state of its own; every call
// reads the files afresh, and the Host never deletes any of them.
class HostOnlineUpdateRequest {
public:
    HostOnlineUpdateRequest() = delete;

    // Where the files live. The system places by default; tests use a folder of their own.
    struct Locations {
        std::filesystem::path requestDirectoryURL;
        std::filesystem::path statusURL;
        std::filesystem::path requestServicePlistURL;  // the updater's presence
        static const Locations& system();
        // The same layout below `root` ("<root>/Library/...").
        static Locations under(const std::filesystem::path& root);
    };

    struct Request {
        std::string identifier;  // a random UUID, lower-case
        std::string targetVersion;
        std::string targetBuild;
        friend bool operator==(const Request&, const Request&) = default;
    };

    struct Status {
        // In declaration order: those before `installing` may still be cancelled.
        enum class State { queued, checking, downloading, verifying, installing, restarting, completed, noUpdate, deferred, cancelled, failed };
        static std::optional<State> stateFromRawValue(const std::string& raw);
        static std::string rawValue(State state);
        // The status file's contents: a dictionary with at least "requestID" and a known "state".
        // Its structure is checked before anything is built; a string holding a NUL is refused.
        static std::optional<Status> decode(std::span<const std::uint8_t> data);

        std::string requestIdentifier;
        State state = State::queued;
        std::string targetVersion;
        std::string targetBuild;
        std::string installedVersion;
        std::string installedBuild;
        std::string failureReason;
    };

    class RequestError : public std::runtime_error {
    public:
        enum class Kind { unavailable, failed };
        explicit RequestError(Kind kind)
            : std::runtime_error(kind == Kind::unavailable ? "updater unavailable" : "request not written"), kind(kind) {}
        Kind kind;
    };

    // The status file is small; anything larger is not read.
    static constexpr std::uintmax_t maximumStatusBytes = 1'048'576;

    static Request requestImmediateCheck(const std::string& targetVersion, const std::string& targetBuild,
                                         const Locations& locations = Locations::system());
    static std::optional<Status> status(const Request& request, const Locations& locations = Locations::system());
    static void cancel(const Request& request, const Locations& locations = Locations::system());
};

}  // namespace qm
