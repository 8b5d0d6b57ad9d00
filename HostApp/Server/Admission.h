#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qm {

// The group a remote address counts in for the Host's per-address shares: an IPv4 address (also
// one mapped into IPv6) is its own group; an IPv6 address counts with every address of its /64
// prefix ("2001:db8:1:2::/64"), since one machine may take as many addresses of its network as it
// likes. Link-local IPv6 addresses (fe80::/10) share one prefix over the whole link, so each of
// them is its own group. Anything that does not parse is its own group too.
std::string admissionGroup(const std::string& address);

// How many connections of each address group were closed before signing in (closed to make
// room, timed out, refused or gone), counted while the group keeps having them closed: a group
// is forgotten `memory` seconds after its last one. A group that connects and goes again and
// again is told apart from one that connected once and waits, whatever it holds at the moment.
// The table is bounded: beyond `maxGroups`, the group whose last closure is the oldest goes first.
// Each closure and each look-up costs a constant time. Owned by the server queue; times are
// uptime nanoseconds.
class ClosedBeforeSignIn {
public:
    struct Limits {
        std::size_t maxGroups = 4096;
        double memory = 600.0;
    };
    ClosedBeforeSignIn() : ClosedBeforeSignIn(Limits{}) {}
    explicit ClosedBeforeSignIn(Limits limits);
    // The index views names held in the list's nodes: a copy would view the original's.
    ClosedBeforeSignIn(const ClosedBeforeSignIn&) = delete;
    ClosedBeforeSignIn& operator=(const ClosedBeforeSignIn&) = delete;

    void record(const std::string& group, std::uint64_t nowNs);
    std::uint32_t count(const std::string& group, std::uint64_t nowNs) const;
    std::size_t groupCount() const { return groups_.size(); }

private:
    struct Group {
        std::string name;
        std::uint32_t closed = 0;
        std::uint64_t lastNs = 0;
    };
    Limits limits_;
    std::uint64_t memoryNs_;
    // Most recent closure first, so the forgotten are always at the back.
    std::list<Group> byLastClosure_;
    std::unordered_map<std::string_view, std::list<Group>::iterator> groups_;  // keys view the names above
};

// Who keeps a place among the connections that have not signed in yet (control, video and file
// channels before their token). Each group holds at most `perGroup` of them and all groups at most
// `total`. When every place is taken, a newcomer whose group holds fewer than the group holding
// the most takes the place of a connection that may be closed (one whose password check is not
// running) of a group holding the most: of those groups, the one that had the most connections
// closed before signing in lately (see ClosedBeforeSignIn), and its oldest; between groups that
// had as many closed, the oldest. So a Viewer from an address that holds none is always let in,
// however many others wait, and a flood that keeps connecting and going closes its own
// connections rather than one a Viewer opened once and holds while its user types. Pure: the
// caller closes the one chosen.
struct PendingAdmission {
    struct Limits {
        std::size_t total = 64;
        std::size_t perGroup = 8;
    };
    struct Pending {
        std::uint64_t order = 0;  // admission order: lower is older
        std::string group;
        bool evictable = true;
        std::uint32_t closedLately = 0;  // its group's connections closed before signing in lately
    };
    struct Decision {
        bool admit = false;
        std::optional<std::uint64_t> evict;  // the order of the connection to close first
    };
    static Decision decide(const std::vector<Pending>& pending, const std::string& newcomerGroup, Limits limits);
};

// How many descriptors signed-in sessions may hold, over all and from one address group, for a
// Host that may have `descriptorLimit` descriptors open: what is left once the Host's own use (its
// X connection, password checks, listeners and accepts, capture, audio, the send queue's walk,
// staging and listings on their way) and the connections not signed in are set aside. Each
// session counts what it can hold at most, so the Host never runs short of descriptors for its
// own work whatever Viewers send: a video session its connection; a control session its
// connection and file channel, its batch folders and the files of its unfinished batches (the
// file service's per-Viewer bounds) and the destination folders its batches' conflict questions
// keep open. One group holds a quarter of them. Never less than one Viewer's control and video
// sessions.
struct SessionBound {
    static constexpr std::size_t reservedDescriptors = 256;
    static constexpr std::size_t descriptorsPerVideoSession = 1;
    static constexpr std::size_t stagedFoldersPerViewer = 24;
    static constexpr std::size_t unfinishedFilesPerViewer = 8;
    static constexpr std::size_t conflictFoldersPerViewer = 8;
    static constexpr std::size_t descriptorsPerControlSession =
        2 + stagedFoldersPerViewer + unfinishedFilesPerViewer + conflictFoldersPerViewer;
    static constexpr std::size_t descriptorsPerViewer = descriptorsPerControlSession + descriptorsPerVideoSession;

    std::size_t descriptors = descriptorsPerViewer;  // for every signed-in session together
    std::size_t perGroup = descriptorsPerViewer;     // for those of one address group

    static SessionBound forDescriptorLimit(std::size_t descriptorLimit, std::size_t connectionsNotSignedIn);
    static constexpr std::size_t descriptorsOf(bool controlSession) {
        return controlSession ? descriptorsPerControlSession : descriptorsPerVideoSession;
    }
    // Whole Viewers (a control and a video session each) that fit, as the Host reports the bound.
    std::size_t viewers() const { return descriptors / descriptorsPerViewer; }
    std::size_t viewersPerGroup() const { return perGroup / descriptorsPerViewer; }
    // The process's soft RLIMIT_NOFILE (a large number when it has none).
    static std::size_t currentDescriptorLimit();
};

}  // namespace qm
