#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qm {

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
    void write(std::string_view line);

    // `subscriber` is called on the writing thread, outside the sink's lock, once per line.
    [[nodiscard]] Subscription subscribe(Subscriber subscriber);

    // Standard error is on by default; tests that capture lines turn it off.
    void setWritesStandardError(bool enabled);

    struct State;

private:
    LogSink();
    std::shared_ptr<State> state_;
};

// Shorthand for LogSink::shared().write(line).
void logLine(std::string_view line);

}  // namespace qm
