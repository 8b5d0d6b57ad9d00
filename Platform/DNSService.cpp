#include "Platform/DNSService.h"

#include <arpa/inet.h>
#include <dns_sd.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <set>
#include <thread>

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

namespace {

std::string machineHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) return "host";
    return name;
}

DNSServiceError nameConflictError() {
    return DNSServiceError{DNSServiceError::nameConflict, "DNS-SD registration failed: name conflict (" +
                                                              std::to_string(DNSServiceError::nameConflict) + ")"};
}

DNSServiceError badRecordError() {
    return DNSServiceError{DNSServiceError::badParam, "DNS-SD: TXT record rejected (bad key or string over 255 bytes)"};
}

std::string errorName(DNSServiceErrorType code) {
    switch (code) {
        case kDNSServiceErr_Unknown: return "unknown error (is the mDNS responder running?)";
        case kDNSServiceErr_NoMemory: return "out of memory";
        case kDNSServiceErr_BadParam: return "bad parameter";
        case kDNSServiceErr_BadReference: return "bad reference";
        case kDNSServiceErr_BadState: return "bad state";
        case kDNSServiceErr_Unsupported: return "unsupported";
        case kDNSServiceErr_NameConflict: return "name conflict";
        case kDNSServiceErr_Invalid: return "invalid";
        case kDNSServiceErr_Refused: return "refused";
        default: return "error";
    }
}

DNSServiceError libraryError(const char* operation, DNSServiceErrorType code) {
    return DNSServiceError{static_cast<int>(code),
                           std::string("DNS-SD ") + operation + " failed: " + errorName(code) + " (" +
                               std::to_string(code) + ")"};
}

// The library prints a warning about its compatibility layer at first use unless told not to.
void silenceCompatibilityWarning() {
    static std::once_flag once;
    std::call_once(once, [] { ::setenv("AVAHI_COMPAT_NOWARN", "1", 0); });
}

}  // namespace

// The state of one registration, shared by its handle, the worker and blocks on the owner's
// queue. The library's reference is touched on the worker thread only.
struct AvahiRegistrationState {
    DNSServiceDescription description;  // worker thread
    std::mutex mutex;
    DispatchQueuePtr queue;       // guarded by mutex; released once cancelled
    DNSServiceHandlers handlers;  // guarded by mutex
    bool cancelled = false;       // guarded by mutex
    DNSServiceRef ref = nullptr;  // worker thread
    bool failed = false;          // worker thread: the responder gave up on it
    bool renamePending = false;   // worker thread: it lost its name and registers again under the next
    int conflicts = 0;            // worker thread: names given up so far

    // Worker thread. Moves to the next name after a conflict; false once too many were tried.
    bool moveToNextName() {
        if (conflicts >= maxServiceNameConflicts) return false;
        ++conflicts;
        // Without a name of its own the advertisement carries the machine's name.
        description.name = nextServiceName(description.name.empty() ? machineHostName() : description.name);
        return true;
    }

    bool isCancelled() {
        std::lock_guard lock(mutex);
        return cancelled;
    }

    // Hands an outcome to the owner's queue; nothing once cancelled.
    void report(std::function<void(const DNSServiceHandlers&)> block, const std::shared_ptr<AvahiRegistrationState>& self) {
        std::lock_guard lock(mutex);
        if (!queue || cancelled) return;
        queue->async([self, block = std::move(block)] {
            DNSServiceHandlers handlers;
            {
                std::lock_guard lock(self->mutex);
                if (self->cancelled) return;
                handlers = self->handlers;
            }
            block(handlers);
        });
    }

    void reportError(const DNSServiceError& error, const std::shared_ptr<AvahiRegistrationState>& self) {
        report([error](const DNSServiceHandlers& h) { if (h.onError) h.onError(error); }, self);
    }
};

struct AvahiDNSServiceAdvertiser::Worker {
    std::thread thread;
    int wakeFd = -1;
    std::mutex mutex;
    std::deque<std::function<void()>> commands;  // guarded by mutex
    bool stopping = false;                       // guarded by mutex
    std::vector<std::shared_ptr<AvahiRegistrationState>> active;  // worker thread: those with a live ref

