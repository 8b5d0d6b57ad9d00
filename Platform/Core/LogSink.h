#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qm {

// How much a line matters to whoever reads the terminal. `detail` is what the Host writes on a
// timer whether or not anything changed (the statistics of every second): written only when
// asked for, with QM_LOG_DETAIL=1 in the environment or setWritesDetail(true). `diagnostic` is
// the application's account of what it did (each status refresh, each permission step): every
// subscriber takes it, so the in-memory diagnostic log keeps it, but the terminal shows it only
// when detail is asked for.
enum class LogLevel : std::uint8_t { detail, info, diagnostic };

// The one place every line the Host writes goes through: the server's status lines, the
// platform layers' reports and the application's own. Each line goes to standard error and to
// every subscriber (the application's diagnostic log keeps the latest ones). Lines are written
// whole, so lines from different threads never interleave mid-line.
class LogSink {
public:
    using Subscriber = std::function<void(std::string_view line)>;

    // Unsubscribes when the last copy is dropped.
    class Subscription {
    public:
        Subscription() = default;
        explicit Subscription(std::shared_ptr<void> token) : token_(std::move(token)) {}
        void cancel() { token_.reset(); }
        explicit operator bool() const { return token_ != nullptr; }

    private:
        std::shared_ptr<void> token_;
    };

    // The process's sink.
    static LogSink& shared();

    // Writes one line (a trailing newline is added; embedded ones are the caller's to escape).
    // A detail line goes nowhere, not even to subscribers, unless detail is asked for; a
    // diagnostic line goes to the subscribers, and to standard error only when detail is.
    void write(std::string_view line, LogLevel level = LogLevel::info);
    void setWritesDetail(bool enabled);
    bool writesDetail() const;

    // `subscriber` is called on the writing thread, outside the sink's lock, once per line.
    [[nodiscard]] Subscription subscribe(Subscriber subscriber);

    // Standard error is on by default; tests that capture lines turn it off.
    void setWritesStandardError(bool enabled);

    struct State;

private:
    LogSink();
    std::shared_ptr<State> state_;
};

// A line that may come once per buffer or packet for as long as a fault lasts: written on its
// 1st, 2nd, 4th, 8th, ... occurrence with the count so far, so a fault that never ends costs a
// few dozen lines, not one per buffer. Any thread.
class RepeatingLogLine {
public:
    void write(std::string_view line, LogLevel level = LogLevel::info);
    std::uint64_t count() const { return count_.load(); }

private:
    std::atomic<std::uint64_t> count_{0};
};

// Shorthand for LogSink::shared().write(line, level).
void logLine(std::string_view line, LogLevel level = LogLevel::info);

}  // namespace qm
