#include "Platform/NetworkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace qm {

namespace {

class PollingPathMonitor final : public PathMonitor, public std::enable_shared_from_this<PollingPathMonitor> {
public:
    PollingPathMonitor(std::function<NetworkPath()> source, double interval)
        : source_(std::move(source)), interval_(interval) {}
    ~PollingPathMonitor() override { cancel(); }

    void start(DispatchQueuePtr queue, std::function<void(const NetworkPath&)> handler) override {
        if (!queue || cancelled_.load()) return;
        std::lock_guard lock(mutex_);
        if (queue_) return;
        queue_ = queue;
        handler_ = std::move(handler);
        std::weak_ptr<PollingPathMonitor> weak = weak_from_this();
        queue->async([weak] {
            if (auto self = weak.lock()) self->poll(true);
        });
        timer_ = RepeatingTimer::schedule(queue, interval_, [weak] {
            if (auto self = weak.lock()) self->poll(false);
        });
    }

    void cancel() override {
        if (cancelled_.exchange(true)) return;
        // The queue, the timer (which holds the queue too) and the handler are let go only after
        // the lock: dropping the last reference to the queue joins its thread, and a poll running
        // there takes this lock to read the handler.
        DispatchQueuePtr queue;
        std::shared_ptr<RepeatingTimer> timer;
        std::function<void(const NetworkPath&)> handler;
        {
            std::lock_guard lock(mutex_);
            queue = std::move(queue_);
            timer = std::move(timer_);
            handler = std::move(handler_);
            queue_.reset();
            timer_.reset();
            handler_ = nullptr;
        }
        if (timer) timer->cancel();
    }

private:
    // On the queue.
    void poll(bool first) {
        if (cancelled_.load()) return;
        NetworkPath path = source_ ? source_() : NetworkPath{};
        if (!first && path == last_) return;
        last_ = path;
        std::function<void(const NetworkPath&)> handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (handler && !cancelled_.load()) handler(path);
    }

    std::function<NetworkPath()> source_;
    double interval_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    DispatchQueuePtr queue_;
    std::function<void(const NetworkPath&)> handler_;
    std::shared_ptr<RepeatingTimer> timer_;
    NetworkPath last_;  // on the queue
};

}  // namespace

std::vector<InterfaceAddress> currentInterfaceAddresses() {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return result;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !entry->ifa_name) continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        InterfaceAddress item;
        item.interfaceName = entry->ifa_name;
        // IPv4 aliases are listed under labels such as "eth0:1"; the device is what matters.
        if (auto colon = item.interfaceName.find(':'); colon != std::string::npos) item.interfaceName.resize(colon);
        item.isIPv6 = family == AF_INET6;
        item.isUp = (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_RUNNING);
        item.isLoopback = entry->ifa_flags & IFF_LOOPBACK;
        char text[INET6_ADDRSTRLEN] = {};
        if (family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (!::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
            const std::uint32_t host = ntohl(in->sin_addr.s_addr);
            item.isLinkLocal = (host >> 16) == 0xA9FE;  // 169.254.0.0/16
            if ((host >> 24) == 127) item.isLoopback = true;
        } else {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (!::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) continue;
            item.isLinkLocal = IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr);
            if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) item.isLoopback = true;
        }
        item.address = text;
        result.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return result;
}

NetworkPath networkPathFromInterfaces(const std::vector<InterfaceAddress>& addresses) {
    NetworkPath path;
    for (const auto& address : addresses) {
        if (!address.isUp || address.isLoopback || address.interfaceName.empty()) continue;
        path.interfaceNames.push_back(address.interfaceName);
    }
    std::sort(path.interfaceNames.begin(), path.interfaceNames.end());
    path.interfaceNames.erase(std::unique(path.interfaceNames.begin(), path.interfaceNames.end()),
                              path.interfaceNames.end());
    path.satisfied = !path.interfaceNames.empty();
    return path;
}

std::shared_ptr<PathMonitor> makePollingPathMonitor(std::function<NetworkPath()> source, double interval) {
    return std::make_shared<PollingPathMonitor>(std::move(source), interval);
}

}  // namespace qm
