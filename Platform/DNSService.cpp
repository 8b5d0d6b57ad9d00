#include "Platform/DNSService.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>

namespace qm {

std::optional<Bytes> encodeTXTRecord(const TXTRecord& record) {
    Bytes out;
    std::set<std::string> seen;
    for (const auto& [key, value] : record) {
        if (key.empty() || !seen.insert(key).second) return std::nullopt;
        for (unsigned char c : key) {
            if (c < 0x20 || c > 0x7E || c == '=') return std::nullopt;
        }
        const std::size_t length = key.size() + 1 + value.size();
        if (length > maxTXTStringLength) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(length));
        out.insert(out.end(), key.begin(), key.end());
        out.push_back('=');
        out.insert(out.end(), value.begin(), value.end());
    }
    if (out.empty()) out.push_back(0);
    if (out.size() > 65535) return std::nullopt;
    return out;
}

std::string nextServiceName(std::string_view name) {
    std::string_view base = name;
    long number = 1;
    // A name that already ends in " (N)" counts on from N.
    if (base.size() >= 4 && base.back() == ')') {
        const auto open = base.rfind(" (");
        if (open != std::string_view::npos && open + 2 < base.size() - 1 && base.size() - 1 - (open + 2) <= 4) {
            const auto digits = base.substr(open + 2, base.size() - 1 - (open + 2));
            long value = 0;
            bool allDigits = digits.front() != '0';
            for (char c : digits) {
                allDigits = allDigits && c >= '0' && c <= '9';
                value = value * 10 + (c - '0');
            }
            if (allDigits && value >= 2) {
                number = value;
                base = base.substr(0, open);
            }
        }
    }
    const std::string suffix = " (" + std::to_string(number + 1) + ")";
    if (base.size() + suffix.size() > maxServiceNameLength) {
        std::size_t keep = maxServiceNameLength - suffix.size();
        // Never end inside a UTF-8 sequence: back up over continuation bytes to a lead byte.
        while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
        base = base.substr(0, keep);
    }
    return std::string(base) + suffix;
}

DNSServiceError DNSServiceError::nameConflictError() {
    return DNSServiceError{DNSServiceError::nameConflict, "DNS-SD registration failed: name conflict (" +
                                                              std::to_string(DNSServiceError::nameConflict) + ")"};
}

DNSServiceError DNSServiceError::badRecordError() {
    return DNSServiceError{DNSServiceError::badParam, "DNS-SD: TXT record rejected (bad key or string over 255 bytes)"};
}

// MARK: recording simulation

class RecordingDNSServiceAdvertiser::Registration final : public DNSServiceRegistration,
                                                          public std::enable_shared_from_this<Registration> {
public:
    Registration(std::weak_ptr<RecordingDNSServiceAdvertiser> owner, DNSServiceDescription description,
                 DispatchQueuePtr queue, DNSServiceHandlers handlers)
        : owner_(std::move(owner)), description_(std::move(description)), queue_(std::move(queue)),
          handlers_(std::move(handlers)) {}
    ~Registration() override { cancel(); }

    void updateTXTRecord(const TXTRecord& record) override {
        auto owner = owner_.lock();
        DNSServiceDescription snapshot;
        {
            std::lock_guard lock(mutex_);
            if (!active_ || !owner) return;
            if (!encodeTXTRecord(record)) {
                postLocked([](const DNSServiceHandlers& h) { if (h.onError) h.onError(DNSServiceError::badRecordError()); });
                return;
            }
            description_.txtRecord = record;
            snapshot = description_;
        }
        owner->record(Event::Kind::updated, snapshot);
    }

    void cancel() override {
        auto owner = owner_.lock();
        DNSServiceDescription snapshot;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            handlers_ = {};
            queue_.reset();
            const bool wasActive = active_;
            active_ = false;
            if (!wasActive || !owner) return;
            snapshot = description_;
        }
        owner->record(Event::Kind::cancelled, snapshot);
    }

    // Called by the advertiser, with the name it was given when its own was taken.
    void begin(const std::optional<DNSServiceError>& failure, const std::optional<std::string>& renamed) {
        std::lock_guard lock(mutex_);
        if (failure) {
            postLocked([error = *failure](const DNSServiceHandlers& h) { if (h.onError) h.onError(error); });
            return;
        }
        if (renamed) description_.name = *renamed;
        active_ = true;
        const std::string name = description_.name.empty() ? "simulated-host" : description_.name;
        postLocked([name](const DNSServiceHandlers& h) { if (h.onRegistered) h.onRegistered(name); });
    }

    // Another host took this registration's name: it moves to `name`. False when not advertised.
    bool rename(const std::string& name, DNSServiceDescription& snapshot) {
        std::lock_guard lock(mutex_);
        if (!active_) return false;
        description_.name = name;
        snapshot = description_;
        postLocked([name](const DNSServiceHandlers& h) { if (h.onRegistered) h.onRegistered(name); });
        return true;
    }

    // The responder went away; false when this registration was not advertised.
    bool fail(const DNSServiceError& error, DNSServiceDescription& snapshot) {
        std::lock_guard lock(mutex_);
        if (!active_) return false;
        active_ = false;
        snapshot = description_;
        postLocked([error](const DNSServiceHandlers& h) { if (h.onError) h.onError(error); });
        return true;
    }

    std::optional<DNSServiceDescription> activeDescription() const {
        std::lock_guard lock(mutex_);
        if (!active_) return std::nullopt;
        return description_;
    }

