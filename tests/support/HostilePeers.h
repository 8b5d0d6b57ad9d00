#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qm::test {

class BuiltHost;
class TestViewer;
class TestFileChannel;

// Peers that never sign in and hold their connections open: from `addresses` loopback addresses
// (127.0.1.1 onwards, 250 to a /24), to each of `ports` in turn, at most `most` open at once (the
// oldest closed to make room for the next), on a thread per core (up to 8), until stop() or the
// object's end. A connection the Host's backlog has no room for is given up after a second.
// This process's own descriptor limit is raised to its hard limit so that it can hold them.
class HeldConnections {
public:
    HeldConnections(std::vector<std::uint16_t> ports, std::size_t addresses, std::size_t most);
    ~HeldConnections();
    HeldConnections(const HeldConnections&) = delete;
    HeldConnections& operator=(const HeldConnections&) = delete;
    // Closes every connection it holds; how many it made in all.
    std::size_t stop();
    std::size_t made() const { return made_; }

private:
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> made_{0};
    std::vector<std::thread> workers_;
};

// Addresses guessing `user`'s password on the control port `port`: each first has
// `primingFailures` wrong passwords refused (so the Host slows it down), then keeps `inHand`
// attempts with a wrong password going at once, each starting again as soon as it was answered
// or closed, until stop(). The addresses are 127.0.2.1 onwards.
class SlowedGuessers {
public:
    SlowedGuessers(std::uint16_t port, std::string user, std::size_t addresses, std::size_t inHand,
                   int primingFailures);
    ~SlowedGuessers();
    SlowedGuessers(const SlowedGuessers&) = delete;
    SlowedGuessers& operator=(const SlowedGuessers&) = delete;
    // True once every address had its wrong passwords refused and its attempts are in hand.
    bool waitUntilPrimed(std::chrono::milliseconds timeout);
    // Ends the guessing; attempts still waiting for an answer end with the Host or their own.
    void stop();

private:
    // One attempt from `from`: true when the password check answered it.
    bool guess(const std::string& from);
    bool guessing();

    std::uint16_t port_;
    std::string user_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool guessing_ = true;
    std::size_t primed_ = 0;
    std::size_t addresses_;
    std::vector<std::thread> guessers_;
};

// A Viewer from `from` whose user takes `pause` to type the password: it proves the Host's
// identity, waits that long, then signs in with `password`. What it was answered ("ok", a refusal
// code, or why there was none); the signed-in Viewer goes to `kept` when asked for.
std::string signInAfterTyping(std::uint16_t port, const std::string& user, const std::string& password,
                              const std::string& from, std::chrono::milliseconds pause,
                              std::unique_ptr<TestViewer>* kept = nullptr);

// A Viewer signed in from `from` with its file channel, that writes `batches` one-file managedCopy
// batches of one byte into ~/`folder` at once (7.3 MB for 20,000), from a thread of its own, and
// leaves whenever the test says.
class BurstingViewer {
public:
    // Nothing, with the reason, when it could not sign in or open its channel.
    static std::unique_ptr<BurstingViewer> signIn(const BuiltHost& host, const std::string& from, std::string folder,
                                                  std::size_t batches, std::string& whyNot);
    ~BurstingViewer();
    BurstingViewer(const BurstingViewer&) = delete;
    BurstingViewer& operator=(const BurstingViewer&) = delete;
    void start();
    // Resets its control connection: the Host ends its session, and its write still waiting fails
    // as the Host closes the file channel.
    void leave();
    // True once its whole burst was written (or its write failed).
    bool written() const { return written_; }
    // Waits for its writer (after leave(), once written()), then resets its file channel.
    void join();
    const std::string& folder() const { return folder_; }
    std::size_t burstBytes() const { return frames_.size(); }

private:
    BurstingViewer() = default;
    std::unique_ptr<TestViewer> control_;
    std::unique_ptr<TestFileChannel> channel_;
    std::string folder_;
    std::vector<std::uint8_t> frames_;
    std::thread writer_;
    std::atomic<bool> written_{false};
};

}  // namespace qm::test
