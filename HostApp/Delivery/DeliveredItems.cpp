#include "HostApp/Delivery/DeliveredItems.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <span>
#include <vector>

#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/ConfinedFiles.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

// rename(2) that never replaces what is at `to`.
std::error_code renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    return {errno, std::generic_category()};
}

std::error_code lastError() { return {errno, std::generic_category()}; }

// The bytes of the open `in` into the open `out`.
std::error_code copyBytes(int in, int out) {
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const auto n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) return {};
        if (n < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        if (!writeAll(out, std::span(buffer.data(), static_cast<std::size_t>(n)))) return lastError();
    }
}

// Copies `from` to `to`, taking the name `to` only if nothing holds it: a file is created with
// O_EXCL, a folder with mkdir, a link with symlink, each of which fails on a name that exists.
// When the copy fails, only what it made itself is removed: an item that took the name
// meanwhile is someone else's and stays.
std::error_code copyTree(const fs::path& from, const fs::path& to) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) return lastError();
    std::error_code error;
    if (S_ISREG(info.st_mode)) {
        FileDescriptor in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!in.valid()) return lastError();
        FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid()) return lastError();
        error = copyBytes(in.get(), out.get());
        if (!error && ::fchmod(out.get(), info.st_mode & 07777) != 0) error = lastError();
    } else if (S_ISDIR(info.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0) return lastError();
        // Inside a folder of its own making, the children's names are free.
        fs::directory_iterator child(from, error);
        while (!error && child != fs::directory_iterator()) {
            fs::copy(child->path(), to / child->path().filename(),
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
            if (!error) child.increment(error);
        }
        if (!error && ::chmod(to.c_str(), info.st_mode & 07777) != 0) error = lastError();
    } else if (S_ISLNK(info.st_mode)) {
        const auto target = fs::read_symlink(from, error);
        if (error) return error;
        if (::symlink(target.c_str(), to.c_str()) != 0) return lastError();
    } else {
        return std::make_error_code(std::errc::not_supported);
    }
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
