#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// The group a remote address counts in for the Host's per-address shares: an IPv4 address (also
// one mapped into IPv6) is its own group; an IPv6 address counts with every address of its /64
// prefix ("2001:db8:1:2::/64"), since one machine may take as many addresses of its network as it
// likes. Link-local IPv6 addresses (fe80::/10) share one prefix over the whole link, so each of
// them is its own group. Anything that does not parse is its own group too.
std::string admissionGroup(const std::string& address);

// Who keeps a place among the connections that have not signed in yet (control, video and file
// channels before their token). Each group holds at most `perGroup` of them and all groups at most
// `total`. When every place is taken, a newcomer whose group holds fewer than the group holding
// the most takes the place of that group's oldest connection that may be closed (one whose
// password check is not running), so a Viewer from an address that holds none is always let in,
// however many others wait. Pure: the caller closes the one chosen.
struct PendingAdmission {
    struct Limits {
        std::size_t total = 64;
        std::size_t perGroup = 8;
    };
    struct Pending {
        std::uint64_t order = 0;  // admission order: lower is older
        std::string group;
        bool evictable = true;
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
