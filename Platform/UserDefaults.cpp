#include "Platform/UserDefaults.h"

#include <cstring>
#include <system_error>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/LogText.h"
#include "Platform/Json.h"
#include "Platform/UserFiles.h"

namespace qm {

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    auto stored = read(key);
    if (!stored) return std::nullopt;
    if (auto* text = std::get_if<std::string>(&*stored)) return *text;
    return std::nullopt;
}

bool UserDefaults::boolean(const std::string& key) const {
    auto stored = read(key);
    if (!stored) return false;
    if (auto* flag = std::get_if<bool>(&*stored)) return *flag;
    return false;
}

std::optional<UserDefaults::Value> UserDefaults::value(const std::string& key) const { return read(key); }

std::optional<UserDefaults::Bytes> UserDefaults::data(const std::string& key) const {
    auto stored = read(key);
    if (!stored) return std::nullopt;
    if (auto* bytes = std::get_if<Bytes>(&*stored)) return *bytes;
    return std::nullopt;
}

void UserDefaults::setData(const std::string& key, Bytes value) { write(key, Value(std::move(value))); }

namespace {
constexpr char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const UserDefaults::Bytes& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t chunk = (std::uint32_t(bytes[i]) << 16) |
                                    (i + 1 < bytes.size() ? std::uint32_t(bytes[i + 1]) << 8 : 0) |
                                    (i + 2 < bytes.size() ? std::uint32_t(bytes[i + 2]) : 0);
        out += base64Alphabet[(chunk >> 18) & 63];
        out += base64Alphabet[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? base64Alphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? base64Alphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<UserDefaults::Bytes> unbase64(const std::string& text) {
    UserDefaults::Bytes out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        const char* found = std::strchr(base64Alphabet, c);
        if (!found || c == '\0') return std::nullopt;
        buffer = (buffer << 6) | static_cast<std::uint32_t>(found - base64Alphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}
}  // namespace
void UserDefaults::set(const std::string& key, Value value) { write(key, std::move(value)); }
void UserDefaults::remove(const std::string& key) { write(key, std::nullopt); }

std::optional<UserDefaults::Value> InMemoryUserDefaults::read(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

void InMemoryUserDefaults::write(const std::string& key, std::optional<Value> value) {
    std::lock_guard lock(mutex_);
    if (value) {
        values_[key] = std::move(*value);
    } else {
        values_.erase(key);
    }
}

JsonFileUserDefaults::JsonFileUserDefaults(std::filesystem::path file,
                                           std::function<void(const std::string&)> onWriteFailure)
    : file_(std::move(file)), onWriteFailure_(std::move(onWriteFailure)) {
    load();
}

std::string JsonFileUserDefaults::problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

void JsonFileUserDefaults::load() {
    const auto read = readUserFile(file_, maxFileBytes);
    if (read.outcome == UserFileRead::Outcome::missing) return;
    auto parsed = read.outcome == UserFileRead::Outcome::read ? parseJson(read.content)
                                                                : nlohmann::json(nlohmann::json::value_t::discarded);
    if (parsed.is_discarded() || !parsed.is_object()) {
        // Keep what is there for the user to recover; start empty beside it. A FIFO, device or
        // oversized file is moved aside unopened, so the next rewrite cannot replace it.
        std::error_code error;
        std::filesystem::path aside;
        for (int n = 1; n < 1000; ++n) {
            aside = file_;
            aside += ".unreadable-" + std::to_string(n);
            if (!std::filesystem::exists(std::filesystem::symlink_status(aside, error))) break;
        }
        std::filesystem::rename(file_, aside, error);
        const std::string why = read.outcome == UserFileRead::Outcome::read ? "" : " (" + read.error + ")";
        problem_ = "could not read " + file_.string() + why +
                   (error ? "; it could not be moved aside: " + error.message() : "; kept as " + aside.string());
        return;
    }
    for (auto& [key, item] : parsed.items()) {
        if (item.is_boolean()) {
            values_[key] = item.get<bool>();
            continue;
        }
        if (item.is_string()) {
            values_[key] = item.get<std::string>();
            continue;
        }
        if (item.is_object() && item.size() == 1 && item.contains("base64") && item["base64"].is_string()) {
            // Only text this domain writes back the same is read as bytes; the rest is kept as it is.
            const auto& text = item["base64"].get_ref<const std::string&>();
            if (auto bytes = unbase64(text); bytes && base64(*bytes) == text) {
                values_[key] = std::move(*bytes);
                continue;
            }
        }
        // Written by another application of the product, or by hand: not ours to drop.
        others_[key] = jsonText(item);
    }
}

void JsonFileUserDefaults::reportLocked(const std::string& key, const std::string& cause) {
    if (!onWriteFailure_) {
        problem_ = cause;
        return;
    }
    if (!reported_.emplace(key, cause).second) return;
    onWriteFailure_("could not save \"" + key + "\" in " + file_.string() + " (" + cause +
                    "); the change holds until the Host quits");
}

void JsonFileUserDefaults::saveLocked(const std::string& key) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [otherKey, text] : others_) object[otherKey] = parseJson(text);
    for (const auto& entry : values_) {
        const std::string& valueKey = entry.first;
        if (auto* bytes = std::get_if<Bytes>(&entry.second)) {
            object[valueKey] = nlohmann::json{{"base64", base64(*bytes)}};
        } else if (auto* flag = std::get_if<bool>(&entry.second)) {
            object[valueKey] = *flag;
        } else {
            object[valueKey] = std::get<std::string>(entry.second);
        }
    }
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    std::string failure;
    // Every text in it was checked to be UTF-8 on the way in, so the writer has nothing to refuse.
    if (!replaceFile(file_, jsonText(object, 2) + "\n", 0600, failure)) {
        reportLocked(key, failure);
    }
}

std::optional<UserDefaults::Value> JsonFileUserDefaults::read(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

void JsonFileUserDefaults::write(const std::string& key, std::optional<Value> value) {
    std::lock_guard lock(mutex_);
    if (value) {
        const auto* text = std::get_if<std::string>(&*value);
        if (!isValidUTF8(key) || (text && !isValidUTF8(*text))) {
            reportLocked(isValidUTF8(key) ? key : escapedForLog(key), "the text is not UTF-8; not stored");
            return;
        }
        auto found = values_.find(key);
        if (found != values_.end() && found->second == *value) return;
        values_[key] = std::move(*value);
        others_.erase(key);
    } else if (values_.erase(key) + others_.erase(key) == 0) {
        return;
    }
    saveLocked(key);
}

std::shared_ptr<UserDefaults> InMemoryUserDefaultsStore::suite(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (unavailable_.count(name)) return nullptr;
    auto& entry = suites_[name];
    if (!entry) entry = std::make_shared<InMemoryUserDefaults>();
    return entry;
}

void InMemoryUserDefaultsStore::makeSuiteUnavailable(const std::string& name) {
    std::lock_guard lock(mutex_);
    unavailable_[name] = true;
    suites_.erase(name);
}

JsonFileUserDefaultsStore::JsonFileUserDefaultsStore(std::filesystem::path folder, std::string standardName,
                                                     std::function<void(const std::string&)> onWriteFailure)
    : folder_(std::move(folder)), standardName_(std::move(standardName)), onWriteFailure_(std::move(onWriteFailure)) {}

std::shared_ptr<JsonFileUserDefaults> JsonFileUserDefaultsStore::open(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto& entry = files_[name];
    if (!entry) entry = std::make_shared<JsonFileUserDefaults>(folder_ / (name + ".json"), onWriteFailure_);
    return entry;
}

std::shared_ptr<UserDefaults> JsonFileUserDefaultsStore::standard() { return open(standardName_); }

std::shared_ptr<UserDefaults> JsonFileUserDefaultsStore::suite(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos || name == standardName_) {
        return nullptr;
    }
    return open(name);
}

std::vector<std::string> JsonFileUserDefaultsStore::problems() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [name, file] : files_) {
        if (auto text = file->problem(); !text.empty()) lines.push_back(text);
    }
    return lines;
}

}  // namespace qm
