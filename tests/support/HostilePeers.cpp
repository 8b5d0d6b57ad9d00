#include "support/HostilePeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "HostApp/Server/ServerConstants.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "support/BuiltHost.h"
#include "support/TestViewer.h"
#include "support/ViewerBatches.h"

namespace qm::test {

using namespace std::chrono_literals;

HeldConnections::HeldConnections(std::vector<std::uint16_t> ports, std::size_t addresses, std::size_t most) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
    for (unsigned first = 0; first < threads; ++first) {
        workers_.emplace_back([this, ports, addresses, first, threads, share = std::max<std::size_t>(most / threads, 1)] {
            std::deque<int> open;
            for (std::size_t n = first; !stopping_; n += threads) {
                if (open.size() >= share) {
                    ::close(open.front());
                    open.pop_front();
                }
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (fd < 0) {
                    std::this_thread::sleep_for(10ms);  // out of descriptors here: let some go first
                    continue;
                }
                const timeval patience{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
                const auto address = n % addresses;
                sockaddr_in from{}, to{};
                from.sin_family = to.sin_family = AF_INET;
                from.sin_addr.s_addr = htonl(0x7f000000u | static_cast<std::uint32_t>(1 + address / 250) << 8 |
                                             static_cast<std::uint32_t>(1 + address % 250));
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(ports[n / threads % ports.size()]);
                if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                    ++made_;
                    open.push_back(fd);
                } else {
                    ::close(fd);
                }
            }
            for (const int fd : open) ::close(fd);
        });
    }
}

HeldConnections::~HeldConnections() { stop(); }

std::size_t HeldConnections::stop() {
    stopping_ = true;
    for (auto& worker : workers_)
        if (worker.joinable()) worker.join();
    return made_;
}

SlowedGuessers::SlowedGuessers(std::uint16_t port, std::string user, std::size_t addresses, std::size_t inHand,
                               int primingFailures)
    : port_(port), user_(std::move(user)), addresses_(addresses) {
    for (std::size_t address = 0; address < addresses; ++address) {
        const std::string from = "127.0.2." + std::to_string(1 + address);
        for (std::size_t attempt = 0; attempt < inHand; ++attempt) {
            guessers_.emplace_back([this, from, primingFailures, primes = attempt == 0] {
                for (int refused = 0; primes && refused < primingFailures && guessing();) refused += guess(from) ? 1 : 0;
                if (primes) {
                    {
                        std::lock_guard lock(mutex_);
                        ++primed_;
                    }
                    ended_.notify_all();
                }
                {
                    std::unique_lock lock(mutex_);
                    ended_.wait(lock, [&] { return !guessing_ || primed_ == addresses_; });
                }
                while (guessing()) guess(from);
            });
        }
    }
}

SlowedGuessers::~SlowedGuessers() {
    stop();
    for (auto& guesser : guessers_)
        if (guesser.joinable()) guesser.join();
}

bool SlowedGuessers::guess(const std::string& from) {
    auto said = TestViewer(port_, "127.0.0.1", from).signIn(user_, "wrong");
    const bool checked = said && said->message == "code=invalid-credentials";
    if (!checked) {  // closed or busy: again, soon, or not at all once the guessing is over
        std::unique_lock lock(mutex_);
        ended_.wait_for(lock, 10ms, [&] { return !guessing_; });
    }
    return checked;
}

bool SlowedGuessers::guessing() {
    std::lock_guard lock(mutex_);
    return guessing_;
}

bool SlowedGuessers::waitUntilPrimed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, timeout, [&] { return primed_ == addresses_; });
}

void SlowedGuessers::stop() {
    {
        std::lock_guard lock(mutex_);
        guessing_ = false;
    }
    ended_.notify_all();
}

std::string signInAfterTyping(std::uint16_t port, const std::string& user, const std::string& password,
                              const std::string& from, std::chrono::milliseconds pause, std::unique_ptr<TestViewer>* kept) {
    auto viewer = std::make_unique<TestViewer>(port, "127.0.0.1", from);
    if (!viewer->connected() || !viewer->proveIdentity()) return "closed before its proof";
    // Its user types: the Host's own clock runs meanwhile, whatever else it is doing.
    std::this_thread::sleep_for(pause);
    const auto result = viewer->signIn(user, password);
    if (!result) return "no answer";
    if (!result->accepted) return result->message;
    if (kept) *kept = std::move(viewer);
    return "ok";
}

std::unique_ptr<BurstingViewer> BurstingViewer::signIn(const BuiltHost& host, const std::string& from, std::string folder,
                                                       std::size_t batches, std::string& whyNot) {
    std::unique_ptr<BurstingViewer> viewer(new BurstingViewer);
    viewer->control_ = std::make_unique<TestViewer>(ServerConstants::controlPort, "127.0.0.1", from);
    const auto result = viewer->control_->signIn(host.user().name(), host.user().password());
    if (!result || !result->accepted) {
        whyNot = "signing in from " + from + ": " + (result ? result->message : std::string("no answer"));
        return nullptr;
    }
    viewer->channel_ = openFileChannel(*viewer->control_);
    if (!viewer->channel_) {
        whyNot = "no file channel from " + from;
        return nullptr;
    }
    viewer->folder_ = std::move(folder);
    // Its batches as file-channel frames back to back: what it writes at once.
    using FileTransferChannelConstants::headerSize;
    const FilePacketRoad collect = [&frames = viewer->frames_](const FileTransferPacket& packet) {
        auto frame = packet.encode(headerSize);
        const auto length = static_cast<std::uint32_t>(frame.size() - headerSize);
        std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(), frame.begin());
        for (std::size_t b = 0; b < 4; ++b) frame[4 + b] = static_cast<std::uint8_t>(length >> (8 * b));
        frames.insert(frames.end(), frame.begin(), frame.end());
    };
    for (std::size_t i = 0; i < batches; ++i)
        sendFileBatch(collect, FileTransferIntent::managedCopy, "~/" + viewer->folder_, "b" + std::to_string(i), Bytes{'b'});
    return viewer;
}

BurstingViewer::~BurstingViewer() {
    leave();
    join();
}

void BurstingViewer::start() {
    writer_ = std::thread([this] {
        channel_->sendRaw(frames_);
        written_ = true;
    });
}

void BurstingViewer::leave() {
    // The Host ends its session and closes its file channel: a write still waiting fails then.
    control_->abort();
}

void BurstingViewer::join() {
    if (writer_.joinable()) writer_.join();
    channel_->abort();
}

}  // namespace qm::test
