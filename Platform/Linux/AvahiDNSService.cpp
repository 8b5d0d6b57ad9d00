#include "Platform/Linux/AvahiDNSService.h"

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
#include <mutex>
#include <set>
#include <thread>

namespace qm {

namespace {

std::string machineHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) return "host";
    return name;
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
        if (!encodeTXTRecord(record)) return DNSServiceError::badRecordError();
        TXTRecordRef txt;
        TXTRecordCreate(&txt, 0, nullptr);
        for (const auto& [key, value] : record) {
            const auto error = TXTRecordSetValue(&txt, key.c_str(), static_cast<std::uint8_t>(value.size()), value.data());
            if (error != kDNSServiceErr_NoError) {
                TXTRecordDeallocate(&txt);
                return DNSServiceError::badRecordError();
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
            state->reportError(DNSServiceError::badRecordError(), state);
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

}  // namespace qm
