#include "HostApp/Delivery/DeliveredItems.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

#include "Platform/Core/UUID.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

// rename(2) that never replaces what is at `to`.
std::error_code renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    return {errno, std::generic_category()};
}

std::error_code copyTree(const fs::path& from, const fs::path& to) {
    std::error_code error;
    if (itemExists(to)) return std::make_error_code(std::errc::file_exists);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
    }
    return error;
}

// A hidden name beside `target` that nothing uses.
fs::path temporarySibling(const fs::path& target, const char* purpose) {
    for (;;) {
        auto candidate = target.parent_path() /
                         ("." + target.filename().string() + "." + purpose + "-" + UUID::random().uuidString().substr(0, 8));
        if (!itemExists(candidate)) return candidate;
    }
}

// The stem and extension as the file manager sees them: "archive.tar.gz" is "archive.tar" and "gz",
// ".profile" has no extension.
std::pair<std::string, std::string> splitName(const fs::path& name) {
    return {name.stem().string(), name.has_extension() ? name.extension().string().substr(1) : std::string()};
}

}  // namespace

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

std::error_code moveItem(const fs::path& from, const fs::path& to) {
    auto error = renameNoReplace(from, to);
    if (!error) return {};
    if (error.value() == EEXIST) return error;
    if (auto copied = copyTree(from, to)) return copied;
    std::error_code ignored;
    fs::remove_all(from, ignored);
    return {};
}

std::error_code replaceItem(const fs::path& from, const fs::path& target) {
    // 1. The new item beside the target. A rename keeps `from` recoverable by renaming back; a
    //    copy leaves `from` untouched until the end.
    const auto incoming = temporarySibling(target, "incoming");
    bool renamed = true;
    if (auto error = renameNoReplace(from, incoming)) {
        if (error.value() != EXDEV) return error;
        if (auto copied = copyTree(from, incoming)) return copied;
        renamed = false;
    }
    auto undoIncoming = [&] {
        std::error_code ignored;
        if (renamed) {
            renameNoReplace(incoming, from);
        } else {
            fs::remove_all(incoming, ignored);
        }
    };
    // 2. The old item aside, 3. the new one into its place.
    const auto aside = temporarySibling(target, "replaced");
    if (auto error = renameNoReplace(target, aside)) {
        undoIncoming();
        return error;
    }
    if (auto error = renameNoReplace(incoming, target)) {
        renameNoReplace(aside, target);
        undoIncoming();
        return error;
    }
    // 4. Only now is the old item gone.
    std::error_code ignored;
    fs::remove_all(aside, ignored);
    if (!renamed) fs::remove_all(from, ignored);
    return {};
}

fs::path numberedDestination(const fs::path& folder, const fs::path& name) {
    auto candidate = folder / name;
    const auto [stem, extension] = splitName(name);
    for (int n = 1; itemExists(candidate); ++n) {
        candidate = folder / (stem + " " + std::to_string(n) + (extension.empty() ? "" : "." + extension));
    }
    return candidate;
}

fs::path uniqueDestination(const fs::path& url) {
    auto candidate = url;
    const auto [stem, extension] = splitName(url.filename());
    for (int counter = 1; itemExists(candidate); ++counter) {
        const std::string suffix = counter == 1 ? " copy" : " copy " + std::to_string(counter);
        candidate = url.parent_path() / (stem + suffix + (extension.empty() ? "" : "." + extension));
    }
    return candidate;
}

}  // namespace qm
