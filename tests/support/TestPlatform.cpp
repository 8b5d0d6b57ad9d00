#include "support/TestPlatform.h"

#include <map>
#include <random>
#include <thread>

namespace qm::test {

ManualPlatform::ManualPlatform() : queues_(std::make_shared<std::map<std::string, std::shared_ptr<ManualDispatchQueue>>>()) {
    platform.clock = clock;
    auto queues = queues_;
    auto clockRef = clock;
    platform.makeQueue = [queues, clockRef](const std::string& label) -> DispatchQueuePtr {
        auto queue = clockRef->makeQueue(label);
        (*queues)[label] = queue;
        return queue;
    };
    platform.mainQueue = platform.makeQueue("main");
}

std::shared_ptr<ManualDispatchQueue> ManualPlatform::queue(const std::string& label) const {
    auto it = queues_->find(label);
    return it == queues_->end() ? nullptr : it->second;
}

TemporaryDirectory::TemporaryDirectory() {
    std::random_device rd;
    for (;;) {
        path_ = std::filesystem::temp_directory_path() / ("quillmere-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(path_)) break;
    }
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    // Polls with a short timed wait so a busy loop does not starve the threads under test.
    std::mutex mutex;
    std::condition_variable idle;
    std::unique_lock lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        idle.wait_for(lock, std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace qm::test
