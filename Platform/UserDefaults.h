#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace qm {

// One domain of the user's preferences: string, Boolean and byte values under dotted keys. A
// value of another type under a key reads as absent through the accessor of the wrong type.
// Thread-safe.
class UserDefaults {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Value = std::variant<bool, std::string, Bytes>;
    virtual ~UserDefaults() = default;

    std::optional<std::string> string(const std::string& key) const;
    // An absent key, or one that holds a string, reads as false.
    bool boolean(const std::string& key) const;
    std::optional<Value> value(const std::string& key) const;

    void set(const std::string& key, Value value);
    void remove(const std::string& key);
    // Byte values (stored as base64 text in a file).
    std::optional<Bytes> data(const std::string& key) const;
    void setData(const std::string& key, Bytes value);

protected:
    virtual std::optional<Value> read(const std::string& key) const = 0;
    virtual void write(const std::string& key, std::optional<Value> value) = 0;
};

// A domain kept in memory: the tests' defaults, and the fallback when no file can be used.
class InMemoryUserDefaults final : public UserDefaults {
protected:
    std::optional<Value> read(const std::string& key) const override;
    void write(const std::string& key, std::optional<Value> value) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

// A domain stored as one JSON object in a file. Every change rewrites the file atomically (a new
// file of a random name in the same folder, then a rename), so a crash leaves the old or the new
// file. Only a regular file of at most `maxFileBytes` is read, and nothing waits on it; a file that
// is not one, or cannot be parsed, is moved aside (its name plus ".unreadable-<n>") and the domain
// starts empty; `problem()` then says so, for the owner to log. Members the domain does not
// understand (numbers, arrays, null, other objects, bytes that are not base64) are kept as they
// are and written back with every rewrite. Text that is not UTF-8 is refused, not stored. A
// rewrite that fails is reported through `onWriteFailure` once per key and cause. Nothing is ever
// silently dropped.
class JsonFileUserDefaults final : public UserDefaults {
public:
    static constexpr std::size_t maxFileBytes = 1u << 20;

    explicit JsonFileUserDefaults(std::filesystem::path file,
                                  std::function<void(const std::string&)> onWriteFailure = {});
    const std::filesystem::path& file() const { return file_; }
    // Empty when the file loaded (or did not exist yet); else what went wrong.
    std::string problem() const;

protected:
    std::optional<Value> read(const std::string& key) const override;
    void write(const std::string& key, std::optional<Value> value) override;

private:
    void load();
    void saveLocked(const std::string& key);
    void reportLocked(const std::string& key, const std::string& cause);

    std::filesystem::path file_;
    std::function<void(const std::string&)> onWriteFailure_;
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
    // Members of the file this domain does not read: key -> the member's JSON text.
    std::map<std::string, std::string> others_;
    std::set<std::pair<std::string, std::string>> reported_;
    std::string problem_;
};

// The standard domain of the running application and the named suites it shares with the
// product's other applications.
class UserDefaultsStore {
public:
    virtual ~UserDefaultsStore() = default;
    virtual std::shared_ptr<UserDefaults> standard() = 0;
    // Null when the suite cannot be opened.
    virtual std::shared_ptr<UserDefaults> suite(const std::string& name) = 0;
};

class InMemoryUserDefaultsStore final : public UserDefaultsStore {
public:
    std::shared_ptr<UserDefaults> standard() override { return standard_; }
    std::shared_ptr<UserDefaults> suite(const std::string& name) override;
    // A suite that cannot be opened, as when its storage is unavailable.
    void makeSuiteUnavailable(const std::string& name);

private:
    std::mutex mutex_;
    std::shared_ptr<UserDefaults> standard_ = std::make_shared<InMemoryUserDefaults>();
    std::map<std::string, std::shared_ptr<UserDefaults>> suites_;
    std::map<std::string, bool> unavailable_;
};

// Files under one folder: "<folder>/<standardName>.json" for the standard domain and
// "<folder>/<suite name>.json" for a suite. A suite name that is not a plain file name is refused.
class JsonFileUserDefaultsStore final : public UserDefaultsStore {
public:
    // `onWriteFailure` hears every file's failed rewrites (see `JsonFileUserDefaults`).
    JsonFileUserDefaultsStore(std::filesystem::path folder, std::string standardName,
                              std::function<void(const std::string&)> onWriteFailure = {});
    std::shared_ptr<UserDefaults> standard() override;
    std::shared_ptr<UserDefaults> suite(const std::string& name) override;
    // The problems of every file opened so far, one line each.
    std::vector<std::string> problems() const;

private:
    std::shared_ptr<JsonFileUserDefaults> open(const std::string& name);

    std::filesystem::path folder_;
    std::string standardName_;
    std::function<void(const std::string&)> onWriteFailure_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<JsonFileUserDefaults>> files_;
};

}  // namespace qm
