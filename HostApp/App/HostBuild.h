#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/LogSink.h"

namespace qm {

class Clock;

// What the running build says of itself: the installed application's version and build, where
// it is installed and which executable runs. Empty fields read as missing.
struct HostBundleInfo {
    std::string shortVersion;  // "0.1.0"
    std::string bundleVersion;  // the build, compared as an exact string
    std::filesystem::path bundlePath;
    std::optional<std::filesystem::path> executablePath;

    // This process: version and build compiled in, the executable from /proc/self/exe and the
    // installation folder above it.
    static HostBundleInfo current();
};

// The version, or "unknown" when there is none.
std::string hostAppVersionString(const HostBundleInfo& bundle = HostBundleInfo::current());
// The build, or the version when there is none. Everything that speaks of "the build" uses it.
std::string hostBundleVersionString(const HostBundleInfo& bundle = HostBundleInfo::current());
// "V<version> build=<build> version=<version> bundle=<path> exec=<path or unknown>".
std::string hostBuildMarkerString(const HostBundleInfo& bundle = HostBundleInfo::current());

// The two flags the installer may start the Host with, each an exact match of one argument.
struct HostLaunchFlags {
    static inline const std::string unattendedUpgradeFlag = "--quillmere-unattended-upgrade";
    static inline const std::string initialInstallFlag = "--quillmere-initial-install";
    bool unattendedUpgrade = false;
    bool initialInstall = false;
    // `arguments` as the process reports them, program path included.
    static HostLaunchFlags parse(const std::vector<std::string>& arguments);
};

// The latest lines of what the Host logged, kept in memory only (newest `limit`). Each entry is
// stamped "HH:mm:ss.SSS" (local time) and a blank. Callable from any thread.
class DiagnosticLogBuffer {
public:
    static constexpr std::int64_t defaultLimit = 400;
    DiagnosticLogBuffer(std::shared_ptr<const Clock> clock, std::int64_t limit = defaultLimit);

    void append(const std::string& message);
    // Gives the newest entry whose text is `message` the text `replacement` (keeping its time);
    // without such an entry, appends `replacement`. A line that reached the log through the sink
    // and is then reported again under its topic is thereby kept once.
    void relabelLatest(const std::string& message, const std::string& replacement);
    // A copy of the entries' texts, oldest first (for copying the logs and for tests).
    std::vector<std::string> lines() const;
    // Every line written through the log sink is appended, without the "[QuillmereHost] " prefix;
    // the verifier lines stay on standard error only.
    // Holds the buffer weakly; the subscription ends with the returned token.
    [[nodiscard]] static LogSink::Subscription attach(LogSink& sink, const std::shared_ptr<DiagnosticLogBuffer>& buffer);

    const std::int64_t limit;

    static std::string timeStamp(double wallTime);

private:
    std::shared_ptr<const Clock> clock_;
    mutable std::mutex lock_;
    std::deque<std::string> entries_;  // lock_
};

}  // namespace qm