    Worker() {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "qm.dnssd");
            run();
        });
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake();
        if (thread.joinable()) thread.join();
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void submit(std::function<void()> command) {
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            commands.push_back(std::move(command));
        }
        wake();
    }

    void wake() const {
        const std::uint64_t one = 1;
        if (wakeFd >= 0) [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
    }

    static void DNSSD_API registerReply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char* name,
                                        const char*, const char*, void* context) {
        auto* state = static_cast<AvahiRegistrationState*>(context);
        auto* worker = state ? currentWorker : nullptr;
        if (!worker) return;
        auto it = std::find_if(worker->active.begin(), worker->active.end(),
                               [state](const auto& s) { return s.get() == state; });
        if (it == worker->active.end()) return;
        auto self = *it;
        if (error != kDNSServiceErr_NoError) {
            // Withdrawn once the library has returned from this callback; a lost name is then
            // registered again under the next one.
            self->failed = true;
            if (error == kDNSServiceErr_NameConflict && self->conflicts < maxServiceNameConflicts) {
                self->renamePending = true;
                return;
            }
            self->reportError(libraryError("registration", error), self);
            return;
        }
        std::string registered = name ? name : "";
        self->report([registered](const DNSServiceHandlers& h) { if (h.onRegistered) h.onRegistered(registered); },
                     self);
    }

    // The worker running on this thread, for the library's callbacks.
    static thread_local Worker* currentWorker;

    void run() {
        currentWorker = this;
        for (;;) {
            std::deque<std::function<void()>> batch;
            bool stop;
            {
                std::lock_guard lock(mutex);
                batch.swap(commands);
                stop = stopping;
            }
            for (auto& command : batch) command();
            if (stop) break;

            std::vector<pollfd> fds;
            fds.push_back({wakeFd, POLLIN, 0});
            std::vector<std::shared_ptr<AvahiRegistrationState>> polled;
            for (auto& state : active) {
                const int fd = DNSServiceRefSockFD(state->ref);
                if (fd < 0) continue;
                fds.push_back({fd, POLLIN, 0});
                polled.push_back(state);
            }
            const int ready = ::poll(fds.data(), fds.size(), -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents) {
                std::uint64_t count;
                [[maybe_unused]] auto got = ::read(wakeFd, &count, sizeof count);
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                auto& state = polled[i - 1];
                if (!state->ref) continue;  // withdrawn by an earlier callback of this round
                const DNSServiceErrorType error = DNSServiceProcessResult(state->ref);
                if (error != kDNSServiceErr_NoError) {
                    // The responder went away: report once and stop watching this reference.
                    state->reportError(libraryError("connection", error), state);
                    withdraw(state);
                } else if (state->failed) {
                    withdraw(state);
                    if (state->renamePending) {
                        state->renamePending = false;
                        if (state->moveToNextName()) doRegister(state);
                    }
                }
            }
        }
        for (auto& state : std::vector(active)) withdraw(state);
        currentWorker = nullptr;
    }

    // Worker thread.
    void withdraw(const std::shared_ptr<AvahiRegistrationState>& state) {
        if (state->ref) {
            DNSServiceRefDeallocate(state->ref);
            state->ref = nullptr;
        }
        std::erase(active, state);
    }

    // Worker thread. Builds the TXT record with the library's own encoder.
    static std::optional<DNSServiceError> withTXTRecord(const TXTRecord& record,
                                                        const std::function<DNSServiceErrorType(uint16_t, const void*)>& use) {
        if (!encodeTXTRecord(record)) return badRecordError();
        TXTRecordRef txt;
        TXTRecordCreate(&txt, 0, nullptr);
        for (const auto& [key, value] : record) {
            const auto error = TXTRecordSetValue(&txt, key.c_str(), static_cast<std::uint8_t>(value.size()), value.data());
            if (error != kDNSServiceErr_NoError) {
                TXTRecordDeallocate(&txt);
                return badRecordError();
            }
        }
        const auto error = use(TXTRecordGetLength(&txt), TXTRecordGetBytesPtr(&txt));
        TXTRecordDeallocate(&txt);
        if (error != kDNSServiceErr_NoError) return libraryError("call", error);
        return std::nullopt;
    }

    void doRegister(const std::shared_ptr<AvahiRegistrationState>& state) {
        if (state->isCancelled()) return;
        const auto& d = state->description;
        DNSServiceRef ref = nullptr;
        DNSServiceErrorType registerError = kDNSServiceErr_NoError;
        std::optional<DNSServiceError> failure;
        // The responder refuses a name it already publishes for someone else at once; one that
        // another host holds is refused later, through registerReply.
        do {
            ref = nullptr;
            registerError = kDNSServiceErr_NoError;
            failure = withTXTRecord(d.txtRecord, [&](uint16_t length, const void* bytes) {
                registerError = DNSServiceRegister(&ref, 0, kDNSServiceInterfaceIndexAny,
                                                   d.name.empty() ? nullptr : d.name.c_str(), d.type.c_str(), nullptr,
                                                   nullptr, htons(d.port), length, bytes, &Worker::registerReply,
                                                   state.get());
                return registerError;
            });
        } while (registerError == kDNSServiceErr_NameConflict && state->moveToNextName());
        if (failure) {
            if (registerError != kDNSServiceErr_NoError) failure = libraryError("registration", registerError);
            state->reportError(*failure, state);
            return;
        }
        state->ref = ref;
        state->failed = false;
        active.push_back(state);
    }

    void doUpdate(const std::shared_ptr<AvahiRegistrationState>& state, const TXTRecord& record) {
        if (state->isCancelled()) return;
        if (!encodeTXTRecord(record)) {
            state->reportError(badRecordError(), state);
            return;
        }
        state->description.txtRecord = record;
        if (!state->ref || state->failed) {
            withdraw(state);
            // An earlier attempt failed (no responder then): try afresh with the new record.
            doRegister(state);
            return;
        }
        auto failure = withTXTRecord(record, [&](uint16_t length, const void* bytes) {
            return DNSServiceUpdateRecord(state->ref, nullptr, 0, length, bytes, 0);
        });
        if (failure) {
            // The responder would not update in place: publish the service again.
            withdraw(state);
            doRegister(state);
        }
    }
};

