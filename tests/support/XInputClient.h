#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm::test {

// An X client with one focused window that reads its own events the way an application does:
// each KeyPress is looked up with XLookupString under the event's modifier state and the
// keyboard map the client holds (kept up to date by the mapping notifications, as Xlib does),
// and its character appended to the typed text; wheel buttons are counted.
class XInputClient {
public:
    // Empty when the display cannot be opened or the window does not come up.
    static std::unique_ptr<XInputClient> open(const std::string& displayName);
    ~XInputClient();
    XInputClient(const XInputClient&) = delete;
    XInputClient& operator=(const XInputClient&) = delete;

    // Reads events until the typed text has `characters` characters (UTF-8 aware) or `timeout`
    // passed, and returns the text typed so far (a key without a character adds nothing).
    std::string waitForText(std::size_t characters, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Reads events until `count` wheel buttons were pressed or `timeout` passed; returns the
    // X button numbers (4 up, 5 down, 6 left, 7 right) in order.
    std::vector<unsigned int> waitForWheel(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void clear();

    // The window's centre in root-window coordinates.
    std::pair<int, int> center() const;

    // Keycodes the server reports down right now, and its effective modifiers (base, latched
    // and locked together) and group.
    std::vector<unsigned int> keysDown() const;
    unsigned int effectiveModifiers() const;
    // How many keycodes have at least one symbol in the server's keyboard map.
    int boundKeycodes() const;

    // Switches the server's layout as a user would (`setxkbmap -layout`); false when that fails.
    bool setLayout(const std::string& layout) const;

private:
    struct State;
    explicit XInputClient(std::unique_ptr<State> state);
    void pump(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    std::unique_ptr<State> state_;
};

}  // namespace qm::test
