#include "Platform/Linux/LocalURLEvents.h"

#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform/Core/LogSink.h"

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
        // While links are being dropped, a quiet second ends the burst and reports it.
        const int ready = ::poll(watch, 2, dropped_ > 0 ? 1000 : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) reportDropped();
        if (watch[1].revents) {
            reportDropped();
            return;
        }
        if (!(watch[0].revents & POLLIN)) continue;
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        LocalURLLine line;
        bool finished = false;
        char buffer[512];
        while (!finished) {
            pollfd reading[2] = {{client, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            const int ready = ::poll(reading, 2, clientTimeoutMs);
            if (ready <= 0 || reading[1].revents) break;
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            if (got == 0) {
                line.close();
                break;
            }
            finished = line.add(std::string_view(buffer, static_cast<std::size_t>(got)));
        }
        ::close(client);
        if (auto url = line.address()) handOn(std::move(*url));
    }
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

void LocalURLEventListener::handOn(std::string url) {
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        handedInWindow_ = 0;
    }
    // A flood must not fill the main queue (it would run for minutes, hold the memory and keep the
    // stop signal waiting) nor the log.
    if (waiting_->load() >= maxWaitingURLs || handedInWindow_ >= maxURLsPerSecond) {
        ++dropped_;
    } else {
        ++handedInWindow_;
        ++*waiting_;
        queue_->async([onURL = onURL_, url = std::move(url), waiting = waiting_] {
            --*waiting;
            onURL(url);
        });
    }
    ++addressesRead_;
}

void LocalURLEventListener::reportDropped() {
    if (dropped_ == 0) return;
    logLine("[QuillmereHost] links: dropped " + std::to_string(dropped_) +
            " link(s) that came faster than the Host takes them");
    dropped_ = 0;
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
