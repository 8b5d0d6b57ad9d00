#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/UUID.h"

namespace qm {

// Delivery's share of the main queue, served by turns per Viewer. The file service reports every
// batch's events on the main queue in the order the batches reached it, so a Viewer that sends a
// burst of batches would put all of its work ahead of another Viewer's next batch. Here each event
// waits in the line of the Viewer that sent its batch (the Host's own line for events of no
// Viewer: outgoing batches), and the lines are served round robin, one event per main-queue block:
// another Viewer's batch waits for at most one event of each busy line. A batch's events stay in
// order: they all go to the line its first event went to. Main queue only.
class DeliveryTurns : public std::enable_shared_from_this<DeliveryTurns> {
public:
    static std::shared_ptr<DeliveryTurns> make(DispatchQueuePtr mainQueue);

    // Queues `work` in the line of the batch's Viewer: the one `viewer` names, else the one the
    // batch's earlier events went to, else the Host's. `last`: the batch's final event; once it
    // ran, the batch's line is forgotten.
    void post(const UUID& batchID, const std::optional<std::string>& viewer, bool last, std::function<void()> work);
    // Events waiting, and the batches whose line is remembered (both only while work waits or
    // runs), so a leak shows.
    std::size_t waitingCount() const;
    std::size_t rememberedBatchCount() const { return batchLines_.size(); }

private:
    explicit DeliveryTurns(DispatchQueuePtr mainQueue) : mainQueue_(std::move(mainQueue)) {}
    void askForTurn();
    void serveNext();

    DispatchQueuePtr mainQueue_;
    // The lines, by Viewer ("" is the Host's), and those with work in the order they are served.
    std::map<std::string, std::deque<std::function<void()>>> lines_;
    std::deque<std::string> rota_;
    std::map<UUID, std::string> batchLines_;
    bool turnAsked_ = false;
};

}  // namespace qm
