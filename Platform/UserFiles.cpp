#include "Platform/UserFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/Core/UUID.h"

namespace qm {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now; false when the close reports a failed write.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string errnoText(int error) { return std::strerror(error); }

}  // namespace

bool replaceFileInFolder(int folderFd, const std::string& name, std::span<const std::uint8_t> content, mode_t mode,
                         bool durable, std::string& error) {
    const std::string temporary = "." + name + ".tmp-" + UUID::random().uuidString();
    Descriptor file(::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.get() < 0) {
        error = "cannot create a temporary file: " + errnoText(errno);
        return false;
    }
    auto fail = [&](const std::string& what) {
        error = what + ": " + errnoText(errno);
        ::unlinkat(folderFd, temporary.c_str(), 0);
        return false;
    };
    std::size_t written = 0;
    while (written < content.size()) {
        const auto n = ::write(file.get(), content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("cannot write");
        written += static_cast<std::size_t>(n);
    }
    if (durable && ::fsync(file.get()) != 0) return fail("cannot flush");
    if (!file.close()) return fail("cannot write");
    if (::renameat(folderFd, temporary.c_str(), folderFd, name.c_str()) != 0) return fail("cannot replace");
    return true;
}

bool replaceFile(const std::filesystem::path& file, std::string_view content, mode_t mode, std::string& error) {
    const auto folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    Descriptor folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.get() < 0) {
        error = "cannot open " + folder.string() + ": " + errnoText(errno);
        return false;
    }
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    return replaceFileInFolder(folderFd.get(), file.filename().string(), bytes, mode, true, error);
}

UserFileRead readUserFile(const std::filesystem::path& file, std::size_t maxBytes) {
    using Outcome = UserFileRead::Outcome;
    UserFileRead result;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    Descriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        result.outcome = errno == ENOENT ? Outcome::missing : Outcome::failed;
        result.error = errnoText(errno);
        return result;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        result.error = errnoText(errno);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.outcome = Outcome::notRegularFile;
        result.error = "not a regular file";
        return result;
    }
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        result.outcome = Outcome::tooLarge;
        result.error = "larger than " + std::to_string(maxBytes) + " bytes";
        return result;
    }
    // The file may grow while it is read: one byte past the bound tells.
    std::string content(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            if (content.size() > maxBytes) break;
            content.resize(std::min(content.size() * 2, maxBytes + 1));
        }
        const auto n = ::read(fd.get(), content.data() + used, content.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.error = errnoText(errno);
            return result;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    if (used > maxBytes) {
        result.outcome = Outcome::tooLarge;
        result.error = "larger than " + std::to_string(maxBytes) + " bytes";
        return result;
    }
    content.resize(used);
    result.outcome = Outcome::read;
    result.content = std::move(content);
    return result;
}

}  // namespace qm
