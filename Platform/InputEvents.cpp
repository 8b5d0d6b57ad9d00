#include "Platform/InputEvents.h"

namespace qm {

std::int64_t InputEvent::integerField(std::uint32_t field) const {
    if (field == EventField::eventType) return static_cast<std::int64_t>(type);
    auto it = integerFields.find(field);
    return it == integerFields.end() ? 0 : it->second;
}

void InputEvent::setIntegerField(std::uint32_t field, std::int64_t value) {
    if (field == EventField::eventType) type = static_cast<EventType>(value);
    integerFields[field] = value;
}

InputEvent InputEvent::mouse(EventSourceState source, EventType type, Point location, MouseButton button) {
    InputEvent event;
    event.type = type;
    event.source = source;
    event.location = location;
    event.button = button;
    return event;
}

InputEvent InputEvent::keyboard(EventSourceState source, std::uint16_t keyCode, bool keyDown) {
    InputEvent event;
    event.type = keyDown ? EventType::keyDown : EventType::keyUp;
    event.source = source;
    event.keyCode = keyCode;
    return event;
}

InputEvent InputEvent::scrollWheel(EventSourceState source, ScrollUnit unit, int wheelCount, std::int32_t wheel1,
                                   std::int32_t wheel2, std::int32_t wheel3) {
    InputEvent event;
    event.type = EventType::scrollWheel;
    event.source = source;
    event.scrollUnit = unit;
    event.wheelCount = wheelCount;
    event.wheel1 = wheel1;
    event.wheel2 = wheel2;
    event.wheel3 = wheel3;
    return event;
}

InputEvent InputEvent::systemDefined(Point location, EventFlags modifierFlags, std::int16_t subtype,
                                     std::int64_t data1, std::int64_t data2) {
    InputEvent event;
    event.type = EventType::systemDefined;
    event.location = location;
    event.flags = modifierFlags;
    event.subtype = subtype;
    event.data1 = data1;
    event.data2 = data2;
    return event;
}

InputEvent InputEvent::empty() {
    return InputEvent{};
}

class RecordingEventPoster::Tap final : public EventTap {
public:
    Tap(std::uint64_t mask, std::function<void(EventType)> callback, bool runLoopFails)
        : mask(mask), callback(std::move(callback)), runLoopFails(runLoopFails) {}
    bool addToMainRunLoop() override { return !runLoopFails; }
    void setEnabled(bool value) override {
        std::lock_guard lock(mutex);
        enabled = value;
    }
    bool isEnabled() const override {
        std::lock_guard lock(mutex);
        return enabled;
    }

    const std::uint64_t mask;
    const std::function<void(EventType)> callback;
    const bool runLoopFails;
    mutable std::mutex mutex;
    bool enabled = false;
};

bool RecordingEventPoster::canCreateEvent(EventType type) const {
    std::lock_guard lock(mutex_);
    return !failing_.contains(type);
}

void RecordingEventPoster::post(const InputEvent& event, EventTapLocation tap) {
    const std::uint64_t now = clock_ ? clock_->uptimeNs() : 0;
    std::lock_guard lock(mutex_);
    if (capacity_ > 0 && posted_.size() >= capacity_) posted_.erase(posted_.begin());
    posted_.push_back(Posted{event, tap, now});
}

Point RecordingEventPoster::mouseLocation() const {
    std::lock_guard lock(mutex_);
    return mouseLocation_;
}

std::shared_ptr<EventTap> RecordingEventPoster::createListenOnlyTap(EventTapLocation, std::uint64_t eventMask,
                                                                    std::function<void(EventType)> callback) {
    std::lock_guard lock(mutex_);
    if (tapFails_) return nullptr;
    auto tap = std::make_shared<Tap>(eventMask, std::move(callback), runLoopSourceFails_);
    taps_.push_back(tap);
    ++tapsCreated_;
    return tap;
}

std::vector<RecordingEventPoster::Posted> RecordingEventPoster::posted() const {
    std::lock_guard lock(mutex_);
    return posted_;
}

void RecordingEventPoster::clear() {
    std::lock_guard lock(mutex_);
    posted_.clear();
}

void RecordingEventPoster::setMouseLocation(Point bottomLeftOrigin) {
    std::lock_guard lock(mutex_);
    mouseLocation_ = bottomLeftOrigin;
}

void RecordingEventPoster::failCreating(EventType type, bool fail) {
    std::lock_guard lock(mutex_);
    if (fail) {
        failing_.insert(type);
    } else {
        failing_.erase(type);
    }
}

void RecordingEventPoster::setTapCreationFails(bool fails) {
    std::lock_guard lock(mutex_);
    tapFails_ = fails;
}

void RecordingEventPoster::setRunLoopSourceFails(bool fails) {
    std::lock_guard lock(mutex_);
    runLoopSourceFails_ = fails;
}

std::size_t RecordingEventPoster::tapsCreated() const {
    std::lock_guard lock(mutex_);
    return tapsCreated_;
}

void RecordingEventPoster::deliverToTaps(EventType type) {
    std::vector<std::shared_ptr<Tap>> live;
    {
        std::lock_guard lock(mutex_);
        for (auto& weak : taps_) {
            if (auto tap = weak.lock()) live.push_back(tap);
        }
    }
    const auto raw = static_cast<std::uint32_t>(type);
    const bool notice = type == EventType::tapDisabledByTimeout || type == EventType::tapDisabledByUserInput;
    for (auto& tap : live) {
        if (notice) {
            tap->setEnabled(false);
            tap->callback(type);
        } else if (raw < 64 && (tap->mask & (std::uint64_t{1} << raw)) && tap->isEnabled()) {
            tap->callback(type);
        }
    }
}

bool RecordingEventPoster::lastTapEnabled() const {
    std::lock_guard lock(mutex_);
    if (taps_.empty()) return false;
    auto tap = taps_.back().lock();
    return tap && tap->isEnabled();
}

}  // namespace qm
