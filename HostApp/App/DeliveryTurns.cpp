#include "HostApp/App/DeliveryTurns.h"

#include "Platform/Core/QueueCheck.h"

namespace qm {

std::shared_ptr<DeliveryTurns> DeliveryTurns::make(DispatchQueuePtr mainQueue) {
    return std::shared_ptr<DeliveryTurns>(new DeliveryTurns(std::move(mainQueue)));
}

void DeliveryTurns::post(const UUID& batchID, const std::optional<std::string>& viewer, bool last,
                         std::function<void()> work) {
    requireOnQueue(*mainQueue_, "DeliveryTurns::post");
    std::string line;
    if (auto known = batchLines_.find(batchID); known != batchLines_.end()) {
        line = known->second;
    } else if (viewer) {
        line = *viewer;
    }
    if (!line.empty()) batchLines_[batchID] = line;
    auto& waiting = lines_[line];
    if (waiting.empty()) rota_.push_back(line);
    waiting.push_back([weak = weak_from_this(), batchID, last, line, work = std::move(work)] {
        auto self = weak.lock();
        // Forgotten first: what the work reports about the batch afterwards starts afresh.
        if (self && last) {
            if (auto known = self->batchLines_.find(batchID); known != self->batchLines_.end() && known->second == line)
                self->batchLines_.erase(known);
        }
        work();
    });
    askForTurn();
}

std::size_t DeliveryTurns::waitingCount() const {
    std::size_t count = 0;
    for (const auto& [line, waiting] : lines_) count += waiting.size();
    return count;
}

void DeliveryTurns::askForTurn() {
    if (turnAsked_ || rota_.empty()) return;
    turnAsked_ = true;
    mainQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->serveNext();
    });
}

void DeliveryTurns::serveNext() {
    turnAsked_ = false;
    if (rota_.empty()) return;
    const auto line = std::move(rota_.front());
    rota_.pop_front();
    auto found = lines_.find(line);
    auto work = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty()) {
        lines_.erase(found);
    } else {
        rota_.push_back(line);
    }
    // The next turn is asked for first: the work may post more, and must not be served in its
    // place ahead of the others.
    askForTurn();
    work();
}

}  // namespace qm
