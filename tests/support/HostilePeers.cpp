#include "support/HostilePeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "support/TestViewer.h"

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

}  // namespace qm::test
