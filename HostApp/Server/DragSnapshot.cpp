#include "HostApp/Server/DragSnapshot.h"

namespace qm {

bool DragSnapshot::replace(std::vector<std::filesystem::path> files) {
    if (files == urls_) return false;
    urls_ = std::move(files);
    ++snapshotID_;
    announcedTo.clear();
    return true;
}

std::optional<std::filesystem::path> DragSnapshot::url(std::uint32_t snapshotID, std::uint32_t index) const {
    if (snapshotID != snapshotID_ || index >= urls_.size()) return std::nullopt;
    return urls_[index];
}

}  // namespace qm
