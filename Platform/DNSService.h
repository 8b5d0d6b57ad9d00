#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

// A TXT record as ordered key/value pairs; each pair goes on the wire as one "key=value" string.
using TXTRecord = std::vector<std::pair<std::string, std::string>>;

// Longest "key=value" string a TXT record can carry (its length is one byte).
inline constexpr std::size_t maxTXTStringLength = 255;

// The TXT record in its wire form: each string prefixed by its length byte. Nothing when a key
// is empty, holds '=' or bytes outside printable ASCII, appears twice, or a string would pass
// 255 bytes. An empty record is the single empty string, as DNS-SD requires.
std::optional<Bytes> encodeTXTRecord(const TXTRecord& record);

struct DNSServiceError {
    // The DNS-SD error codes the Host tells apart.
    static constexpr int unknown = -65537;       // also what the library answers with no responder
    static constexpr int badParam = -65540;
    static constexpr int nameConflict = -65548;

    int code = 0;             // a DNS-SD error code, negative
    std::string description;  // for log lines
    friend bool operator==(const DNSServiceError&, const DNSServiceError&) = default;

    // The errors every advertiser reports alike.
    static DNSServiceError nameConflictError();
    static DNSServiceError badRecordError();
};

// Longest service name DNS-SD carries (one DNS label), in bytes.
inline constexpr std::size_t maxServiceNameLength = 63;
// How many other names an advertisement tries after a name conflict before it reports the conflict.
inline constexpr int maxServiceNameConflicts = 99;

// The name to try after `name` lost a conflict with another service of the same type:
// "Studio" gives "Studio (2)", "Studio (2)" gives "Studio (3)". The result stays within
// maxServiceNameLength, the base cut at a UTF-8 character boundary when needed.
std::string nextServiceName(std::string_view name);

// What is advertised: an empty name lets the responder use the machine's host name.
struct DNSServiceDescription {
    std::string name;
    std::string type;  // "_quillmere-host._tcp"
    std::uint16_t port = 0;
    TXTRecord txtRecord;
    friend bool operator==(const DNSServiceDescription&, const DNSServiceDescription&) = default;
};

// One advertised service. Destroying it withdraws the advertisement.
class DNSServiceRegistration {
public:
    virtual ~DNSServiceRegistration() = default;
    // Replaces the TXT record of the running advertisement.
    virtual void updateTXTRecord(const TXTRecord& record) = 0;
    // Withdraws the advertisement; no handler runs afterwards.
    virtual void cancel() = 0;
};

struct DNSServiceHandlers {
    // The advertisement is published, under this name. When another service already holds the
    // name asked for (now or later), the advertiser moves on to nextServiceName() and reports the
    // name it ends up with here again; only after maxServiceNameConflicts names does a conflict
    // reach onError.
    std::function<void(const std::string& name)> onRegistered;
    // The advertisement failed (no responder, bad record, name conflict, responder gone).
    std::function<void(const DNSServiceError& error)> onError;
};

// Advertises services over DNS-SD. Registering never blocks the caller; the outcome arrives
// through the handlers, on the queue given.
class DNSServiceAdvertiser {
public:
    virtual ~DNSServiceAdvertiser() = default;
    virtual std::shared_ptr<DNSServiceRegistration> registerService(const DNSServiceDescription& description,
                                                                    DispatchQueuePtr queue,
                                                                    DNSServiceHandlers handlers) = 0;
};

// Records what was advertised, for tests. It validates TXT records like the real one and can be
// told to fail, as it would with no responder running.
class RecordingDNSServiceAdvertiser final : public DNSServiceAdvertiser,
                                           public std::enable_shared_from_this<RecordingDNSServiceAdvertiser> {
public:
    struct Event {
        enum class Kind { registered, updated, cancelled, failed, renamed };
        Kind kind;
        DNSServiceDescription description;  // the record as it stood after the event
        friend bool operator==(const Event&, const Event&) = default;
    };

    std::shared_ptr<DNSServiceRegistration> registerService(const DNSServiceDescription& description,
                                                            DispatchQueuePtr queue,
                                                            DNSServiceHandlers handlers) override;

    // Makes every later registration fail with this error (nothing: succeed again).
    void setFailure(std::optional<DNSServiceError> error);
    // Another host on the network advertises `name` (of any type): a registration of that name,
    // made before or after, moves on to the next free name, as it would with a real responder.
    // Names of the advertiser's own live registrations conflict the same way.
    void claimNameElsewhere(const std::string& name);
    // Sends an error to every live registration, as when the responder goes away; they stop.
    void failActiveRegistrations(const DNSServiceError& error);

    std::vector<Event> events() const;
    // The services advertised right now, in registration order.
    std::vector<DNSServiceDescription> activeServices() const;

    class Registration;

private:
    friend class Registration;
    void record(Event::Kind kind, const DNSServiceDescription& description);

    // The first name from `name` on that no one holds, or nothing when there is none.
    std::optional<std::string> freeNameLocked(const std::string& name, const Registration* except) const;

    mutable std::mutex mutex_;
    std::optional<DNSServiceError> failure_;
    std::set<std::string> namesElsewhere_;
    std::vector<Event> events_;
    std::vector<std::weak_ptr<Registration>> registrations_;
};

}  // namespace qm
