#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "Platform/Core/DispatchQueue.h"

namespace qm {

// Notifications the product's applications post to one another (the language they show in).
// User info values are strings or integers; a receiver checks the type it expects.
class DistributedNotificationCenter {
public:
    using Value = std::variant<std::string, std::int64_t>;
    using UserInfo = std::map<std::string, Value>;
    using Handler = std::function<void(const UserInfo&)>;
    virtual ~DistributedNotificationCenter() = default;

    virtual void post(const std::string& name, const UserInfo& userInfo) = 0;
    // `handler` runs on `queue` for each notification of that name; it stops when the returned
    // token is dropped.
    [[nodiscard]] virtual std::shared_ptr<void> observe(const std::string& name, DispatchQueuePtr queue,
                                                        Handler handler) = 0;
};

// Within one process: every observer of the name gets every post.
class InMemoryDistributedNotificationCenter final : public DistributedNotificationCenter {
public:
    void post(const std::string& name, const UserInfo& userInfo) override;
    std::shared_ptr<void> observe(const std::string& name, DispatchQueuePtr queue, Handler handler) override;
    std::size_t observerCount() const;

private:
    struct Observer {
        std::string name;
        DispatchQueuePtr queue;
        Handler handler;
    };
    struct State {
        std::mutex mutex;
        std::vector<std::pair<std::uint64_t, Observer>> observers;
        std::uint64_t nextID = 1;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace qm
