#include "HostApp/App/HostBuild.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Platform/Core/Clock.h"

#ifndef QM_HOST_VERSION
#define QM_HOST_VERSION ""
#endif
#ifndef QM_HOST_BUILD
#define QM_HOST_BUILD ""
#endif

namespace qm {

HostBundleInfo HostBundleInfo::current() {
    HostBundleInfo info;
    info.shortVersion = QM_HOST_VERSION;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
// GCC 12 reports an overlapping copy inside std::string here that cannot happen (a known false positive).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    info.bundleVersion = QM_HOST_BUILD;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && !executable.empty()) {
        info.executablePath = executable;
        // <prefix>/bin/QuillmereHost installed; the build folder when run from it.
        auto folder = executable.parent_path();
        info.bundlePath = folder.filename() == "bin" ? folder.parent_path() : folder;
    }
    return info;
}

std::string hostAppVersionString(const HostBundleInfo& bundle) {
    return bundle.shortVersion.empty() ? "unknown" : bundle.shortVersion;
}

std::string hostBundleVersionString(const HostBundleInfo& bundle) {
    return bundle.bundleVersion.empty() ? hostAppVersionString(bundle) : bundle.bundleVersion;
}

std::string hostBuildMarkerString(const HostBundleInfo& bundle) {
    const auto version = hostAppVersionString(bundle);
    return "V" + version + " build=" + hostBundleVersionString(bundle) + " version=" + version +
           " bundle=" + bundle.bundlePath.string() + " exec=" +
           (bundle.executablePath ? bundle.executablePath->string() : std::string("unknown"));
}

HostLaunchFlags HostLaunchFlags::parse(const std::vector<std::string>& arguments) {
    HostLaunchFlags flags;
    for (const auto& argument : arguments) {
        if (argument == unattendedUpgradeFlag) flags.unattendedUpgrade = true;
        if (argument == initialInstallFlag) flags.initialInstall = true;
    }
    return flags;
}

DiagnosticLogBuffer::DiagnosticLogBuffer(std::shared_ptr<const Clock> clock, std::int64_t limit)
    : limit(std::max<std::int64_t>(limit, 1)), clock_(std::move(clock)) {}

std::string DiagnosticLogBuffer::timeStamp(double wallTime) {
    const double whole = std::floor(wallTime);
    const time_t seconds = static_cast<time_t>(whole);
    int millis = static_cast<int>(std::lround((wallTime - whole) * 1000.0));
    if (millis > 999) millis = 999;
    struct tm local {};
    localtime_r(&seconds, &local);
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

void DiagnosticLogBuffer::append(const std::string& message) {
    // The stamp is taken before the lock: two racing appends may keep their stamps out of order.
    const double now = clock_ ? clock_->wallTime() : SystemClock::shared()->wallTime();
    std::string entry = timeStamp(now) + " " + message;
    std::lock_guard lock(lock_);
    entries_.push_back(std::move(entry));
    while (static_cast<std::int64_t>(entries_.size()) > limit) entries_.pop_front();
}

void DiagnosticLogBuffer::relabelLatest(const std::string& message, const std::string& replacement) {
    {
        std::lock_guard lock(lock_);
        for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
            // An entry is the 12-character stamp, a blank, then the text.
            if (entry->size() == 13 + message.size() && entry->compare(13, std::string::npos, message) == 0) {
                *entry = entry->substr(0, 13) + replacement;
                return;
            }
        }
    }
    append(replacement);
}

std::vector<std::string> DiagnosticLogBuffer::lines() const {
    std::lock_guard lock(lock_);
    return {entries_.begin(), entries_.end()};
}

LogSink::Subscription DiagnosticLogBuffer::attach(LogSink& sink, const std::shared_ptr<DiagnosticLogBuffer>& buffer) {
    std::weak_ptr<DiagnosticLogBuffer> weak = buffer;
    return sink.subscribe([weak](std::string_view line) {
        auto target = weak.lock();
        if (!target) return;
        static constexpr std::string_view prefix = "[QuillmereHost] ";
        if (line.substr(0, prefix.size()) == prefix) line.remove_prefix(prefix.size());
        if (line.substr(0, 10) == "verifier: ") return;
        target->append(std::string(line));
    });
}

}  // namespace qm
