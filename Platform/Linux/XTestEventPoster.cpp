#include "Platform/Linux/XTestEventPoster.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

namespace qm {

namespace {

constexpr unsigned long xf86AudioLowerVolume = 0x1008FF11;
constexpr unsigned long xf86AudioMute = 0x1008FF12;
constexpr unsigned long xf86AudioRaiseVolume = 0x1008FF13;
constexpr unsigned long xf86AudioPlay = 0x1008FF14;
constexpr unsigned long xf86AudioPrev = 0x1008FF16;
constexpr unsigned long xf86AudioNext = 0x1008FF17;
constexpr unsigned long xf86MonBrightnessUp = 0x1008FF02;
constexpr unsigned long xf86MonBrightnessDown = 0x1008FF03;
constexpr unsigned long xf86KbdBrightnessUp = 0x1008FF05;
constexpr unsigned long xf86KbdBrightnessDown = 0x1008FF06;
constexpr unsigned long xf86LaunchA = 0x1008FF4A;
constexpr unsigned long xf86LaunchB = 0x1008FF4B;

unsigned long systemKeysym(std::int64_t keyType) {
    switch (keyType) {
    case 0: return xf86AudioRaiseVolume;
    case 1: return xf86AudioLowerVolume;
    case 2: return xf86MonBrightnessUp;
    case 3: return xf86MonBrightnessDown;
    case 7: return xf86AudioMute;
    case 13: return xf86LaunchB;
    case 16: return xf86AudioPlay;
    case 17: return xf86AudioNext;
    case 18: return xf86AudioPrev;
    case 21: return xf86KbdBrightnessUp;
    case 22: return xf86KbdBrightnessDown;
    case 160: return xf86LaunchA;
    default: return 0;
    }
}

const std::map<std::uint16_t, unsigned long>& keyCodeTable() {
    static const std::map<std::uint16_t, unsigned long> table = [] {
        std::map<std::uint16_t, unsigned long> t;
        const char* plain = "asdfhgzxcv";  // key codes 0-9
        for (int i = 0; i < 10; ++i) t[static_cast<std::uint16_t>(i)] = static_cast<unsigned char>(plain[i]);
        const std::pair<std::uint16_t, char> more[] = {
            {11, 'b'}, {12, 'q'}, {13, 'w'}, {14, 'e'}, {15, 'r'}, {16, 'y'}, {17, 't'}, {18, '1'}, {19, '2'},
            {20, '3'}, {21, '4'}, {22, '6'}, {23, '5'}, {24, '='}, {25, '9'}, {26, '7'}, {27, '-'}, {28, '8'},
            {29, '0'}, {30, ']'}, {31, 'o'}, {32, 'u'}, {33, '['}, {34, 'i'}, {35, 'p'}, {37, 'l'}, {38, 'j'},
            {39, '\''}, {40, 'k'}, {41, ';'}, {42, '\\'}, {43, ','}, {44, '/'}, {45, 'n'}, {46, 'm'}, {47, '.'},
            {49, ' '}, {50, '`'}};
        for (auto [code, c] : more) t[code] = static_cast<unsigned char>(c);
        const std::pair<std::uint16_t, unsigned long> special[] = {
            {36, XK_Return},   {48, XK_Tab},       {51, XK_BackSpace}, {53, XK_Escape},    {115, XK_Home},
            {123, XK_Left},    {126, XK_Up},       {124, XK_Right},    {125, XK_Down},     {116, XK_Prior},
            {121, XK_Next},    {119, XK_End},      {117, XK_Delete},   {76, XK_KP_Enter},  {114, XK_Insert},
            {122, XK_F1},      {120, XK_F2},       {99, XK_F3},        {118, XK_F4},       {96, XK_F5},
            {97, XK_F6},       {98, XK_F7},        {100, XK_F8},       {101, XK_F9},       {109, XK_F10},
            {103, XK_F11},     {111, XK_F12},      {56, XK_Shift_L},   {60, XK_Shift_R},   {59, XK_Control_L},
            {62, XK_Control_R}, {58, XK_Alt_L},    {61, XK_Alt_R},     {55, XK_Super_L},   {54, XK_Super_R},
            {57, XK_Caps_Lock}};
        for (auto [code, keysym] : special) t[code] = keysym;
        return t;
    }();
    return table;
}

// The modifier keys, in the order they are pressed, with the flag each stands for.
constexpr std::pair<EventFlags, unsigned long> modifierKeysyms[] = {
    {EventFlag::control, XK_Control_L}, {EventFlag::option, XK_Alt_L},
    {EventFlag::shift, XK_Shift_L},     {EventFlag::command, XK_Super_L}};

EventFlags flagForKeysym(unsigned long keysym) {
    switch (keysym) {
    case XK_Shift_L: case XK_Shift_R: return EventFlag::shift;
    case XK_Control_L: case XK_Control_R: return EventFlag::control;
    case XK_Alt_L: case XK_Alt_R: return EventFlag::option;
    case XK_Super_L: case XK_Super_R: return EventFlag::command;
    default: return 0;
    }
}

}  // namespace

struct XTestEventPoster::State {
    mutable std::mutex mutex;
    Display* display = nullptr;
    // Keycodes this poster holds down, and the modifier flags they stand for.
    std::set<unsigned int> heldKeycodes;
    EventFlags heldModifiers = 0;

