#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qm {

// Places for the connections a set of listeners accepted and their owner has not taken in yet
// (on the Host: connections that have not signed in). A listener holds a place before it accepts
// and hands it to the connection it accepts, which gives it back when its socket is closed or its
// owner takes it in. A listener finds every place held and stops accepting until one is given
// back, so what waits between `accept` and the owner's judgement is bounded by the places however
// far behind the owner's queue is; the kernel's backlog and TCP hold the rest off. Thread-safe.
class AcceptBudget : public std::enable_shared_from_this<AcceptBudget> {
public:
    // A held place; given back when it is released or destroyed. Moves, never copies.
    class Place {
    public:
        Place() = default;
        Place(Place&& other) noexcept : budget_(std::move(other.budget_)) {}
        Place& operator=(Place&& other) noexcept {
            if (this != &other) {
                release();
                budget_ = std::move(other.budget_);
            }
            return *this;
        }
        Place(const Place&) = delete;
        Place& operator=(const Place&) = delete;
        ~Place() { release(); }
        explicit operator bool() const { return budget_ != nullptr; }
        void release();

    private:
        friend class AcceptBudget;
        explicit Place(std::shared_ptr<AcceptBudget> budget) : budget_(std::move(budget)) {}
        std::shared_ptr<AcceptBudget> budget_;
    };

    static std::shared_ptr<AcceptBudget> make(std::size_t places);

    // A place, or an empty one when every place is held: `whenFree` is then called once, on the
    // thread that gives the next place back and with no lock held, so the caller can try again.
    Place take(std::function<void()> whenFree);
    std::size_t capacity() const { return capacity_; }
    std::size_t held() const;

private:
    explicit AcceptBudget(std::size_t places) : capacity_(places) {}
    void giveBack();

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::size_t held_ = 0;
    std::vector<std::function<void()>> waiting_;
};

}  // namespace qm
