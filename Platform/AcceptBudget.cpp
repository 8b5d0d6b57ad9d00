#include "Platform/AcceptBudget.h"

#include <utility>

namespace qm {

void AcceptBudget::Place::release() {
    if (auto budget = std::exchange(budget_, nullptr)) budget->giveBack();
}

std::shared_ptr<AcceptBudget> AcceptBudget::make(std::size_t places) {
    return std::shared_ptr<AcceptBudget>(new AcceptBudget(places));
}

AcceptBudget::Place AcceptBudget::take(std::function<void()> whenFree) {
    std::lock_guard lock(mutex_);
    if (held_ < capacity_) {
        ++held_;
        return Place(shared_from_this());
    }
    if (whenFree) waiting_.push_back(std::move(whenFree));
    return Place();
}

std::size_t AcceptBudget::held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

void AcceptBudget::giveBack() {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard lock(mutex_);
        if (held_ > 0) --held_;
        waiting.swap(waiting_);
    }
    // Every waiter tries again; those that find the place taken by another wait anew.
    for (auto& waiter : waiting) waiter();
}

}  // namespace qm
