#include "Platform/Linux/SocketPortProber.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace qm {
namespace {

// The connect is watched in slices this long, so a cancel ends the thread quickly.
constexpr int pollSliceMs = 50;
// An attempt nobody cancels gives up after this long (the system's own limit is minutes).
constexpr int attemptLimitMs = 60'000;

class SocketProbeConnection final : public ProbeConnection {
public:
    SocketProbeConnection(std::string host, std::uint16_t port) : host_(std::move(host)), port_(port) {}
    ~SocketProbeConnection() override {
        shared_->cancelled = true;
        if (thread_.joinable()) thread_.join();
    }

    void setStateHandler(StateHandler handler) override {
        std::lock_guard lock(shared_->mutex);
        shared_->handler = std::move(handler);
    }

    void start(DispatchQueuePtr queue) override {
        if (thread_.joinable()) return;
        {
            std::lock_guard lock(shared_->mutex);
            shared_->queue = queue;
        }
        thread_ = std::thread([shared = shared_, host = host_, port = port_] { attempt(shared, host, port); });
    }

    void cancel() override {
        if (shared_->cancelled.exchange(true)) return;
        deliver(shared_, State::cancelled, {});
    }

private:
    struct Shared {
        std::mutex mutex;
        StateHandler handler;
        DispatchQueuePtr queue;
        std::atomic<bool> cancelled{false};
    };

    // Posts the state to the queue; the handler is read there, so a handler removed meanwhile
    // is not called.
    static void deliver(const std::shared_ptr<Shared>& shared, State state, const std::string& error) {
        DispatchQueuePtr queue;
        {
            std::lock_guard lock(shared->mutex);
            queue = shared->queue;
        }
        if (!queue) return;
        queue->async([shared, state, error] {
            StateHandler handler;
            {
                std::lock_guard lock(shared->mutex);
                handler = shared->handler;
            }
            if (state != State::cancelled && shared->cancelled) return;
            if (handler) handler(state, error);
        });
    }

    static void attempt(const std::shared_ptr<Shared>& shared, const std::string& host, std::uint16_t port) {
        deliver(shared, State::preparing, {});
        sockaddr_storage address{};
        socklen_t length = 0;
        int family = AF_INET;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            length = sizeof *v4;
        } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
            family = AF_INET6;
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            length = sizeof *v6;
        } else {
            deliver(shared, State::failed, "not a numeric address: " + host);
            return;
        }
        const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            deliver(shared, State::failed, std::strerror(errno));
            return;
        }
        std::string error;
        bool ready = false;
        bool finished = false;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            ready = finished = true;
        } else if (errno != EINPROGRESS) {
            error = std::strerror(errno);
            finished = true;
        }
        for (int waited = 0; !finished && !shared->cancelled && waited < attemptLimitMs; waited += pollSliceMs) {
            pollfd watch{fd, POLLOUT, 0};
            const int events = ::poll(&watch, 1, pollSliceMs);
            if (events == 0) continue;
            if (events < 0) {
                if (errno == EINTR) continue;
                error = std::strerror(errno);
                finished = true;
                break;
            }
            int soError = 0;
            socklen_t soLength = sizeof soError;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLength) != 0) soError = errno;
            if (soError == 0) {
                ready = true;
            } else {
                error = std::strerror(soError);
            }
            finished = true;
        }
        ::close(fd);
        if (shared->cancelled) return;
        if (!finished) error = std::strerror(ETIMEDOUT);
        deliver(shared, ready ? State::ready : State::failed, error);
    }

    std::string host_;
    std::uint16_t port_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::thread thread_;
};

}  // namespace

std::shared_ptr<ProbeConnection> SocketPortProber::makeConnection(const std::string& host, std::uint16_t port) {
    return std::make_shared<SocketProbeConnection>(host, port);
}

}  // namespace qm
