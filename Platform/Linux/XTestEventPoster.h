#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Platform/InputEvents.h"

namespace qm {

// Posts events into an X11 display through the XTest extension.
//
// Pointer events move the pointer and press buttons (left 1, middle 2, right 3); scroll events
// become wheel clicks (buttons 4-7; 12 pixels or one line per click). Key events are the Host's
// virtual key codes, turned into X keysyms by a US-layout table and then into the display's
// keycodes; modifier flags a key event carries that are not held are pressed around it. Text
// events type each character whose keysym the keyboard map has (others are skipped).
// System-defined media and brightness keys become the matching XF86 keys; Dock-control and
// gesture events have no X equivalent and are dropped. X has no listen-only tap, so none can be
// made. All Xlib calls are serialised by one lock, so any thread may post.
class XTestEventPoster final : public EventPoster {
public:
    // Opens the display (`name`, else $DISPLAY); nothing when it cannot be opened or lacks XTest.
    static std::shared_ptr<XTestEventPoster> open(const std::string& name = {});
    ~XTestEventPoster() override;

    bool canCreateEvent(EventType type) const override;
    void post(const InputEvent& event, EventTapLocation tap) override;
    // From the root window's pointer position, turned to a bottom-left origin on the screen.
    Point mouseLocation() const override;
    std::shared_ptr<EventTap> createListenOnlyTap(EventTapLocation tap, std::uint64_t eventMask,
                                                  std::function<void(EventType)> callback) override;

    // The X keysym that stands for a virtual key code; 0 for none.
    static unsigned long keysymForKeyCode(std::uint16_t keyCode);

private:
    struct State;
    explicit XTestEventPoster(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The Host's event poster: XTest on the display $DISPLAY names when it can be opened, else a
// recorder that keeps the last 1,024 events (nothing reaches a screen).
std::shared_ptr<EventPoster> makeSystemEventPoster(std::shared_ptr<const Clock> clock);

}  // namespace qm
