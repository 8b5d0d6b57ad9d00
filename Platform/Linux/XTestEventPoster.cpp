#include "Platform/Linux/XTestEventPoster.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

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

// The Host's four modifier flags, each with the keysym of the key that stands for it and the
// virtual key code that names that key.
struct ModifierKey {
    EventFlags flag;
    unsigned long keysym;
    std::uint16_t virtualKey;
};
constexpr ModifierKey modifierKeys[] = {{EventFlag::control, XK_Control_L, 59},
                                        {EventFlag::option, XK_Alt_L, 58},
                                        {EventFlag::shift, XK_Shift_L, 56},
                                        {EventFlag::command, XK_Super_L, 55}};

EventFlags flagForKeysym(unsigned long keysym) {
    switch (keysym) {
    case XK_Shift_L: case XK_Shift_R: return EventFlag::shift;
    case XK_Control_L: case XK_Control_R: return EventFlag::control;
    case XK_Alt_L: case XK_Alt_R: return EventFlag::option;
    case XK_Super_L: case XK_Super_R: return EventFlag::command;
    default: return 0;
    }
}

// The character a US key gives with Shift, for the keysyms of the plain level.
unsigned long shiftedUSKeysym(unsigned long keysym) {
    if (keysym >= 'a' && keysym <= 'z') return keysym - 'a' + 'A';
    static constexpr std::string_view plain = "`1234567890-=[]\\;',./";
    static constexpr std::string_view shifted = "~!@#$%^&*()_+{}|:\"<>?";
    if (keysym < 0x80) {
        if (auto at = plain.find(static_cast<char>(keysym)); at != std::string_view::npos) {
            return static_cast<unsigned char>(shifted[at]);
        }
    }
    return keysym;
}

// Characters that are not text: C0 controls, DEL and the C1 controls.
bool isControlCharacter(char32_t scalar) {
    return scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F);
}

// How long a keysym lent to a spare keycode stays bound: clients look a key event up when they
// read it, which may be well after it was sent, so the binding outlives the keystroke.
constexpr auto spareBindingLifetime = std::chrono::seconds(2);

}  // namespace

struct XTestEventPoster::State {
    // Where a keysym sits in the keyboard map, and the modifiers that select its level.
    struct KeyPlace {
        KeyCode keycode = 0;
        int group = 0;
        int level = 0;
        unsigned int levelMods = 0;  // the real modifiers the level needs
        unsigned int typeMods = 0;   // every modifier the key's type looks at
    };
    // The keyboard state changed around one keystroke, to be put back after it.
    struct SavedState {
        unsigned int lockedMods = 0;
        int lockedGroup = 0;
        bool groupChanged = false;
        bool locksChanged = false;
        std::vector<KeyCode> released;
        std::vector<KeyCode> pressed;
    };

    mutable std::mutex mutex;
    Display* display = nullptr;
    int xkbEventType = -1;
    XkbDescPtr xkb = nullptr;
    // Keycodes this poster holds down (modifiers and keys whose release has not come yet).
    std::set<unsigned int> heldKeycodes;
    EventFlags heldModifiers = 0;
    // The keycode each held virtual key pressed, so its release lets go of that very key even
    // when the keyboard map changed in between.
    std::map<std::uint16_t, KeyCode> pressedByVirtualKey;
    // Keycodes without symbols that characters missing from the map are lent to, least recently
    // used first, with what each is bound to and since when.
    std::vector<KeyCode> spareKeycodes;
    std::map<KeyCode, std::pair<KeySym, std::chrono::steady_clock::time_point>> spareBindings;
    // Pixels scrolled that did not yet add up to a wheel click (vertical, horizontal).
    std::int32_t scrollRemainder[2] = {0, 0};

    ~State() {
        if (xkb) XkbFreeKeyboard(xkb, 0, True);
    }

