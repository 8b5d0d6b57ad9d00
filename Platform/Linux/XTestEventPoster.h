#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Platform/InputEvents.h"

namespace qm {

// Posts events into an X11 display through the XTest extension.
//
// Pointer events move the pointer and press buttons (left 1, middle 2, right 3); scroll events
// become wheel clicks (buttons 4/5 vertical, 6 left and 7 right), one per line or per 12 pixels,
// smaller pixel deltas adding up until they make a click. Key events are the Host's virtual key
// codes (US ANSI), turned into the character or key they stand for and found in the current XKB
// map at whatever group and level holds it. Every keystroke is typed with exactly the modifiers
// its level needs plus the ones the event asks for: keys this poster holds that would change the
// level are let go for the stroke and pressed again after it, the rest is set as locked modifiers
// and put back. A character the map lacks is lent a keycode without symbols for a while. The
// keyboard map is followed through XKB's change notifications, and a key's release lets go of
// the keycode its press used. System-defined media and brightness keys become the matching XF86
// keys; Dock-control and gesture events have no X equivalent and are dropped. X has no
// listen-only tap, so none can be made. All Xlib calls are serialised by one lock.
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
