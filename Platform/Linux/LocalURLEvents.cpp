#include "Platform/Linux/LocalURLEvents.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qm {
namespace {

// A client has this long to send its address; the listener serves one client at a time.
constexpr int clientTimeoutMs = 1000;

bool makeAddress(const std::filesystem::path& path, sockaddr_un& address, std::string* error) {
    const auto text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        if (error) *error = "socket path too long: " + text;
        return false;
    }
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

int connectTo(const std::filesystem::path& path, std::string* error) {
    sockaddr_un address{};
    if (!makeAddress(path, address, error)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (error) *error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::filesystem::path LocalURLEventListener::defaultPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::filesystem::path(runtime) / "quillmere-host.sock";
    }
    return std::filesystem::path("/tmp") / ("quillmere-host-" + std::to_string(::getuid()) + ".sock");
}

std::unique_ptr<LocalURLEventListener> LocalURLEventListener::listen(const std::filesystem::path& path,
                                                                     DispatchQueuePtr queue,
                                                                     std::function<void(const std::string&)> onURL,
                                                                     std::string* error) {
    sockaddr_un address{};
    if (!makeAddress(path, address, error)) return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return nullptr;
    }
    const mode_t previous = ::umask(0177);  // the socket is the user's alone
    int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (bound != 0 && errno == EADDRINUSE) {
        // A Host that answers keeps its socket; a file left by one that ended is replaced.
        if (const int other = connectTo(path, nullptr); other >= 0) {
            ::close(other);
            ::umask(previous);
            ::close(fd);
            if (error) *error = "another Host listens at " + path.string();
            return nullptr;
        }
        ::unlink(path.c_str());
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ::umask(previous);
    if (bound != 0 || ::listen(fd, 4) != 0) {
        if (error) *error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<LocalURLEventListener> listener(new LocalURLEventListener);
    listener->path_ = path;
    listener->fd_ = fd;
    listener->queue_ = std::move(queue);
    listener->onURL_ = std::move(onURL);
    if (::pipe2(listener->wake_, O_CLOEXEC) != 0) {
        if (error) *error = std::strerror(errno);
        return nullptr;  // the destructor closes and removes the socket
    }
    listener->thread_ = std::thread([raw = listener.get()] { raw->run(); });
    return listener;
}

LocalURLEventListener::~LocalURLEventListener() {
    if (wake_[1] >= 0) {
        const char stop = 1;
        [[maybe_unused]] auto written = ::write(wake_[1], &stop, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : {wake_[0], wake_[1]}) {
        if (fd >= 0) ::close(fd);
    }
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

void LocalURLEventListener::run() {
    for (;;) {
        pollfd watch[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(watch, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watch[1].revents) return;
        if (!(watch[0].revents & POLLIN)) continue;
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::string url;
        bool complete = false;
        char buffer[512];
        while (!complete && url.size() <= maxMessageBytes) {
            pollfd reading[2] = {{client, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            const int ready = ::poll(reading, 2, clientTimeoutMs);
            if (ready <= 0 || reading[1].revents) break;
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                complete = got == 0;
                break;
            }
            url.append(buffer, static_cast<std::size_t>(got));
            if (const auto end = url.find('\n'); end != std::string::npos) {
                url.resize(end);
                complete = true;
            }
        }
        ::close(client);
        if (!complete || url.empty() || url.size() > maxMessageBytes) continue;
        queue_->async([onURL = onURL_, url] { onURL(url); });
    }
}

bool LocalURLEventListener::send(const std::filesystem::path& path, const std::string& url, std::string* error) {
    if (url.size() > maxMessageBytes || url.find('\n') != std::string::npos) {
        if (error) *error = "not a single line of at most 256 KiB";
        return false;
    }
    const int fd = connectTo(path, error);
    if (fd < 0) return false;
    const std::string line = url + "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return true;
}

}  // namespace qm