    void loadKeymap() {
        if (xkb) XkbFreeKeyboard(xkb, 0, True);
        xkb = XkbGetMap(display, XkbAllClientInfoMask, XkbUseCoreKbd);
        if (!xkb) return;
        // Spare keycodes: those without symbols, plus those already lent out (kept in their order).
        std::vector<KeyCode> spares;
        for (KeyCode code : spareKeycodes) {
            if (spareBindings.count(code)) spares.push_back(code);
        }
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            if (XkbKeyNumGroups(xkb, code) != 0 || spareBindings.count(static_cast<KeyCode>(code))) continue;
            spares.insert(spares.begin(), static_cast<KeyCode>(code));
        }
        spareKeycodes = std::move(spares);
    }

    // Picks up a keyboard map another client set (setxkbmap, a layout switch) before the next
    // keystroke: the round trip makes sure every notification sent so far has arrived.
    void followKeymapChanges() {
        XSync(display, False);
        bool changed = xkb == nullptr;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != xkbEventType) continue;
            const int kind = reinterpret_cast<XkbAnyEvent*>(&event)->xkb_type;
            if (kind == XkbMapNotify || kind == XkbNewKeyboardNotify) changed = true;
        }
        if (changed) loadKeymap();
    }

    static unsigned int levelModsFor(XkbKeyTypePtr type, int level, bool& found) {
        found = level == 0;
        if (level == 0) return 0;
        for (int i = 0; i < type->map_count; ++i) {
            const XkbKTMapEntryRec& entry = type->map[i];
            if (entry.active && entry.level == level) {
                found = true;
                return entry.mods.mask;
            }
        }
        return 0;
    }

    // The best place of a keysym (or, with `scalar`, of any keysym that types that character):
    // exact keysyms before look-alikes (a keypad '*'), the current group before others, lower
    // levels before higher ones.
    std::optional<KeyPlace> find(unsigned long keysym, char32_t scalar = 0) const {
        if (!xkb) return std::nullopt;
        XkbStateRec state{};
        XkbGetState(display, XkbUseCoreKbd, &state);
        std::optional<KeyPlace> best;
        int bestScore = 0;
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            const int groups = XkbKeyNumGroups(xkb, code);
            for (int group = 0; group < groups; ++group) {
                const int width = XkbKeyGroupWidth(xkb, code, group);
                for (int level = 0; level < width; ++level) {
                    const KeySym candidate = XkbKeySymEntry(xkb, code, level, group);
                    if (candidate == NoSymbol) continue;
                    const bool exact = candidate == keysym;
                    if (!exact && (scalar == 0 || xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(candidate)) != scalar)) {
                        continue;
                    }
                    const int score = (exact ? 0 : 1000) + (group == state.group ? 0 : 100) + level;
                    if (best && score >= bestScore) continue;
                    XkbKeyTypePtr type = XkbKeyKeyType(xkb, code, group);
                    bool reachable = false;
                    const unsigned int levelMods = levelModsFor(type, level, reachable);
                    if (!reachable) continue;
                    best = KeyPlace{static_cast<KeyCode>(code), group, level, levelMods, type->mods.mask};
                    bestScore = score;
                }
            }
        }
        return best;
    }

    // Lends a spare keycode to a keysym the map lacks (the least recently lent one when all are
    // taken) and reloads the map so the key is found there.
    std::optional<KeyPlace> bindSpare(unsigned long keysym) {
        if (spareKeycodes.empty()) return std::nullopt;
        KeyCode code = spareKeycodes.front();
        for (KeyCode candidate : spareKeycodes) {
            if (!spareBindings.count(candidate)) {
                code = candidate;
                break;
            }
        }
        KeySym symbols[2] = {keysym, keysym};
        XChangeKeyboardMapping(display, code, 2, symbols, 1);
        spareBindings[code] = {keysym, std::chrono::steady_clock::now()};
        spareKeycodes.erase(std::find(spareKeycodes.begin(), spareKeycodes.end(), code));
        spareKeycodes.push_back(code);
        followKeymapChanges();
        loadKeymap();
        auto place = find(keysym);
        if (!place || place->keycode != code) return std::nullopt;
        return place;
    }

    void unbindSpare(KeyCode code) {
        KeySym none = NoSymbol;
        XChangeKeyboardMapping(display, code, 1, &none, 1);
        spareBindings.erase(code);
    }

    // Gives back the spare keycodes lent long enough ago that every client has read its keystroke.
    void releaseOldSpareBindings() {
        const auto now = std::chrono::steady_clock::now();
        std::vector<KeyCode> old;
        for (const auto& [code, binding] : spareBindings) {
            if (now - binding.second >= spareBindingLifetime) old.push_back(code);
        }
        for (KeyCode code : old) unbindSpare(code);
    }

    unsigned int modsOfKeysym(unsigned long keysym, unsigned int fallback) const {
        if (!xkb || !xkb->map || !xkb->map->modmap) return fallback;
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            if (!xkb->map->modmap[code]) continue;
            for (int group = 0; group < XkbKeyNumGroups(xkb, code); ++group) {
                for (int level = 0; level < XkbKeyGroupWidth(xkb, code, group); ++level) {
                    if (XkbKeySymEntry(xkb, code, level, group) == keysym) return xkb->map->modmap[code];
                }
            }
        }
        return fallback;
    }

    // The X modifiers that stand for the Host's modifier flags.
    unsigned int realMods(EventFlags flags) const {
        unsigned int mods = 0;
        if (flags & EventFlag::shift) mods |= ShiftMask;
        if (flags & EventFlag::control) mods |= ControlMask;
        if (flags & EventFlag::option) mods |= modsOfKeysym(XK_Alt_L, Mod1Mask);
        if (flags & EventFlag::command) mods |= modsOfKeysym(XK_Super_L, Mod4Mask);
        return mods;
    }

    unsigned int modmap(unsigned int code) const {
        if (!xkb || !xkb->map || !xkb->map->modmap || code > static_cast<unsigned int>(xkb->max_key_code)) return 0;
        return xkb->map->modmap[code];
    }

    // A key that sets modifier `bit` and nothing else, for pressing it as a keyboard would; 0 for none.
    KeyCode keyForModifier(unsigned int bit) const {
        if (!xkb || !xkb->map || !xkb->map->modmap) return 0;
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            if (xkb->map->modmap[code] == bit && XkbKeyNumGroups(xkb, code) > 0 && !heldKeycodes.count(code)) {
                return static_cast<KeyCode>(code);
            }
        }
        return 0;
    }

    // Makes exactly `wanted` the effective modifiers and `group` the effective group: keys this
    // poster holds that add other modifiers are let go, missing modifiers are pressed on keys that
    // carry them (or locked where no key does), and locks and latches that add others are cleared.
    SavedState enter(unsigned int wanted, int group) {
        XkbStateRec state{};
        XkbGetState(display, XkbUseCoreKbd, &state);
        SavedState saved;
        saved.lockedMods = state.locked_mods;
        saved.lockedGroup = state.locked_group;
        unsigned int base = 0;
        for (unsigned int code : std::set<unsigned int>(heldKeycodes)) {
            const unsigned int mods = modmap(code);
            if (mods & ~wanted) {
                XTestFakeKeyEvent(display, code, False, CurrentTime);
                saved.released.push_back(static_cast<KeyCode>(code));
            } else {
                base |= mods;
            }
        }
        unsigned int locks = 0;
        for (unsigned int bit = 1; bit < 0x100; bit <<= 1) {
            if (!(wanted & bit) || (base & bit)) continue;
            if (const KeyCode code = keyForModifier(bit)) {
                XTestFakeKeyEvent(display, code, True, CurrentTime);
                saved.pressed.push_back(code);
            } else {
                locks |= bit;
            }
        }
        if (state.latched_mods) XkbLatchModifiers(display, XkbUseCoreKbd, 0xFF, 0);
        saved.locksChanged = state.locked_mods != locks;
        if (saved.locksChanged) XkbLockModifiers(display, XkbUseCoreKbd, 0xFF, locks);
        if (state.group != group) {
            XkbLockGroup(display, XkbUseCoreKbd, static_cast<unsigned int>(group));
            saved.groupChanged = true;
        }
        return saved;
    }

    void leave(const SavedState& saved) {
        for (auto it = saved.pressed.rbegin(); it != saved.pressed.rend(); ++it) {
            XTestFakeKeyEvent(display, *it, False, CurrentTime);
        }
        if (saved.locksChanged) XkbLockModifiers(display, XkbUseCoreKbd, 0xFF, saved.lockedMods);
        if (saved.groupChanged) XkbLockGroup(display, XkbUseCoreKbd, static_cast<unsigned int>(saved.lockedGroup));
        for (KeyCode code : saved.released) XTestFakeKeyEvent(display, code, True, CurrentTime);
    }

    // One keystroke (or, with `hold`, a press left down) of the key at `place`, with the level's
    // modifiers and `otherMods` on and nothing else. Other modifiers the key's type looks at are
    // dropped unless `keepLevelModifiers` (Shift+Tab stays Shift+Tab).
    void strike(const KeyPlace& place, unsigned int otherMods, bool hold, bool keepLevelModifiers = false) {
        const unsigned int others = keepLevelModifiers ? otherMods : otherMods & ~place.typeMods;
        const SavedState saved = enter(place.levelMods | others, place.group);
        XTestFakeKeyEvent(display, place.keycode, True, CurrentTime);
        if (!hold) XTestFakeKeyEvent(display, place.keycode, False, CurrentTime);
        leave(saved);
        if (hold) heldKeycodes.insert(place.keycode);
    }

    void typeCharacter(char32_t scalar, EventFlags flags) {
        if (isControlCharacter(scalar) || scalar > 0x10FFFF) return;
        const auto keysym = static_cast<unsigned long>(xkb_utf32_to_keysym(static_cast<std::uint32_t>(scalar)));
        if (keysym == NoSymbol) return;
        auto place = find(keysym, scalar);
        if (!place) place = bindSpare(keysym);
        if (!place) return;
        // The character decides the level; Shift from the flags has no say in it.
        strike(*place, realMods(flags & ~EventFlag::shift), false);
    }

    void modifierKey(std::uint16_t virtualKey, unsigned long keysym, bool down) {
        const EventFlags flag = flagForKeysym(keysym);
        if (down) {
            if (pressedByVirtualKey.count(virtualKey)) return;
            auto place = find(keysym);
            if (!place) return;
            XTestFakeKeyEvent(display, place->keycode, True, CurrentTime);
            heldKeycodes.insert(place->keycode);
            pressedByVirtualKey[virtualKey] = place->keycode;
            heldModifiers |= flag;
        } else {
            release(virtualKey);
            bool stillHeld = false;
            for (const auto& [other, code] : pressedByVirtualKey) {
                if (flagForKeysym(XTestEventPoster::keysymForKeyCode(other)) == flag) stillHeld = true;
            }
            if (!stillHeld) heldModifiers &= ~flag;
        }
    }

    void release(std::uint16_t virtualKey) {
        auto it = pressedByVirtualKey.find(virtualKey);
        if (it == pressedByVirtualKey.end()) return;
        XTestFakeKeyEvent(display, it->second, False, CurrentTime);
        heldKeycodes.erase(it->second);
        pressedByVirtualKey.erase(it);
    }

    void virtualKeyDown(std::uint16_t virtualKey, unsigned long keysym, EventFlags flags) {
        release(virtualKey);  // a repeated press without its release
        // A character key types the character the US key gives with these flags; other keys
        // (Return, arrows, F-keys) keep every modifier, Shift+Tab included.
        const bool character = keysym >= 0x20 && keysym < 0x7F;
        unsigned int otherMods = realMods(character ? flags & ~EventFlag::shift : flags);
        if (character && (flags & EventFlag::shift)) keysym = shiftedUSKeysym(keysym);
        auto place = find(keysym);
        if (!place && character) place = bindSpare(keysym);
        if (!place) return;
        strike(*place, otherMods, true, !character);
        pressedByVirtualKey[virtualKey] = place->keycode;
    }

    // Pixel deltas add up until they make a click of 12 pixels; a turn of direction starts afresh.
    void wheel(int axis, unsigned int positiveButton, unsigned int negativeButton, std::int32_t amount, ScrollUnit unit) {
        if (amount == 0) return;
        std::int32_t clicks = amount;
        std::int32_t& remainder = scrollRemainder[axis];
        if (unit == ScrollUnit::line) {
            remainder = 0;
        } else {
            if ((remainder > 0) != (amount > 0)) remainder = 0;
            remainder += amount;
            clicks = remainder / 12;
            remainder -= clicks * 12;
        }
        const unsigned int button = clicks > 0 ? positiveButton : negativeButton;
        for (std::int32_t i = 0; i < std::abs(clicks); ++i) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
    }

    // The height of the main display (the primary output, else the first lit one), which the
    // bottom-left origin of reported pointer positions refers to; the screen's when RandR says
    // nothing.
    int mainDisplayHeight() const {
        const Window root = DefaultRootWindow(display);
        int height = DisplayHeight(display, DefaultScreen(display));
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
        if (!resources) return height;
        const RROutput primary = XRRGetOutputPrimary(display, root);
        std::optional<int> primaryHeight, firstHeight;
        for (int i = 0; i < resources->noutput; ++i) {
            XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
            if (!output) continue;
            if (output->crtc) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, output->crtc)) {
                    if (crtc->height > 0) {
                        if (!firstHeight) firstHeight = static_cast<int>(crtc->height);
                        if (resources->outputs[i] == primary) primaryHeight = static_cast<int>(crtc->height);
                    }
                    XRRFreeCrtcInfo(crtc);
                }
            }
            XRRFreeOutputInfo(output);
        }
        XRRFreeScreenResources(resources);
        return primaryHeight.value_or(firstHeight.value_or(height));
    }
};

