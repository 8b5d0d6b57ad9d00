#include "Platform/Linux/LocalURLEvents.h"

#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform/Core/LogSink.h"

namespace qm {
namespace {

using SteadyClock = std::chrono::steady_clock;

// While links are being dropped, a second without a drop ends the burst and reports it.
constexpr auto quietAfterDrops = std::chrono::seconds(1);

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

// Bounds the socket's next blocking connect, send or receive by what is left until `deadline`;
// false when nothing is left.
bool limitTo(int fd, SteadyClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) return false;
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(left.count() / 1'000'000);
    limit.tv_usec = static_cast<suseconds_t>(left.count() % 1'000'000);
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
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

std::filesystem::path LocalURLEventListener::defaultPath(std::string* error) {
    std::filesystem::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') {
        cache = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        cache = std::filesystem::path(home) / ".cache";
    } else if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir) {
        cache = std::filesystem::path(entry->pw_dir) / ".cache";
    }
    return socketPath(std::getenv("XDG_RUNTIME_DIR"), cache, error);
}

std::filesystem::path LocalURLEventListener::socketPath(const char* runtimeDirectory,
                                                        const std::filesystem::path& privateParent,
                                                        std::string* error) {
    const uid_t user = ::geteuid();
    // Anyone who can write the folder can put their own socket at our name and receive the links.
    auto isPrivate = [user](const struct stat& info) {
        return S_ISDIR(info.st_mode) && info.st_uid == user && (info.st_mode & 022) == 0;
    };
    struct stat info {};
    if (runtimeDirectory && *runtimeDirectory == '/' && ::lstat(runtimeDirectory, &info) == 0 && isPrivate(info))
        return std::filesystem::path(runtimeDirectory) / socketName;

    auto fail = [error](const std::string& text) {
        if (error) *error = text;
        return std::filesystem::path();
    };
    if (privateParent.empty() || !privateParent.is_absolute()) return fail("no home folder for the link socket");
    std::error_code ec;
    std::filesystem::create_directories(privateParent, ec);
    const auto folder = privateParent / "quillmere-host";
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return fail("cannot create " + folder.string() + ": " + std::strerror(errno));
    if (::lstat(folder.c_str(), &info) != 0) return fail("cannot use " + folder.string() + ": " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode) || info.st_uid != user)
        return fail(folder.string() + " is not a folder of this user's");
    if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        return fail("cannot make " + folder.string() + " private: " + std::strerror(errno));
    return folder / socketName;
}

std::unique_ptr<LocalURLEventListener> LocalURLEventListener::listen(const std::filesystem::path& path,
                                                                     DispatchQueuePtr queue,
                                                                     std::function<void(const std::string&)> onURL,
                                                                     std::string* error) {
    if (path.empty()) {
        if (error && error->empty()) *error = "no private folder for the socket";
        return nullptr;
    }
    sockaddr_un address{};
    if (!makeAddress(path, address, error)) return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    if (bound != 0 || ::listen(fd, static_cast<int>(maxClientsAtOnce)) != 0) {
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

struct LocalURLEventListener::Client {
    int fd = -1;
    SteadyClock::time_point deadline;
    LocalURLLine line;
};

void LocalURLEventListener::run() {
    std::vector<Client> clients;
    std::vector<pollfd> watch;
    for (;;) {
        watch.clear();
        watch.push_back({wake_[0], POLLIN, 0});
        // Beyond the clients served at once, new ones wait in the socket's backlog.
        watch.push_back({clients.size() < maxClientsAtOnce ? fd_ : -1, POLLIN, 0});
        std::optional<SteadyClock::time_point> wakeAt;
        for (const auto& client : clients) {
            watch.push_back({client.fd, POLLIN, 0});
            if (!wakeAt || client.deadline < *wakeAt) wakeAt = client.deadline;
        }
        if (dropped_ > 0 && (!wakeAt || lastDrop_ + quietAfterDrops < *wakeAt)) wakeAt = lastDrop_ + quietAfterDrops;
        int timeoutMs = -1;
        if (wakeAt) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - SteadyClock::now());
            timeoutMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        const int ready = ::poll(watch.data(), watch.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready < 0) continue;
        if (watch[0].revents) break;

        // Each client is done with once it is answered, refused or gone, or when its time is up:
        // the time is for the whole message, so a client trickling bytes cannot keep its place.
        const auto now = SteadyClock::now();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const bool done = (watch[2 + i].revents && serve(clients[i])) || now >= clients[i].deadline;
            if (done) {
                ::close(clients[i].fd);
            } else {
                if (kept != i) clients[kept] = std::move(clients[i]);
                ++kept;
            }
        }
        clients.resize(kept);
        if (watch[1].revents & POLLIN) accept(clients);
        if (dropped_ > 0 && now >= lastDrop_ + quietAfterDrops) reportDropped();
    }
    for (const auto& client : clients) ::close(client.fd);
    reportDropped();
}

