#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Platform/Core/DispatchQueue.h"

namespace qm {

// How a second start of the Host hands the address it was opened with (or the files it was asked
// to send) to the running one: a Unix socket in the user's runtime folder. Each connection
// carries one message (at most `maxMessageBytes`, ended by a line feed or the close) and gets no
// answer; an address is at most `maxURLBytes`.
class LocalURLEventListener {
public:
    static constexpr std::size_t maxURLBytes = 4096;
    static constexpr std::size_t maxMessageBytes = 256u << 10;

    // $XDG_RUNTIME_DIR/quillmere-host.sock, else a per-user name in /tmp.
    static std::filesystem::path defaultPath();
    // Listens at `path` (replacing a socket nobody answers on); `onURL` runs on `queue`. None,
    // with `error` set, when another Host already listens there or the socket cannot be made.
    static std::unique_ptr<LocalURLEventListener> listen(const std::filesystem::path& path, DispatchQueuePtr queue,
                                                         std::function<void(const std::string&)> onURL,
                                                         std::string* error);
    // Sends `url` (one line of at most `maxMessageBytes`) to the Host listening at `path`; false
    // when none answers.
    static bool send(const std::filesystem::path& path, const std::string& url, std::string* error);

    ~LocalURLEventListener();
    LocalURLEventListener(const LocalURLEventListener&) = delete;
    LocalURLEventListener& operator=(const LocalURLEventListener&) = delete;

private:
    LocalURLEventListener() = default;
    void run();

    std::filesystem::path path_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    DispatchQueuePtr queue_;
    std::function<void(const std::string&)> onURL_;
    std::thread thread_;
};

}  // namespace qm
