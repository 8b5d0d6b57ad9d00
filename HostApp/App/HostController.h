#pragma once

#include <functional>
#include <memory>
#include <string>

#include "HostApp/App/HostAppEnvironment.h"

namespace qm {

class HostProbeDelegate;

// What every controller of the application shares: the delegate that made it (and outlives it:
// the delegate is a controller's only owner, and closures hold controllers weakly), the
// environment, and the log. Controllers run on the main queue.
class HostController {
public:
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

protected:
    explicit HostController(HostProbeDelegate& app) : app_(app) {}
    ~HostController() = default;

    const HostAppEnvironment& env() const;
    // Appends one line to the diagnostic log (in memory; the terminal only with QM_LOG_DETAIL=1).
    static void log(const std::string& message);

    HostProbeDelegate& app_;
};

// A controller that hands out closures: they hold it weakly and do nothing once it is gone.
template <class Derived>
class HostControllerOf : public HostController, public std::enable_shared_from_this<Derived> {
protected:
    using HostController::HostController;

    std::weak_ptr<Derived> weak() { return this->weak_from_this(); }
    // Runs `block` on the main queue with the controller, if it still exists.
    void onMain(std::function<void(Derived&)> block) {
        env().platform.mainQueue->async([weak = weak(), block = std::move(block)] {
            if (auto self = weak.lock()) block(*self);
        });
    }
};

}  // namespace qm
