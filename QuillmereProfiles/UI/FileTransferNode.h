#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/UUID.h"

namespace qm {

// One row of the browser's local or Host tree. Nodes are compared by identity; a node's
// children keep it alive, its parent link is weak.
class FileTransferNode {
public:
    enum class Kind { volume, directory, file, placeholder };

    FileTransferNode(std::string name, std::string path, Kind kind, const std::shared_ptr<FileTransferNode>& parent);

    std::string name;
    std::string path;
    Kind kind;
    std::uint64_t size = 0;
    std::optional<double> modificationDate;  // seconds since 1970-01-01 00:00:00 UTC
    bool isChecked = false;
    bool isMixedState = false;
    std::weak_ptr<FileTransferNode> parent;
    // None = never listed; a list = the listed children (possibly only placeholder rows).
    std::optional<std::vector<std::shared_ptr<FileTransferNode>>> children;
    bool childrenLoaded = false;
    std::optional<UUID> pendingRequestID;

    bool isContainer() const { return kind == Kind::volume || kind == Kind::directory; }
    // Files: the upper-cased extension of the name, or U+FFFF when there is none, so files
    // without an extension sort last; other kinds: empty.
    std::string kindSortKey() const;
    // True when the first listed child is a placeholder row.
    bool firstChildIsPlaceholder() const;
};

using FileTransferNodePtr = std::shared_ptr<FileTransferNode>;

// One key of the tree order; no key compares by name.
struct FileTreeSortDescriptor {
    std::optional<std::string> key;
    bool ascending = true;
    friend bool operator==(const FileTreeSortDescriptor&, const FileTreeSortDescriptor&) = default;
};

// Case-insensitive name order (ASCII letters folded), negative / zero / positive.
int compareNamesCaseInsensitive(const std::string& a, const std::string& b);
// The extension after the last "." of a file name ("" for none, for ".hidden" and for "name.").
std::string pathExtension(const std::string& name);
std::string upperCased(std::string text);
// A leading "~" (alone or followed by "/") replaced with the home folder.
std::string expandTilde(const std::string& path, const std::string& home);
// Tilde expanded, made absolute, "." and ".." folded, no trailing slash (except "/").
std::string normalisedPath(const std::string& path, const std::string& home);

}  // namespace qm
