#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "Platform/Core/UUID.h"

namespace qm {

// The files of the Host user's drag that Viewers may pull, under an id that moves whenever the
// list changes (a new drag, another list, the drag ending), so a pull names exactly the list the
// Viewer was told of. Owned by the server queue.
class DragSnapshot {
public:
    std::uint32_t snapshotID() const { return snapshotID_; }
    const std::vector<std::filesystem::path>& urls() const { return urls_; }

    // Takes the files the drag offers now (empty: no drag); true when the list changed, and the
    // id with it.
    bool replace(std::vector<std::filesystem::path> files);
    // Item `index` of snapshot `snapshotID`; nothing for another snapshot or an index past the end.
    std::optional<std::filesystem::path> url(std::uint32_t snapshotID, std::uint32_t index) const;

    // A read of the drag is under way (one at a time).
    bool readInFlight = false;

    // The signed-in Viewers told of the current snapshot: a Viewer signing in during a drag hears
    // of it at the next poll. Reset whenever the id moves.
    std::set<UUID> announcedTo;
    void forget(const UUID& id) { announcedTo.erase(id); }
    std::size_t entryCount() const { return announcedTo.size(); }

private:
    std::uint32_t snapshotID_ = 0;
    std::vector<std::filesystem::path> urls_;
};

}  // namespace qm
