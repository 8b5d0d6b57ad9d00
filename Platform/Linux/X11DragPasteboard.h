#pragma once

#include <memory>
#include <string>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/DragPasteboard.h"

namespace qm {

// The drag in progress on an X server, read the way a drop target reads it: while the
// "XdndSelection" has an owner, the selection is converted to "text/uri-list" and its local
// files are taken (see `localFilesFromURIList`). Reads run one after the other on a queue of
// the reader's own, each waiting at most `answerTimeout` for the drag source, so whoever asks
// is never kept waiting on the desktop. A list larger than `maximumListBytes`, or one the source
// sends in pieces, counts as no files.
class X11DragPasteboard final : public DragPasteboard {
public:
    static constexpr double answerTimeout = 0.25;

    // Nothing when no X server answers at `name` (else $DISPLAY).
    static std::shared_ptr<X11DragPasteboard> open(const std::string& name = {});
    ~X11DragPasteboard() override;

    void readDraggedFiles(std::function<void(std::vector<std::filesystem::path>)> completion) override;

    struct Reader;

private:
    X11DragPasteboard(std::shared_ptr<Reader> reader, DispatchQueuePtr queue)
        : reader_(std::move(reader)), queue_(std::move(queue)) {}
    std::shared_ptr<Reader> reader_;
    DispatchQueuePtr queue_;
};

}  // namespace qm
