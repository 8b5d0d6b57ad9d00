#include "Platform/DragPasteboard.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "Platform/Core/HexDigits.h"

namespace qm {

void InMemoryDragPasteboard::beginDrag(std::vector<std::filesystem::path> files) {
    std::lock_guard lock(mutex_);
    files_ = std::move(files);
}

void InMemoryDragPasteboard::endDrag() {
    std::lock_guard lock(mutex_);
    files_.clear();
}

std::size_t InMemoryDragPasteboard::readCount() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

void InMemoryDragPasteboard::readDraggedFiles(std::function<void(std::vector<std::filesystem::path>)> completion) {
    std::vector<std::filesystem::path> files;
    {
        std::lock_guard lock(mutex_);
        ++reads_;
        files = files_;
    }
    if (files.size() > DragPasteboard::maximumFiles) files.resize(DragPasteboard::maximumFiles);
    completion(std::move(files));
}

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

// The path of one "file:" URI, or nothing for another scheme, a remote host or a bad escape.
std::optional<std::filesystem::path> localFilePath(std::string_view uri) {
    if (!startsWithNoCase(uri, "file:")) return std::nullopt;
    std::string_view rest = uri.substr(5);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        const auto host = rest.substr(0, slash);
        // Another machine's file is nothing the Host can send.
        if (!host.empty() && !(host.size() == 9 && startsWithNoCase(host, "localhost"))) return std::nullopt;
        rest.remove_prefix(slash);
    }
    if (!rest.starts_with('/')) return std::nullopt;
    std::string decoded;
    decoded.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            decoded.push_back(rest[i]);
            continue;
        }
        const int high = i + 1 < rest.size() ? hexDigitValue(rest[i + 1]) : -1;
        const int low = i + 2 < rest.size() ? hexDigitValue(rest[i + 2]) : -1;
        if (high < 0 || low < 0) return std::nullopt;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (decoded.find('\0') != std::string::npos) return std::nullopt;
    return std::filesystem::path(decoded);
}

}  // namespace

std::vector<std::filesystem::path> localFilesFromURIList(std::string_view list) {
    std::vector<std::filesystem::path> files;
    while (!list.empty() && files.size() < DragPasteboard::maximumFiles) {
        const auto end = list.find('\n');
        std::string_view line = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        if (auto path = localFilePath(line)) files.push_back(std::move(*path));
    }
    return files;
}

}  // namespace qm
