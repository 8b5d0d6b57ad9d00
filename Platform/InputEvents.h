#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Platform/Core/Clock.h"
#include "Platform/Core/Geometry.h"

namespace qm {

// Modifier and other state bits carried by an event (64-bit, as the Viewer sends them).
using EventFlags = std::uint64_t;
namespace EventFlag {
constexpr EventFlags shift = 0x20000;
constexpr EventFlags control = 0x40000;
constexpr EventFlags option = 0x80000;
constexpr EventFlags command = 0x100000;
}  // namespace EventFlag

// Event types by their numbers in the system's event stream.
enum class EventType : std::uint32_t {
    null = 0,
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    systemDefined = 14,
    scrollWheel = 22,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
    gesture = 29,
    dockControl = 30,
    tapDisabledByTimeout = 0xFFFFFFFE,
    tapDisabledByUserInput = 0xFFFFFFFF,
};

enum class MouseButton : std::uint32_t { left = 0, right = 1, center = 2 };

// Where an event enters the event stream: where hardware events enter, or where the login
// session's events enter (after the hardware stage).
enum class EventTapLocation { hid, session };

// Which state an event's source reflects: none (a bare event), or the combined hardware state.
enum class EventSourceState { none, hidSystemState };

enum class ScrollUnit { pixel, line };

// Integer field numbers used by the Host.
namespace EventField {
constexpr std::uint32_t mouseEventClickState = 1;
// Writing this field changes the event's type.
constexpr std::uint32_t eventType = 55;
}  // namespace EventField

// One synthetic input event. Which members matter depends on the type.
struct InputEvent {
    EventType type = EventType::null;
    EventSourceState source = EventSourceState::none;
    EventFlags flags = 0;
    Point location;  // global display space, origin top left, points
    MouseButton button = MouseButton::left;

    // Keyboard.
    std::uint16_t keyCode = 0;
    std::u16string unicodeText;

    // Scroll wheel.
    ScrollUnit scrollUnit = ScrollUnit::pixel;
    int wheelCount = 0;
    std::int32_t wheel1 = 0;  // vertical, positive up
    std::int32_t wheel2 = 0;  // horizontal, positive left
    std::int32_t wheel3 = 0;

    // System-defined (media, volume, brightness keys).
    std::int16_t subtype = 0;
    std::int64_t data1 = 0;
    std::int64_t data2 = 0;

    // Fields set by number.
    std::map<std::uint32_t, std::int64_t> integerFields;
    std::map<std::uint32_t, double> doubleFields;

    bool isKeyDown() const { return type == EventType::keyDown; }
    std::int64_t integerField(std::uint32_t field) const;
    // Field 55 also retypes the event.
    void setIntegerField(std::uint32_t field, std::int64_t value);

    static InputEvent mouse(EventSourceState source, EventType type, Point location, MouseButton button);
    static InputEvent keyboard(EventSourceState source, std::uint16_t keyCode, bool keyDown);
    static InputEvent scrollWheel(EventSourceState source, ScrollUnit unit, int wheelCount, std::int32_t wheel1,
                                  std::int32_t wheel2, std::int32_t wheel3);
    static InputEvent systemDefined(Point location, EventFlags modifierFlags, std::int16_t subtype,
                                    std::int64_t data1, std::int64_t data2);
    static InputEvent empty();
};

// A listen-only event tap: it sees events of the types in its mask and never changes them.
class EventTap {
public:
    virtual ~EventTap() = default;
    // Hooks the tap into the main run loop; false when that fails.
    virtual bool addToMainRunLoop() = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
};

// The system's event stream, as far as the Host puts events into it.
class EventPoster {
public:
    virtual ~EventPoster() = default;
    // Whether an event of this type can be made now (the system may refuse, e.g. when out of
    // resources); an event that cannot be made is skipped by the caller.
    virtual bool canCreateEvent(EventType type) const = 0;
    virtual void post(const InputEvent& event, EventTapLocation tap) = 0;
    // The pointer location with the origin at the bottom left of the main display, y upwards.
    virtual Point mouseLocation() const = 0;
    // A listen-only tap at `tap` for the event types whose bits (1 << type) are in `eventMask`;
    // `callback` runs on the main run loop with each event's type. Nothing when it cannot be made.
    virtual std::shared_ptr<EventTap> createListenOnlyTap(EventTapLocation tap, std::uint64_t eventMask,
                                                          std::function<void(EventType)> callback) = 0;
};

// Records every posted event in order, for tests and as the Host's stand-in with no display
// server. Tests script the pointer location and failures.
class RecordingEventPoster final : public EventPoster {
public:
    struct Posted {
        InputEvent event;
        EventTapLocation tap = EventTapLocation::hid;
        std::uint64_t uptimeNs = 0;  // on the given clock; 0 without one
    };

    // `capacity` bounds how many events are kept (the oldest go first); 0 keeps every one.
    explicit RecordingEventPoster(std::shared_ptr<const Clock> clock = nullptr, std::size_t capacity = 0)
        : clock_(std::move(clock)), capacity_(capacity) {}

    bool canCreateEvent(EventType type) const override;
    void post(const InputEvent& event, EventTapLocation tap) override;
    Point mouseLocation() const override;
    std::shared_ptr<EventTap> createListenOnlyTap(EventTapLocation tap, std::uint64_t eventMask,
                                                  std::function<void(EventType)> callback) override;

    std::vector<Posted> posted() const;
    void clear();
    void setMouseLocation(Point bottomLeftOrigin);
    // Events of this type cannot be created from now on (empty events: EventType::null).
    void failCreating(EventType type, bool fail = true);
    void setTapCreationFails(bool fails);
    void setRunLoopSourceFails(bool fails);
    std::size_t tapsCreated() const;
    // Hands an event type to every live tap whose mask covers it (disable notices go to all).
    void deliverToTaps(EventType type);
    // Whether the most recently made tap is enabled.
    bool lastTapEnabled() const;

private:
    class Tap;
    std::shared_ptr<const Clock> clock_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<Posted> posted_;
    Point mouseLocation_;
    std::set<EventType> failing_;
    bool tapFails_ = false;
    bool runLoopSourceFails_ = false;
    std::vector<std::weak_ptr<Tap>> taps_;
    std::size_t tapsCreated_ = 0;
};

}  // namespace qm