    void key(unsigned long keysym, bool down) {
        const KeyCode code = XKeysymToKeycode(display, keysym);
        if (code == 0) return;
        XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
        if (down) {
            heldKeycodes.insert(code);
        } else {
            heldKeycodes.erase(code);
        }
        if (EventFlags flag = flagForKeysym(keysym)) heldModifiers = down ? (heldModifiers | flag) : (heldModifiers & ~flag);
    }

    // Presses the modifiers of `flags` that are not held; returns the keysyms it pressed.
    std::vector<unsigned long> pressMissingModifiers(EventFlags flags) {
        std::vector<unsigned long> pressed;
        for (auto [flag, keysym] : modifierKeysyms) {
            if ((flags & flag) && !(heldModifiers & flag)) {
                key(keysym, true);
                pressed.push_back(keysym);
            }
        }
        return pressed;
    }

    void releaseModifiers(const std::vector<unsigned long>& keysyms) {
        for (auto it = keysyms.rbegin(); it != keysyms.rend(); ++it) key(*it, false);
    }

    void typeCharacter(char32_t scalar) {
        const unsigned long keysym = scalar < 0x100 ? scalar : (0x01000000UL | scalar);
        const KeyCode code = XKeysymToKeycode(display, keysym);
        if (code == 0) return;
        const bool shifted = XkbKeycodeToKeysymShim(code, 0) != keysym && XkbKeycodeToKeysymShim(code, 1) == keysym;
        if (shifted) XTestFakeKeyEvent(display, XKeysymToKeycode(display, XK_Shift_L), True, CurrentTime);
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        XTestFakeKeyEvent(display, code, False, CurrentTime);
        if (shifted) XTestFakeKeyEvent(display, XKeysymToKeycode(display, XK_Shift_L), False, CurrentTime);
    }

    unsigned long XkbKeycodeToKeysymShim(KeyCode code, int index) {
        int perKeycode = 0;
        KeySym* syms = XGetKeyboardMapping(display, code, 1, &perKeycode);
        unsigned long result = 0;
        if (syms && index < perKeycode) result = syms[index];
        if (syms) XFree(syms);
        return result;
    }

    void wheel(unsigned int upButton, unsigned int downButton, std::int32_t amount, ScrollUnit unit) {
        if (amount == 0) return;
        long clicks = unit == ScrollUnit::line ? std::labs(amount) : std::max(1L, std::lround(std::labs(amount) / 12.0));
        const unsigned int button = amount > 0 ? upButton : downButton;
        for (long i = 0; i < clicks; ++i) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
    }
};

XTestEventPoster::XTestEventPoster(std::unique_ptr<State> state) : state_(std::move(state)) {}

XTestEventPoster::~XTestEventPoster() {
    std::lock_guard lock(state_->mutex);
    // Nothing this poster pressed stays down after it is gone.
    for (unsigned int code : state_->heldKeycodes) XTestFakeKeyEvent(state_->display, code, False, CurrentTime);
    XCloseDisplay(state_->display);
}

std::shared_ptr<XTestEventPoster> XTestEventPoster::open(const std::string& name) {
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display) return nullptr;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
        XCloseDisplay(display);
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->display = display;
    return std::shared_ptr<XTestEventPoster>(new XTestEventPoster(std::move(state)));
}

