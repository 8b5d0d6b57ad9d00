#include "Platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace qm {

DynamicLibrary::~DynamicLibrary() {
    close();
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DynamicLibrary DynamicLibrary::open(const std::string& path, std::string& error) {
    DynamicLibrary library;
    ::dlerror();
    library.handle_ = ::dlopen(path.c_str(), RTLD_NOW);
    if (!library.handle_) {
        const char* text = ::dlerror();
        error = text ? text : "";
    }
    return library;
}

void* DynamicLibrary::symbol(const std::string& name, std::string& error) const {
    if (!handle_) return nullptr;
    ::dlerror();
    void* address = ::dlsym(handle_, name.c_str());
    if (!address) {
        const char* text = ::dlerror();
        error = text ? text : "";
    }
    return address;
}

void DynamicLibrary::close() {
    if (handle_) ::dlclose(std::exchange(handle_, nullptr));
}

}  // namespace qm
