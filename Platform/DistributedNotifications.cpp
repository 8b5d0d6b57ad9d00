#include "Platform/DistributedNotifications.h"

namespace qm {

void InMemoryDistributedNotificationCenter::post(const std::string& name, const UserInfo& userInfo) {
    std::vector<Observer> targets;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& [id, observer] : state_->observers) {
            if (observer.name == name) targets.push_back(observer);
        }
    }
    for (auto& target : targets) {
        target.queue->async([handler = target.handler, userInfo] { handler(userInfo); });
    }
}

std::shared_ptr<void> InMemoryDistributedNotificationCenter::observe(const std::string& name, DispatchQueuePtr queue,
                                                                     Handler handler) {
    std::uint64_t id;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextID++;
        state_->observers.emplace_back(id, Observer{name, std::move(queue), std::move(handler)});
    }
    std::weak_ptr<State> weak = state_;
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
        auto state = weak.lock();
        if (!state) return;
        std::lock_guard lock(state->mutex);
        std::erase_if(state->observers, [id](const auto& entry) { return entry.first == id; });
    });
}

std::size_t InMemoryDistributedNotificationCenter::observerCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->observers.size();
}

}  // namespace qm