bool XTestEventPoster::canCreateEvent(EventType) const {
    return true;
}

unsigned long XTestEventPoster::keysymForKeyCode(std::uint16_t keyCode) {
    auto& table = keyCodeTable();
    auto it = table.find(keyCode);
    return it == table.end() ? 0 : it->second;
}

void XTestEventPoster::post(const InputEvent& event, EventTapLocation) {
    std::lock_guard lock(state_->mutex);
    Display* display = state_->display;
    const auto moveTo = [&] {
        XTestFakeMotionEvent(display, DefaultScreen(display), static_cast<int>(std::lround(event.location.x)),
                             static_cast<int>(std::lround(event.location.y)), CurrentTime);
    };
    const auto button = [&](bool down) {
        const unsigned int number = event.button == MouseButton::right ? 3 : event.button == MouseButton::center ? 2 : 1;
        moveTo();
        XTestFakeButtonEvent(display, number, down ? True : False, CurrentTime);
    };
    switch (event.type) {
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged:
    case EventType::otherMouseDragged:
        moveTo();
        break;
    case EventType::leftMouseDown:
    case EventType::rightMouseDown:
    case EventType::otherMouseDown:
        button(true);
        break;
    case EventType::leftMouseUp:
    case EventType::rightMouseUp:
    case EventType::otherMouseUp:
        button(false);
        break;
    case EventType::scrollWheel:
        state_->wheel(4, 5, event.wheel1, event.scrollUnit);
        state_->wheel(6, 7, event.wheel2, event.scrollUnit);
        break;
    case EventType::keyDown:
    case EventType::keyUp: {
        if (!event.unicodeText.empty()) {
            if (!event.isKeyDown()) break;
            const auto pressed = state_->pressMissingModifiers(event.flags);
            const std::u16string& text = event.unicodeText;
            for (std::size_t i = 0; i < text.size(); ++i) {
                char32_t scalar = text[i];
                if (scalar >= 0xD800 && scalar < 0xDC00 && i + 1 < text.size()) {
                    scalar = 0x10000 + ((scalar - 0xD800) << 10) + (text[++i] - 0xDC00);
                }
                state_->typeCharacter(scalar);
            }
            state_->releaseModifiers(pressed);
            break;
        }
        const unsigned long keysym = keysymForKeyCode(event.keyCode);
        if (keysym == 0) break;
        if (flagForKeysym(keysym)) {
            state_->key(keysym, event.isKeyDown());
        } else if (event.isKeyDown()) {
            const auto pressed = state_->pressMissingModifiers(event.flags);
            state_->key(keysym, true);
            state_->releaseModifiers(pressed);
        } else {
            state_->key(keysym, false);
        }
        break;
    }
    case EventType::flagsChanged: {
        // Brings the held modifier keys in line with the event's flags.
        for (auto [flag, keysym] : modifierKeysyms) {
            const bool want = (event.flags & flag) != 0;
            if (want != ((state_->heldModifiers & flag) != 0)) state_->key(keysym, want);
        }
        break;
    }
    case EventType::systemDefined: {
        const unsigned long keysym = systemKeysym((event.data1 >> 16) & 0xFFFF);
        const std::int64_t phase = (event.data1 >> 8) & 0xFF;
        if (keysym != 0 && (phase == 0x0a || phase == 0x0b)) state_->key(keysym, phase == 0x0a);
        break;
    }
    default:
        break;
    }
    XFlush(display);
}

Point XTestEventPoster::mouseLocation() const {
    std::lock_guard lock(state_->mutex);
    Display* display = state_->display;
    Window root = DefaultRootWindow(display), rootReturn = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, root, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask)) return {};
    const int height = DisplayHeight(display, DefaultScreen(display));
    return Point{static_cast<double>(rootX), static_cast<double>(height - rootY)};
}

std::shared_ptr<EventTap> XTestEventPoster::createListenOnlyTap(EventTapLocation, std::uint64_t,
                                                                std::function<void(EventType)>) {
    return nullptr;
}

std::shared_ptr<EventPoster> makeSystemEventPoster(std::shared_ptr<const Clock> clock) {
    if (const char* display = std::getenv("DISPLAY"); display && *display) {
        if (auto poster = XTestEventPoster::open()) return poster;
    }
    return std::make_shared<RecordingEventPoster>(std::move(clock), 1024);
}

}  // namespace qm
