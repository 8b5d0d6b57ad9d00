#include "support/HostMeasures.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "support/BuiltHost.h"

namespace qm::test {

using namespace std::chrono_literals;

double hostCpuSeconds(const BuiltHost& host) {
    std::ifstream file("/proc/" + std::to_string(host.pid()) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto name = stat.rfind(')');  // the program's name may hold spaces
    if (name == std::string::npos) return 0;
    std::istringstream fields(stat.substr(name + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number)
        if (number >= 14) ticks += std::stoull(field);  // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double hostWantedSeconds(const BuiltHost& host) {
    std::error_code error;
    double seconds = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(host.pid()) + "/task", error), end;
         !error && it != end; it.increment(error)) {
        std::ifstream stat(it->path() / "schedstat");
        double ran = 0, waited = 0;
        if (stat >> ran >> waited) seconds += (ran + waited) / 1e9;
    }
    return seconds;
}

double shareOfACore(const std::function<double()>& seconds) {
    const auto start = std::chrono::steady_clock::now();
    const double before = seconds();
    std::this_thread::sleep_for(2s);
    return (seconds() - before) / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool pollUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

std::size_t filesIn(const std::filesystem::path& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
    return count;
}

MostDescriptors::MostDescriptors(const BuiltHost& host)
    : sampler_([this, &host] {
          std::unique_lock lock(mutex_);
          do most_ = std::max(most_, hostDescriptors(host));
          while (!stopped_.wait_for(lock, 10ms, [this] { return stopping_; }));
      }) {}

MostDescriptors::~MostDescriptors() { stop(); }

std::size_t MostDescriptors::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    if (sampler_.joinable()) sampler_.join();
    return most_;
}

}  // namespace qm::test