void LocalURLEventListener::accept(std::vector<Client>& clients) {
    while (clients.size() < maxClientsAtOnce) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        clients.push_back({fd, SteadyClock::now() + clientTimeout, {}});
    }
}

bool LocalURLEventListener::serve(Client& client) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
        if (got == 0) {
            client.line.close();
            break;
        }
        if (client.line.add(std::string_view(buffer, static_cast<std::size_t>(got)))) break;
    }
    // Answered only once the message is the Host's: a sender told nothing knows it was lost.
    if (auto url = client.line.address(); url && handOn(std::move(*url))) {
        [[maybe_unused]] auto sent =
            ::send(client.fd, acknowledgement.data(), acknowledgement.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return true;
}

bool LocalURLLine::add(std::string_view bytes) {
    if (complete_ || refused_) return true;
    received_.append(bytes);
    if (const auto end = received_.find('\n'); end != std::string::npos) {
        received_.resize(end);
        complete_ = true;
    } else if (received_.size() > LocalURLEventListener::maxMessageBytes) {
        refused_ = true;
    }
    return complete_ || refused_;
}

void LocalURLLine::close() {
    if (!refused_) complete_ = true;
}

std::optional<std::string> LocalURLLine::address() const {
    if (!complete_ || refused_ || received_.empty() || received_.size() > LocalURLEventListener::maxMessageBytes)
        return std::nullopt;
    return received_;
}

bool LocalURLEventListener::handOn(std::string url) {
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        handedInWindow_ = 0;
    }
    // A flood must not fill the main queue (it would run for minutes, hold the memory and keep the
    // stop signal waiting) nor the log.
    ++addressesRead_;
    if (waiting_->load() >= maxWaitingURLs || handedInWindow_ >= maxURLsPerSecond) {
        ++dropped_;
        lastDrop_ = now;
        return false;
    }
    ++handedInWindow_;
    ++*waiting_;
    queue_->async([onURL = onURL_, url = std::move(url), waiting = waiting_] {
        --*waiting;
        onURL(url);
    });
    return true;
}

void LocalURLEventListener::reportDropped() {
    if (dropped_ == 0) return;
    logLine("[QuillmereHost] links: dropped " + std::to_string(dropped_) +
            " link(s) that came faster than the Host takes them");
    dropped_ = 0;
}

LocalURLEventListener::HandOff LocalURLEventListener::send(const std::filesystem::path& path, const std::string& url,
                                                           std::string* error, std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    auto fail = [error](HandOff result, const std::string& why) {
        if (error) *error = why;
        return result;
    };
    sockaddr_un address{};
    if (!makeAddress(path, address, error)) return HandOff::noHost;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(HandOff::notTaken, std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // A Host serving other clients keeps this one in its backlog; the wait for it is bounded too.
    if (!limitTo(fd, deadline)) return fail(HandOff::notTaken, "no time left to connect");
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int failure = errno;
        const bool busy = failure == EAGAIN || failure == EWOULDBLOCK || failure == EINPROGRESS ||
                          failure == ETIMEDOUT || failure == EINTR;
        return fail(busy ? HandOff::notTaken : HandOff::noHost,
                    busy ? "the running Host did not accept the connection in time" : std::strerror(failure));
    }
    if (url.size() > maxMessageBytes || url.find('\n') != std::string::npos)
        return fail(HandOff::notTaken, "not a single line of at most 256 KiB");

    const std::string line = url + "\n";
    for (std::size_t sent = 0; sent < line.size();) {
        if (!limitTo(fd, deadline)) return fail(HandOff::notTaken, "the running Host did not read the message in time");
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return fail(HandOff::notTaken, "the running Host did not read the message in time");
        if (n <= 0) return fail(HandOff::notTaken, std::string("the running Host closed the connection: ") + std::strerror(errno));
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[16];
    while (answer.size() < acknowledgement.size()) {
        if (!limitTo(fd, deadline)) return fail(HandOff::notTaken, "the running Host did not answer in time");
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, acknowledgement.size() - answer.size()), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return fail(HandOff::notTaken, "the running Host did not answer in time");
        if (got <= 0) return fail(HandOff::notTaken, "the running Host did not take the message");
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    if (answer != acknowledgement) return fail(HandOff::notTaken, "the running Host gave an unknown answer");
    return HandOff::taken;
}

}  // namespace qm
