#pragma once

// One fuzz target is one function over a byte string. Its source registers it by name and is
// compiled once: the replay driver links every target and runs saved inputs through each in one
// process (with any compiler); each libFuzzer executable links one target and the entry point
// that hands libFuzzer's inputs to the one target it finds registered.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace qm::fuzz {

using TargetFunction = std::function<void(std::span<const std::uint8_t>)>;

// Every target registered in this process, by name.
std::map<std::string, TargetFunction>& registeredTargets();
bool registerTarget(const char* name, TargetFunction function);

// Stops the process with a message when a property fails: libFuzzer saves the input, the replay
// driver's test fails.
[[noreturn]] void fail(const char* file, int line, const char* condition, std::string_view detail);

// Reads structure out of the fuzz input front to back; past the end everything reads as zero or
// empty, so a target never has to check the length itself.
class FuzzInput {
public:
    explicit FuzzInput(std::span<const std::uint8_t> data) : data_(data) {}

    bool empty() const { return data_.empty(); }
    std::size_t remaining() const { return data_.size(); }

    std::uint8_t byte() {
        if (data_.empty()) return 0;
        const auto value = data_.front();
        data_ = data_.subspan(1);
        return value;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }
    bool flag() { return (byte() & 1) != 0; }
    // Up to `count` bytes.
    std::span<const std::uint8_t> take(std::size_t count) {
        const auto n = count < data_.size() ? count : data_.size();
        auto part = data_.first(n);
        data_ = data_.subspan(n);
        return part;
    }
    // A string of one length byte's worth of bytes.
    std::string shortString() {
        auto part = take(byte());
        return {part.begin(), part.end()};
    }
    std::span<const std::uint8_t> rest() { return take(data_.size()); }

private:
    std::span<const std::uint8_t> data_;
};

}  // namespace qm::fuzz

#define QM_FUZZ_CHECK(condition, detail)                                                   \
    do {                                                                                   \
        if (!(condition)) ::qm::fuzz::fail(__FILE__, __LINE__, #condition, (detail));      \
    } while (false)

#define QM_FUZZ_ENTRY_(name) \
    [[maybe_unused]] static const bool qmFuzzRegistered_##name = ::qm::fuzz::registerTarget(#name, qmFuzzBody_##name);

// Defines a target: QM_FUZZ_TARGET(payloads) { ... uses `data` ... }
#define QM_FUZZ_TARGET(name)                                            \
    static void qmFuzzBody_##name(std::span<const std::uint8_t> data); \
    QM_FUZZ_ENTRY_(name)                                                \
    static void qmFuzzBody_##name(std::span<const std::uint8_t> data)
