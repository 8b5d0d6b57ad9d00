#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

namespace qm {

// The files the desktop's user is dragging right now, as the drag's pasteboard offers them.
class DragPasteboard {
public:
    // At most this many files are taken from one drag; the rest of a longer list is left out.
    static constexpr std::size_t maximumFiles = 256;
    // A file list larger than this is not read at all: the drag then offers no files.
    static constexpr std::size_t maximumListBytes = 256 * 1024;

    virtual ~DragPasteboard() = default;
    // Reads the local files of the drag in progress and hands them to `completion` exactly once,
    // on any thread, possibly before returning: empty when nothing is being dragged or the drag
    // offers no local files. Never keeps the calling thread waiting on the desktop.
    virtual void readDraggedFiles(std::function<void(std::vector<std::filesystem::path>)> completion) = 0;
};

// A drag held in memory, for tests and for a Host without a desktop (nothing is ever dragged).
// Answers at once on the calling thread. Thread-safe.
class InMemoryDragPasteboard final : public DragPasteboard {
public:
    // The user starts dragging these files (or drags other ones).
    void beginDrag(std::vector<std::filesystem::path> files);
    // The user drops or abandons the drag.
    void endDrag();
    // How many reads were asked for.
    std::size_t readCount() const;

    void readDraggedFiles(std::function<void(std::vector<std::filesystem::path>)> completion) override;

private:
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> files_;
    std::size_t reads_ = 0;
};

// The local files named by a "text/uri-list" (one URI a line, CR LF or LF, "#" lines are
// comments): "file:" URIs whose host is empty or "localhost", percent-decoded, absolute, without
// NUL. Other URIs and malformed lines are skipped; at most `DragPasteboard::maximumFiles` files.
std::vector<std::filesystem::path> localFilesFromURIList(std::string_view list);

}  // namespace qm
