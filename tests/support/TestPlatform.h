#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>

#include "Platform/HostPlatform.h"
#include "Platform/Core/LogSink.h"
#include "Platform/Core/ManualDispatchQueue.h"

namespace qm::test {

// A platform whose queues all run on one virtual clock, driven by the test.
struct ManualPlatform {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    HostPlatform platform;
    ManualPlatform();
    // Queues made through `platform.makeQueue`, by label (the last one wins).
    std::shared_ptr<ManualDispatchQueue> queue(const std::string& label) const;

private:
    std::shared_ptr<std::map<std::string, std::shared_ptr<ManualDispatchQueue>>> queues_;
};

// A fresh, empty folder under the system's temporary folder, removed on destruction.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The log's detail lines (the statistics of every second) are written while it lives.
class WritingLogDetail {
public:
    WritingLogDetail() : before_(LogSink::shared().writesDetail()) { LogSink::shared().setWritesDetail(true); }
    ~WritingLogDetail() { LogSink::shared().setWritesDetail(before_); }
    WritingLogDetail(const WritingLogDetail&) = delete;
    WritingLogDetail& operator=(const WritingLogDetail&) = delete;

private:
    bool before_;
};

// Waits (without sleeping in fixed steps) until the predicate holds or the timeout passes.
bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace qm::test