XTestEventPoster::XTestEventPoster(std::unique_ptr<State> state) : state_(std::move(state)) {}

XTestEventPoster::~XTestEventPoster() {
    std::lock_guard lock(state_->mutex);
    // Nothing this poster pressed stays down, and no keycode stays lent out, after it is gone.
    for (unsigned int code : state_->heldKeycodes) XTestFakeKeyEvent(state_->display, code, False, CurrentTime);
    std::vector<KeyCode> lent;
    for (const auto& [code, binding] : state_->spareBindings) lent.push_back(code);
    for (KeyCode code : lent) state_->unbindSpare(code);
    XSync(state_->display, False);
    if (state_->xkb) {
        XkbFreeKeyboard(state_->xkb, 0, True);
        state_->xkb = nullptr;
    }
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
    int opcode = 0, xkbEventBase = 0, xkbErrorBase = 0, xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &xkbEventBase, &xkbErrorBase, &xkbMajor, &xkbMinor)) {
        XCloseDisplay(display);
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->display = display;
    state->xkbEventType = xkbEventBase;
    // Layout changes (setxkbmap, a switch of layout) arrive as these notifications.
    XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask | XkbNewKeyboardNotifyMask,
                    XkbMapNotifyMask | XkbNewKeyboardNotifyMask);
    state->loadKeymap();
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
        // Positive wheel 2 scrolls right (button 7), negative left (button 6).
        state_->wheel(0, 4, 5, event.wheel1, event.scrollUnit);
        state_->wheel(1, 7, 6, event.wheel2, event.scrollUnit);
        break;
    case EventType::keyDown:
    case EventType::keyUp: {
        state_->followKeymapChanges();
        state_->releaseOldSpareBindings();
        if (!event.unicodeText.empty()) {
            if (!event.isKeyDown()) break;
            const std::u16string& text = event.unicodeText;
            for (std::size_t i = 0; i < text.size(); ++i) {
                char32_t scalar = text[i];
                if (scalar >= 0xD800 && scalar < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                    text[i + 1] < 0xE000) {
                    scalar = 0x10000 + ((scalar - 0xD800) << 10) + (text[++i] - 0xDC00);
                } else if (scalar >= 0xD800 && scalar < 0xE000) {
                    continue;  // a lone surrogate is no character
                }
                state_->typeCharacter(scalar, event.flags);
            }
            break;
        }
        const unsigned long keysym = keysymForKeyCode(event.keyCode);
        if (keysym == 0) break;
        if (flagForKeysym(keysym)) {
            state_->modifierKey(event.keyCode, keysym, event.isKeyDown());
        } else if (event.isKeyDown()) {
            state_->virtualKeyDown(event.keyCode, keysym, event.flags);
        } else {
            state_->release(event.keyCode);
        }
        break;
    }
    case EventType::flagsChanged: {
        // Brings the held modifier keys in line with the event's flags.
        state_->followKeymapChanges();
        for (const ModifierKey& modifier : modifierKeys) {
            const bool want = (event.flags & modifier.flag) != 0;
            if (want != ((state_->heldModifiers & modifier.flag) != 0)) {
                if (want) {
                    state_->modifierKey(modifier.virtualKey, modifier.keysym, true);
                } else {
                    // Every key held for this modifier goes up.
                    std::vector<std::uint16_t> keys;
                    for (const auto& [virtualKey, code] : state_->pressedByVirtualKey) {
                        if (flagForKeysym(keysymForKeyCode(virtualKey)) == modifier.flag) keys.push_back(virtualKey);
                    }
                    for (std::uint16_t virtualKey : keys) state_->modifierKey(virtualKey, keysymForKeyCode(virtualKey), false);
                    state_->heldModifiers &= ~modifier.flag;
                }
            }
        }
        break;
    }
    case EventType::systemDefined: {
        const unsigned long keysym = systemKeysym((event.data1 >> 16) & 0xFFFF);
        const std::int64_t phase = (event.data1 >> 8) & 0xFF;
        if (keysym != 0 && (phase == 0x0a || phase == 0x0b)) {
            state_->followKeymapChanges();
            // System keys are held under a virtual key number of their own above the real ones.
            const auto virtualKey = static_cast<std::uint16_t>(0x8000 | ((event.data1 >> 16) & 0xFFF));
            if (phase == 0x0a) {
                if (auto place = state_->find(keysym)) {
                    state_->release(virtualKey);
                    XTestFakeKeyEvent(display, place->keycode, True, CurrentTime);
                    state_->heldKeycodes.insert(place->keycode);
                    state_->pressedByVirtualKey[virtualKey] = place->keycode;
                }
            } else {
                state_->release(virtualKey);
            }
        }
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
    // Flipped with the main display's height, as the Host flips it back.
    const int height = state_->mainDisplayHeight();
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
