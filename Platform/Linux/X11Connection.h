#pragma once

#include <memory>
#include <mutex>
#include <string>

// Xlib's connection type, without pulling Xlib's macros into every includer.
struct _XDisplay;

namespace qm::x11 {

// One Xlib connection. Xlib is not thread-safe per connection, so every call on it is made under
// `lock`.
class Connection {
public:
    // Opens `name` (else $DISPLAY); nothing when no server answers there.
    static std::shared_ptr<Connection> open(const std::string& name = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    _XDisplay* display() const { return display_; }
    // The name the connection was opened with, for opening more connections to the same server.
    const std::string& name() const { return name_; }
    std::mutex lock;

private:
    Connection(_XDisplay* display, std::string name) : display_(display), name_(std::move(name)) {}
    _XDisplay* display_;
    std::string name_;
};

// Runs `body` with X protocol errors caught instead of reported, waits for the server to have
// handled every request it made, and returns the first error code it raised (0 for none).
// The caller holds the connection's lock.
template <class F>
int trapErrors(_XDisplay* display, F&& body);

// The error-catching machinery behind trapErrors.
int beginErrorTrap();
int endErrorTrap(_XDisplay* display, int token);

template <class F>
int trapErrors(_XDisplay* display, F&& body) {
    const int token = beginErrorTrap();
    body();
    return endErrorTrap(display, token);
}

}  // namespace qm::x11
