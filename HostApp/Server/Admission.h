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

// How many sessions may be signed in, over all and from one address group, for a Host that may
// have `descriptorLimit` descriptors open: what is left once the Host's own use and the
// connections not signed in are set aside, at a few descriptors per session (its connection, a
// file channel, a file it sends or receives), so the Host never runs short of descriptors for a
// password check, a delivery or a new connection. One group holds a quarter of them. Never less
// than one Viewer's control and video sessions.
struct SessionBound {
    static constexpr std::size_t reservedDescriptors = 192;
    static constexpr std::size_t descriptorsPerSession = 3;
    static constexpr std::size_t minimum = 2;

    std::size_t total = minimum;
    std::size_t perGroup = minimum;

    static SessionBound forDescriptorLimit(std::size_t descriptorLimit, std::size_t connectionsNotSignedIn);
    // The process's soft RLIMIT_NOFILE (a large number when it has none).
    static std::size_t currentDescriptorLimit();
};

}  // namespace qm
