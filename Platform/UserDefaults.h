#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// The user's settings store: byte values by key.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual std::optional<std::vector<std::uint8_t>> data(const std::string& key) const = 0;
    virtual void setData(const std::string& key, std::vector<std::uint8_t> value) = 0;
};

// Held in memory only: tests, and a process that keeps nothing between runs.
class InMemoryUserDefaults : public UserDefaults {
public:
    std::optional<std::vector<std::uint8_t>> data(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        return it->second;
    }
    void setData(const std::string& key, std::vector<std::uint8_t> value) override {
        std::lock_guard lock(mutex_);
        values_[key] = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<std::uint8_t>> values_;
};

}  // namespace qm
