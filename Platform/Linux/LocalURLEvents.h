#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Platform/Core/DispatchQueue.h"

namespace qm {

// What one client of the link socket sends: one message (an address, or the files a second start
// was asked to send) ended by a line feed or by the close, of at most
// LocalURLEventListener::maxMessageBytes; more is refused without being kept.
class LocalURLLine {
public:
    // Takes the next bytes read; true once nothing more is needed (complete or refused).
    bool add(std::string_view bytes);
    // The client closed its side.
    void close();
    // The address, once complete; none while incomplete, when refused, or when empty.
    std::optional<std::string> address() const;

private:
    std::string received_;
    bool complete_ = false;
    bool refused_ = false;
};

// How a second start of the Host hands the address it was opened with (or the files it was asked
// to send) to the running one: a Unix socket in a folder only the user can write. Each connection
// carries one message (at most `maxMessageBytes`, ended by a line feed or the close); once the Host
// has read it whole and taken it, it answers `acknowledgement`, so the sender knows the message
// was not lost. A client has `clientTimeout` in all, from the moment it is accepted, and up to
// `maxClientsAtOnce` are served side by side, so a slow one delays nobody else. An address is at
// most `maxURLBytes`. At most `maxWaitingURLs` addresses wait on the queue, and at most
// `maxURLsPerSecond` are handed on each second; the rest are dropped (without an answer), counted
// and reported in one line once the burst is over.
class LocalURLEventListener {
public:
    static constexpr std::size_t maxURLBytes = 4096;
    static constexpr std::size_t maxMessageBytes = 256u << 10;
    static constexpr std::size_t maxWaitingURLs = 8;
    static constexpr std::size_t maxURLsPerSecond = 8;
    static constexpr const char* socketName = "quillmere-host.sock";
    static constexpr std::chrono::milliseconds clientTimeout{1000};
    static constexpr std::size_t maxClientsAtOnce = 8;
    static constexpr std::string_view acknowledgement = "ok\n";
    // How long a sender waits for the Host to take its message: long enough to wait out a full
    // set of slow clients ahead of it, short enough that a Host that never answers is reported.
    static constexpr std::chrono::milliseconds sendTimeout{5000};

    // What became of a message a sender offered.
    enum class HandOff {
        taken,     // the running Host read it whole and took it
        noHost,    // nobody listens at the socket: no Host runs
        notTaken,  // a Host listens but did not take it in time (busy, flooded, or the message refused)
    };

    // socketPath(getenv("XDG_RUNTIME_DIR"), the user's cache folder). Empty, with `error` set,
    // when there is no folder the user alone can write.
    static std::filesystem::path defaultPath(std::string* error = nullptr);
    // `runtimeDirectory`/quillmere-host.sock when that folder is the user's own and not writable by
    // others; else the socket in `privateParent`/quillmere-host, a folder made owner-only and
    // checked to be the user's after it is made. Never a fixed name in a folder others share.
    static std::filesystem::path socketPath(const char* runtimeDirectory, const std::filesystem::path& privateParent,
                                            std::string* error);
    // Listens at `path` (replacing a socket nobody answers on); `onURL` runs on `queue`. None,
    // with `error` set, when another Host already listens there or the socket cannot be made.
    static std::unique_ptr<LocalURLEventListener> listen(const std::filesystem::path& path, DispatchQueuePtr queue,
                                                         std::function<void(const std::string&)> onURL,
                                                         std::string* error);
    // Sends `url` (one line of at most `maxMessageBytes`) to the Host listening at `path` and waits
    // at most `timeout` in all for it to be taken; `error` says why when it was not.
    static HandOff send(const std::filesystem::path& path, const std::string& url, std::string* error,
                        std::chrono::milliseconds timeout = sendTimeout);

    // Addresses read whole so far, handed on or dropped.
    std::size_t addressesRead() const { return addressesRead_.load(); }

    ~LocalURLEventListener();
    LocalURLEventListener(const LocalURLEventListener&) = delete;
    LocalURLEventListener& operator=(const LocalURLEventListener&) = delete;

private:
    LocalURLEventListener() = default;
    struct Client;
    void run();
    void accept(std::vector<Client>& clients);
    // Reads what `client` has sent; true once it is done with (answered, refused or gone).
    bool serve(Client& client);
    bool handOn(std::string url);
    void reportDropped();

    std::filesystem::path path_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    DispatchQueuePtr queue_;
    std::function<void(const std::string&)> onURL_;
    std::thread thread_;
    std::atomic<std::size_t> addressesRead_{0};
    // Handed to the queue and not yet handled there.
    std::shared_ptr<std::atomic<std::size_t>> waiting_ = std::make_shared<std::atomic<std::size_t>>(0);
    // Listener thread only.
    std::chrono::steady_clock::time_point windowStart_{};
    std::size_t handedInWindow_ = 0;
    std::size_t dropped_ = 0;
    std::chrono::steady_clock::time_point lastDrop_{};
};

}  // namespace qm
