#pragma once

#include <string>

namespace qm {

// A shared object opened by path (dlopen with RTLD_NOW), closed when this goes away.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Opens the library; on failure `isOpen()` is false and `error` holds the loader's text
    // (possibly empty).
    static DynamicLibrary open(const std::string& path, std::string& error);
    bool isOpen() const { return handle_ != nullptr; }
    // The symbol's address, or null with the loader's text in `error`.
    void* symbol(const std::string& name, std::string& error) const;
    void close();

private:
    void* handle_ = nullptr;
};

}  // namespace qm
