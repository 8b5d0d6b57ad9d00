#pragma once

#include <sys/mount.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace qm::test {

// A small file system of its own (tmpfs) at `at`, mounted for the object's lifetime, which the
// test can fill or turn read-only (read-only holds even for root). Needs the right to mount:
// tests skip when mounted() is false.
class SmallDisk {
public:
    SmallDisk(const std::filesystem::path& at, std::size_t bytes) : at_(at), size_("size=" + std::to_string(bytes)) {
        std::filesystem::create_directories(at);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, size_.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    bool makeReadOnly() { return ::mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, size_.c_str()) == 0; }

private:
    std::filesystem::path at_;
    std::string size_;
    bool mounted_ = false;
};

}  // namespace qm::test
