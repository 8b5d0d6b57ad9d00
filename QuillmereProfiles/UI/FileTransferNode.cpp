#include "QuillmereProfiles/UI/FileTransferNode.h"

#include <cctype>
#include <filesystem>

namespace qm {

FileTransferNode::FileTransferNode(std::string name, std::string path, Kind kind,
                                   const std::shared_ptr<FileTransferNode>& parent)
    : name(std::move(name)), path(std::move(path)), kind(kind), parent(parent) {}

std::string FileTransferNode::kindSortKey() const {
    if (kind != Kind::file) return {};
    const auto ext = pathExtension(name);
    if (ext.empty()) return "\xEF\xBF\xBF";  // U+FFFF in UTF-8
    return upperCased(ext);
}

bool FileTransferNode::firstChildIsPlaceholder() const {
    return children && !children->empty() && children->front()->kind == Kind::placeholder;
}

int compareNamesCaseInsensitive(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(a[i])));
        const auto cb = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(b[i])));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string pathExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
    if (name.find('/', dot) != std::string::npos) return {};
    return name.substr(dot + 1);
}

std::string upperCased(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string expandTilde(const std::string& path, const std::string& home) {
    if (path == "~") return home;
    if (path.starts_with("~/")) {
        if (home.ends_with("/")) return home + path.substr(2);
        return home + path.substr(1);
    }
    return path;
}

std::string normalisedPath(const std::string& path, const std::string& home) {
    std::filesystem::path p = expandTilde(path, home);
    if (p.empty()) p = "/";
    if (p.is_relative()) p = std::filesystem::path(home) / p;
    auto s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace qm
