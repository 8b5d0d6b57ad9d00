#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

namespace qm::test {

class BuiltHost;

// The CPU time the running Host has used so far, its user and system time together, in seconds.
double hostCpuSeconds(const BuiltHost& host);
// The time the Host's threads have run and waited to run so far, in seconds: on a loaded machine a
// Host with work to do gets less CPU than it wants, but it waits for it.
double hostWantedSeconds(const BuiltHost& host);
// How many cores' worth `seconds` (a running total) grows by over the next two seconds.
double shareOfACore(const std::function<double()>& seconds);

// waitUntil for a condition that lists folders or the Host's log: looked at five times a second,
// so the test does not take the CPU the Host needs.
bool pollUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
// The entries of a folder (0 when it cannot be read).
std::size_t filesIn(const std::filesystem::path& folder);

// The most descriptors the Host holds at once from now until stop(), looked at every 10 ms.
class MostDescriptors {
public:
    explicit MostDescriptors(const BuiltHost& host);
    ~MostDescriptors();
    MostDescriptors(const MostDescriptors&) = delete;
    MostDescriptors& operator=(const MostDescriptors&) = delete;
    std::size_t stop();

private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::size_t most_ = 0;
    std::thread sampler_;  // last: it starts once the rest is made
};

}  // namespace qm::test
