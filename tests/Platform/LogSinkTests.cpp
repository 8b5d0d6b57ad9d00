#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Platform/Core/LogSink.h"

namespace qm {
namespace LogSinkTests {
namespace {

TEST(LogSink, SubscribersSeeEveryLineUntilTheyLetGo) {
    LogSink::shared().setWritesStandardError(false);
    std::vector<std::string> first, second;
    auto a = LogSink::shared().subscribe([&](std::string_view line) { first.emplace_back(line); });
    {
        auto b = LogSink::shared().subscribe([&](std::string_view line) { second.emplace_back(line); });
        logLine("one");
    }
    logLine("two");
    a.cancel();
    logLine("three");
    LogSink::shared().setWritesStandardError(true);
    EXPECT_EQ(first, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(second, (std::vector<std::string>{"one"}));
}

TEST(LogSink, DetailLinesAreWrittenOnlyWhenAskedFor) {
    auto& sink = LogSink::shared();
    sink.setWritesStandardError(false);
    const bool before = sink.writesDetail();
    std::vector<std::string> lines;
    auto subscription = sink.subscribe([&](std::string_view line) { lines.emplace_back(line); });
    sink.setWritesDetail(false);
    logLine("stats every second", LogLevel::detail);
    logLine("something changed");
    sink.setWritesDetail(true);
    logLine("stats when asked", LogLevel::detail);
    subscription.cancel();
    sink.setWritesDetail(before);
    sink.setWritesStandardError(true);
    EXPECT_EQ(lines, (std::vector<std::string>{"something changed", "stats when asked"}));
}

TEST(LogSink, ALineRepeatedPerBufferCostsLogarithmicallyMany) {
    LogSink::shared().setWritesStandardError(false);
    std::vector<std::string> lines;
    auto subscription = LogSink::shared().subscribe([&](std::string_view line) { lines.emplace_back(line); });
    RepeatingLogLine invalid;
    for (int i = 0; i < 10'000; ++i) invalid.write("invalid buffer");
    subscription.cancel();
    LogSink::shared().setWritesStandardError(true);
    EXPECT_EQ(invalid.count(), 10'000u);
    ASSERT_EQ(lines.size(), 14u) << "1, 2, 4, ... 8192";
    EXPECT_EQ(lines.front(), "invalid buffer");
    EXPECT_EQ(lines.back(), "invalid buffer (8192 times)");
}

TEST(LogSink, LinesFromManyThreadsArriveWhole) {
    LogSink::shared().setWritesStandardError(false);
    std::mutex mutex;
    std::vector<std::string> lines;
    auto subscription = LogSink::shared().subscribe([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) logLine("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& thread : threads) thread.join();
    subscription.cancel();
    LogSink::shared().setWritesStandardError(true);
    ASSERT_EQ(lines.size(), 800u);
    for (const auto& line : lines) EXPECT_EQ(line.rfind("thread ", 0), 0u) << line;
}

}  // namespace
}  // namespace LogSinkTests
}  // namespace qm