private:
    void postLocked(std::function<void(const DNSServiceHandlers&)> block) {
        if (cancelled_ || !queue_) return;
        queue_->async([weak = weak_from_this(), block = std::move(block)] {
            auto self = weak.lock();
            if (!self) return;
            DNSServiceHandlers handlers;
            {
                std::lock_guard lock(self->mutex_);
                if (self->cancelled_) return;
                handlers = self->handlers_;
            }
            block(handlers);
        });
    }

    std::weak_ptr<RecordingDNSServiceAdvertiser> owner_;
    mutable std::mutex mutex_;
    DNSServiceDescription description_;
    DispatchQueuePtr queue_;
    DNSServiceHandlers handlers_;
    bool active_ = false;
    bool cancelled_ = false;
};

std::shared_ptr<DNSServiceRegistration> RecordingDNSServiceAdvertiser::registerService(
    const DNSServiceDescription& description, DispatchQueuePtr queue, DNSServiceHandlers handlers) {
    auto registration = std::make_shared<Registration>(weak_from_this(), description, std::move(queue),
                                                       std::move(handlers));
    std::optional<DNSServiceError> failure;
    std::optional<std::string> renamed;
    {
        std::lock_guard lock(mutex_);
        failure = failure_;
        if (!failure && !encodeTXTRecord(description.txtRecord)) failure = DNSServiceError::badRecordError();
        const std::string asked = description.name.empty() ? "simulated-host" : description.name;
        if (!failure) {
            auto name = freeNameLocked(asked, registration.get());
            if (!name) {
                failure = DNSServiceError::nameConflictError();
            } else if (*name != asked) {
                renamed = *name;
            }
        }
        std::erase_if(registrations_, [](const auto& weak) { return weak.expired(); });
        registrations_.push_back(registration);
        auto recorded = description;
        if (renamed) recorded.name = *renamed;
        events_.push_back({failure ? Event::Kind::failed : Event::Kind::registered, recorded});
    }
    registration->begin(failure, renamed);
    return registration;
}

std::optional<std::string> RecordingDNSServiceAdvertiser::freeNameLocked(const std::string& name,
                                                                        const Registration* except) const {
    std::set<std::string> taken = namesElsewhere_;
    for (const auto& weak : registrations_) {
        auto registration = weak.lock();
        if (!registration || registration.get() == except) continue;
        if (auto active = registration->activeDescription()) {
            taken.insert(active->name.empty() ? "simulated-host" : active->name);
        }
    }
    std::string candidate = name;
    for (int conflicts = 0; taken.count(candidate); ++conflicts) {
        if (conflicts == maxServiceNameConflicts) return std::nullopt;
        candidate = nextServiceName(candidate);
    }
    return candidate;
}

void RecordingDNSServiceAdvertiser::claimNameElsewhere(const std::string& name) {
    std::vector<std::pair<std::shared_ptr<Registration>, std::string>> moved;
    {
        std::lock_guard lock(mutex_);
        namesElsewhere_.insert(name);
        for (auto& weak : registrations_) {
            auto registration = weak.lock();
            if (!registration) continue;
            auto active = registration->activeDescription();
            if (!active || (active->name.empty() ? "simulated-host" : active->name) != name) continue;
            moved.emplace_back(registration, freeNameLocked(name, registration.get()).value_or(""));
        }
    }
    for (auto& [registration, next] : moved) {
        DNSServiceDescription snapshot;
        if (next.empty()) {
            if (registration->fail(DNSServiceError::nameConflictError(), snapshot)) record(Event::Kind::failed, snapshot);
        } else if (registration->rename(next, snapshot)) {
            record(Event::Kind::renamed, snapshot);
        }
    }
}

void RecordingDNSServiceAdvertiser::setFailure(std::optional<DNSServiceError> error) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(error);
}

void RecordingDNSServiceAdvertiser::failActiveRegistrations(const DNSServiceError& error) {
    std::vector<std::shared_ptr<Registration>> live;
    {
        std::lock_guard lock(mutex_);
        for (auto& weak : registrations_) {
            if (auto registration = weak.lock()) live.push_back(std::move(registration));
        }
    }
    for (auto& registration : live) {
        DNSServiceDescription snapshot;
        if (registration->fail(error, snapshot)) record(Event::Kind::failed, snapshot);
    }
}

void RecordingDNSServiceAdvertiser::record(Event::Kind kind, const DNSServiceDescription& description) {
    std::lock_guard lock(mutex_);
    events_.push_back({kind, description});
}

std::vector<RecordingDNSServiceAdvertiser::Event> RecordingDNSServiceAdvertiser::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<DNSServiceDescription> RecordingDNSServiceAdvertiser::activeServices() const {
    std::vector<std::shared_ptr<Registration>> live;
    {
        std::lock_guard lock(mutex_);
        for (auto& weak : registrations_) {
            if (auto registration = weak.lock()) live.push_back(std::move(registration));
        }
    }
    std::vector<DNSServiceDescription> result;
    for (auto& registration : live) {
        if (auto description = registration->activeDescription()) result.push_back(std::move(*description));
    }
    return result;
}

}  // namespace qm
