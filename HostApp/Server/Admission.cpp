#include "HostApp/Server/Admission.h"

#include <arpa/inet.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>

#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

// What a Viewer's session can hold is what the file service lets one peer hold.
static_assert(SessionBound::stagedFoldersPerViewer == FileTransferService::maxStagedBatchesPerPeer);
static_assert(SessionBound::unfinishedFilesPerViewer == FileTransferService::maxInboundBatchesPerPeer);

std::string admissionGroup(const std::string& address) {
    std::string host = address.substr(0, address.find('%'));  // a zone says nothing of the machine
    if (host.find(':') == std::string::npos) return host;
    std::array<unsigned char, 16> bytes{};
    if (::inet_pton(AF_INET6, host.c_str(), bytes.data()) != 1) return address;
    const bool v4Mapped = std::all_of(bytes.begin(), bytes.begin() + 10, [](unsigned char b) { return b == 0; }) &&
                          bytes[10] == 0xff && bytes[11] == 0xff;
    char text[INET6_ADDRSTRLEN] = {};
    if (v4Mapped) {
        if (!::inet_ntop(AF_INET, bytes.data() + 12, text, sizeof text)) return address;
        return text;
    }
    const bool linkLocal = bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
    if (linkLocal) {
        if (!::inet_ntop(AF_INET6, bytes.data(), text, sizeof text)) return address;
        return text;
    }
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    if (!::inet_ntop(AF_INET6, bytes.data(), text, sizeof text)) return address;
    return std::string(text) + "/64";
}

ClosedBeforeSignIn::ClosedBeforeSignIn(Limits limits)
    : limits_(limits), memoryNs_(static_cast<std::uint64_t>(std::llround(limits.memory * 1e9))) {}

void ClosedBeforeSignIn::record(const std::string& group, std::uint64_t nowNs) {
    while (!byLastClosure_.empty() && nowNs >= byLastClosure_.back().lastNs + memoryNs_) {
        groups_.erase(byLastClosure_.back().name);
        byLastClosure_.pop_back();
    }
    if (auto found = groups_.find(group); found != groups_.end()) {
        auto entry = found->second;
        if (entry->closed < std::numeric_limits<std::uint32_t>::max()) ++entry->closed;
        entry->lastNs = nowNs;
        byLastClosure_.splice(byLastClosure_.begin(), byLastClosure_, entry);
        return;
    }
    if (groups_.size() >= limits_.maxGroups && !byLastClosure_.empty()) {
        groups_.erase(byLastClosure_.back().name);
        byLastClosure_.pop_back();
    }
    byLastClosure_.push_front(Group{group, 1, nowNs});
    groups_.emplace(byLastClosure_.front().name, byLastClosure_.begin());
}

std::uint32_t ClosedBeforeSignIn::count(const std::string& group, std::uint64_t nowNs) const {
    auto found = groups_.find(group);
    if (found == groups_.end() || nowNs >= found->second->lastNs + memoryNs_) return 0;
    return found->second->closed;
}

PendingAdmission::Decision PendingAdmission::decide(const std::vector<Pending>& pending,
                                                    const std::string& newcomerGroup, Limits limits) {
    std::map<std::string, std::size_t> held;
    for (const auto& entry : pending) ++held[entry.group];
    const std::size_t ownCount = held.contains(newcomerGroup) ? held[newcomerGroup] : 0;
    if (ownCount >= limits.perGroup) return {};
    if (pending.size() < limits.total) return {true, std::nullopt};

    // Full: a closable connection of a group holding the most, if that group holds more than the
    // newcomer's (a group holding none always gets a place this way). Between groups holding as
    // many, the one that had more connections closed lately loses first; then the oldest.
    const Pending* victim = nullptr;
    std::size_t victimGroupCount = 0;
    for (const auto& entry : pending) {
        if (!entry.evictable || entry.group == newcomerGroup) continue;
        const std::size_t count = held[entry.group];
        if (count <= ownCount) continue;
        if (victim && count < victimGroupCount) continue;
        if (victim && count == victimGroupCount) {
            if (entry.closedLately < victim->closedLately) continue;
            if (entry.closedLately == victim->closedLately && entry.order > victim->order) continue;
        }
        victim = &entry;
        victimGroupCount = count;
    }
    if (!victim) return {};
    return {true, victim->order};
}

SessionBound SessionBound::forDescriptorLimit(std::size_t descriptorLimit, std::size_t connectionsNotSignedIn) {
    SessionBound bound;
    const std::size_t setAside = reservedDescriptors + connectionsNotSignedIn;
    if (descriptorLimit > setAside) bound.descriptors = std::max(descriptorsPerViewer, descriptorLimit - setAside);
    bound.perGroup = std::max(descriptorsPerViewer, bound.descriptors / 4);
    return bound;
}

std::size_t SessionBound::currentDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > std::numeric_limits<std::size_t>::max()) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace qm