thread_local AvahiDNSServiceAdvertiser::Worker* AvahiDNSServiceAdvertiser::Worker::currentWorker = nullptr;

namespace {

class AvahiRegistration final : public DNSServiceRegistration {
public:
    AvahiRegistration(std::shared_ptr<AvahiRegistrationState> state, std::weak_ptr<AvahiDNSServiceAdvertiser::Worker> worker)
        : state_(std::move(state)), worker_(std::move(worker)) {}
    ~AvahiRegistration() override { cancel(); }

    void updateTXTRecord(const TXTRecord& record) override {
        auto worker = worker_.lock();
        if (!worker || state_->isCancelled()) return;
        auto state = state_;
        auto* raw = worker.get();
        worker->submit([raw, state, record] { raw->doUpdate(state, record); });
    }

    void cancel() override {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->cancelled) return;
            state_->cancelled = true;
            state_->handlers = {};
            state_->queue.reset();
        }
        if (auto worker = worker_.lock()) {
            auto state = state_;
            auto* raw = worker.get();
            worker->submit([raw, state] { raw->withdraw(state); });
        }
    }

private:
    std::shared_ptr<AvahiRegistrationState> state_;
    std::weak_ptr<AvahiDNSServiceAdvertiser::Worker> worker_;
};

}  // namespace

AvahiDNSServiceAdvertiser::AvahiDNSServiceAdvertiser() {
    silenceCompatibilityWarning();
    worker_ = std::make_shared<Worker>();
}

AvahiDNSServiceAdvertiser::~AvahiDNSServiceAdvertiser() = default;

std::shared_ptr<DNSServiceRegistration> AvahiDNSServiceAdvertiser::registerService(
    const DNSServiceDescription& description, DispatchQueuePtr queue, DNSServiceHandlers handlers) {
    auto state = std::make_shared<AvahiRegistrationState>();
    state->description = description;
    state->queue = std::move(queue);
    state->handlers = std::move(handlers);
    auto* raw = worker_.get();
    worker_->submit([raw, state] { raw->doRegister(state); });
    return std::make_shared<AvahiRegistration>(state, worker_);
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
                postLocked([](const DNSServiceHandlers& h) { if (h.onError) h.onError(badRecordError()); });
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
        if (!failure && !encodeTXTRecord(description.txtRecord)) failure = badRecordError();
        const std::string asked = description.name.empty() ? "simulated-host" : description.name;
        if (!failure) {
            auto name = freeNameLocked(asked, registration.get());
            if (!name) {
                failure = nameConflictError();
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
            if (registration->fail(nameConflictError(), snapshot)) record(Event::Kind::failed, snapshot);
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
