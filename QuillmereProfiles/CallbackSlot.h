#pragma once

#include <functional>
#include <mutex>
#include <utility>

namespace qm {

// A callback that its owner may replace while other threads call it: assignment and reading
// both take the slot's own lock, and a caller works on the copy it read.
template <class Signature>
class CallbackSlot {
public:
    CallbackSlot() = default;
    CallbackSlot(const CallbackSlot&) = delete;
    CallbackSlot& operator=(const CallbackSlot&) = delete;

    CallbackSlot& operator=(std::function<Signature> function) {
        std::lock_guard lock(mutex_);
        function_ = std::move(function);
        return *this;
    }
    std::function<Signature> get() const {
        std::lock_guard lock(mutex_);
        return function_;
    }
    explicit operator bool() const {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(function_);
    }
    // Calls the callback read now; nothing when it is empty.
    template <class... Args>
    void operator()(Args&&... args) const {
        if (auto function = get()) function(std::forward<Args>(args)...);
    }

private:
    mutable std::mutex mutex_;
    std::function<Signature> function_;
};

}  // namespace qm
