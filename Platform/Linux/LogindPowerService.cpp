#include "Platform/Linux/LogindPowerService.h"

#include <chrono>
#include <condition_variable>

#include <dbus/dbus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace qm {

namespace {
constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* inhibitorWho = "Quillmere Host";
constexpr int callTimeoutMs = 5000;

struct ErrorGuard {
    DBusError error;
    ErrorGuard() { dbus_error_init(&error); }
    ~ErrorGuard() { dbus_error_free(&error); }
    bool isSet() const { return dbus_error_is_set(&error); }
    std::string text() const { return isSet() && error.message ? error.message : "unknown error"; }
};
}  // namespace

struct LogindPowerService::Bus {
    DBusConnection* connection = nullptr;
    std::thread watcher;
    std::atomic<bool> stopping{false};
    ~Bus() {
        stopping = true;
        if (watcher.joinable()) watcher.join();
        if (connection) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
    }
};

std::shared_ptr<LogindPowerService> LogindPowerService::connect(std::string* whyNot) {
    // Inhibit calls come from the server queue while the watcher thread reads signals.
    dbus_threads_init_default();
    ErrorGuard error;
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error.error);
    if (!connection) {
        if (whyNot) *whyNot = "system bus unavailable: " + error.text();
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection, false);
    auto bus = std::make_unique<Bus>();
    bus->connection = connection;
    const bool present = dbus_bus_name_has_owner(connection, logindName, &error.error);
    if (!present) {
        if (whyNot) *whyNot = error.isSet() ? "logind lookup failed: " + error.text() : "logind is not on the system bus";
        return nullptr;
    }
    return std::shared_ptr<LogindPowerService>(new LogindPowerService(std::move(bus)));
}

LogindPowerService::LogindPowerService(std::unique_ptr<Bus> bus) : bus_(std::move(bus)) {}

LogindPowerService::~LogindPowerService() {
    // The watcher stops before the descriptors close, so no handler runs on a dying object.
    bus_.reset();
    for (const auto& [id, fd] : fds_) ::close(fd);
    if (delayFd_ >= 0) ::close(delayFd_);
}

int LogindPowerService::inhibit(const std::string& what, const std::string& why, const std::string& mode,
                                PowerReturn& code) {
    DBusMessage* call = dbus_message_new_method_call(logindName, logindPath, managerInterface, "Inhibit");
    if (!call) {
        code = powerReturnError;
        return -1;
    }
    const char* args[] = {what.c_str(), inhibitorWho, why.c_str(), mode.c_str()};
    dbus_message_append_args(call, DBUS_TYPE_STRING, &args[0], DBUS_TYPE_STRING, &args[1], DBUS_TYPE_STRING, &args[2],
                             DBUS_TYPE_STRING, &args[3], DBUS_TYPE_INVALID);
    ErrorGuard error;
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus_->connection, call, callTimeoutMs, &error.error);
    dbus_message_unref(call);
    if (!reply) {
        code = powerReturnError;
        return -1;
    }
    int fd = -1;
    const bool ok = dbus_message_get_args(reply, &error.error, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
    dbus_message_unref(reply);
    if (!ok || fd < 0) {
        code = powerReturnError;
        return -1;
    }
    code = powerReturnSuccess;
    return fd;
}

PowerReturn LogindPowerService::createAssertion(const std::string& type, std::uint32_t level, const std::string& name,
                                                PowerAssertionID& id) {
    std::string what;
    if (type == PowerAssertionType::preventUserIdleSystemSleep) {
        what = "idle";
    } else if (type == PowerAssertionType::preventSystemSleep) {
        what = "sleep";
    } else {
        return powerReturnBadArgument;
    }
    // A level below "on" asks for nothing to be held.
    if (level < powerAssertionLevelOn) return powerReturnBadArgument;
    PowerReturn code = powerReturnSuccess;
    const int fd = inhibit(what, name, "block", code);
    if (fd < 0) return code;
    std::lock_guard lock(mutex_);
    const PowerAssertionID assigned = nextID_++;
    fds_[assigned] = fd;
    id = assigned;
    return powerReturnSuccess;
}

PowerReturn LogindPowerService::releaseAssertion(PowerAssertionID id) {
    std::lock_guard lock(mutex_);
    auto it = fds_.find(id);
    if (it == fds_.end()) return powerReturnBadArgument;
    ::close(it->second);
    fds_.erase(it);
    return powerReturnSuccess;
}

void LogindPowerService::takeDelayLock() {
    PowerReturn code = powerReturnSuccess;
    const int fd = inhibit("sleep", "Moving screen capture before sleep", "delay", code);
    std::lock_guard lock(mutex_);
    if (delayFd_ >= 0) ::close(delayFd_);
    delayFd_ = fd;
}

void LogindPowerService::handlePrepareForSleep(bool goingToSleep) {
    if (goingToSleep) {
        if (sleepHandler_) {
            // The preparation finishes on other queues: this thread waits for its word (it has
            // nothing else to do while the system goes down), at most for the time-out.
            struct Preparation {
                std::mutex mutex;
                std::condition_variable done;
                bool prepared = false;
            };
            auto preparation = std::make_shared<Preparation>();
            sleepHandler_(true, [preparation] {
                std::lock_guard lock(preparation->mutex);
                preparation->prepared = true;
                preparation->done.notify_all();
            });
            std::unique_lock lock(preparation->mutex);
            preparation->done.wait_for(lock, std::chrono::duration<double>(preparationTimeout),
                                       [&] { return preparation->prepared; });
        }
        // Logind waits for delay locks: closing ours lets the sleep go ahead.
        std::lock_guard lock(mutex_);
        if (delayFd_ >= 0) ::close(delayFd_);
        delayFd_ = -1;
    } else {
        takeDelayLock();
        if (sleepHandler_) sleepHandler_(false, {});
    }
}

bool LogindPowerService::startSleepNotifications(SleepHandler handler) {
    if (bus_->watcher.joinable()) return false;
    sleepHandler_ = std::move(handler);
    ErrorGuard error;
    dbus_bus_add_match(bus_->connection,
                       "type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
                       "interface='org.freedesktop.login1.Manager',member='PrepareForSleep'",
                       &error.error);
    if (error.isSet()) return false;
    auto filter = [](DBusConnection*, DBusMessage* message, void* context) -> DBusHandlerResult {
        if (dbus_message_is_signal(message, managerInterface, "PrepareForSleep")) {
            dbus_bool_t start = false;
            DBusError error;
            dbus_error_init(&error);
            if (dbus_message_get_args(message, &error, DBUS_TYPE_BOOLEAN, &start, DBUS_TYPE_INVALID)) {
                static_cast<LogindPowerService*>(context)->handlePrepareForSleep(start != 0);
            }
            dbus_error_free(&error);
        }
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    };
    if (!dbus_connection_add_filter(bus_->connection, filter, this, nullptr)) return false;
    takeDelayLock();
    Bus* bus = bus_.get();
    bus->watcher = std::thread([bus] {
        while (!bus->stopping.load()) {
            if (!dbus_connection_read_write_dispatch(bus->connection, 250)) break;  // disconnected
        }
    });
    return true;
}

}  // namespace qm
