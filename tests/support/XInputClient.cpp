#include "support/XInputClient.h"

#include <poll.h>
#include <sys/wait.h>

#include <cstdlib>

#include <xkbcommon/xkbcommon.h>

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace qm::test {

namespace {

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::size_t utf8Length(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

struct XInputClient::State {
    std::string name;
    Display* display = nullptr;
    Window window = 0;
    std::string text;
    std::vector<unsigned int> wheel;
    bool mapped = false;
    bool focused = false;
};

std::unique_ptr<XInputClient> XInputClient::open(const std::string& displayName) {
    Display* display = XOpenDisplay(displayName.c_str());
    if (!display) return nullptr;
    auto state = std::make_unique<State>();
    state->name = displayName;
    state->display = display;
    const int screen = DefaultScreen(display);
    state->window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 400, 300, 0, 0, 0);
    XSelectInput(display, state->window, KeyPressMask | ButtonPressMask | StructureNotifyMask | FocusChangeMask);
    // As an ordinary application window: a name, and a wish for the keyboard focus.
    XStoreName(display, state->window, "Quillmere typing test");
    XWMHints hints{};
    hints.flags = InputHint | StateHint;
    hints.input = True;
    hints.initial_state = NormalState;
    XSetWMHints(display, state->window, &hints);
    XMapRaised(display, state->window);
    auto client = std::unique_ptr<XInputClient>(new XInputClient(std::move(state)));
    State& s = *client->state_;
    // A window manager that is still starting may drop the map request: ask again until mapped.
    for (int attempt = 0; attempt < 10 && !s.mapped; ++attempt) {
        if (attempt > 0) XMapRaised(display, s.window);
        client->pump([&] { return s.mapped; }, std::chrono::seconds(1));
    }
    if (!s.mapped) return nullptr;
    // A window manager focuses a new window itself; without one the client takes the focus.
    client->pump([&] { return s.focused; }, std::chrono::seconds(2));
    if (!s.focused) {
        XSetInputFocus(display, s.window, RevertToParent, CurrentTime);
        client->pump([&] { return s.focused; }, std::chrono::seconds(5));
    }
    return client;
}

XInputClient::XInputClient(std::unique_ptr<State> state) : state_(std::move(state)) {}

XInputClient::~XInputClient() {
    XDestroyWindow(state_->display, state_->window);
    XCloseDisplay(state_->display);
}

void XInputClient::pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    Display* display = state_->display;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify) state_->mapped = true;
            if (event.type == FocusIn) state_->focused = true;
            if (event.type == FocusOut && event.xfocus.mode == NotifyNormal) state_->focused = false;
            if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
            if (event.type == KeyPress) {
                char buffer[32];
                KeySym keysym = NoSymbol;
                XLookupString(&event.xkey, buffer, sizeof buffer, &keysym, nullptr);
                if (const std::uint32_t c = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(keysym)); c >= 0x20) {
                    appendUtf8(state_->text, c);
                }
            }
            if (event.type == ButtonPress && event.xbutton.button >= 4 && event.xbutton.button <= 7) {
                state_->wheel.push_back(event.xbutton.button);
            }
        }
        if (done() || std::chrono::steady_clock::now() >= deadline) return;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        ::poll(&fd, 1, 50);
    }
}

std::string XInputClient::waitForText(std::size_t characters, std::chrono::milliseconds timeout) {
    pump([&] { return utf8Length(state_->text) >= characters; }, timeout);
    return state_->text;
}

std::vector<unsigned int> XInputClient::waitForWheel(std::size_t count, std::chrono::milliseconds timeout) {
    pump([&] { return state_->wheel.size() >= count; }, timeout);
    return state_->wheel;
}

void XInputClient::clear() {
    pump([] { return true; }, std::chrono::milliseconds(0));
    state_->text.clear();
    state_->wheel.clear();
}

std::pair<int, int> XInputClient::center() const {
    Window child = 0;
    int x = 0, y = 0;
    XTranslateCoordinates(state_->display, state_->window, DefaultRootWindow(state_->display), 200, 150, &x, &y, &child);
    return {x, y};
}

std::vector<unsigned int> XInputClient::keysDown() const {
    char keys[32];
    XQueryKeymap(state_->display, keys);
    std::vector<unsigned int> down;
    for (unsigned int code = 0; code < 256; ++code) {
        if (keys[code / 8] & (1 << (code % 8))) down.push_back(code);
    }
    return down;
}

unsigned int XInputClient::effectiveModifiers() const {
    XkbStateRec state{};
    XkbGetState(state_->display, XkbUseCoreKbd, &state);
    return state.mods;
}

int XInputClient::boundKeycodes() const {
    int minCode = 0, maxCode = 0, perCode = 0;
    XDisplayKeycodes(state_->display, &minCode, &maxCode);
    KeySym* syms = XGetKeyboardMapping(state_->display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode);
    int bound = 0;
    for (int code = 0; syms && code <= maxCode - minCode; ++code) {
        for (int i = 0; i < perCode; ++i) {
            if (syms[code * perCode + i] != NoSymbol) {
                ++bound;
                break;
            }
        }
    }
    if (syms) XFree(syms);
    return bound;
}

bool XInputClient::setLayout(const std::string& layout) const {
    const std::string command = "setxkbmap -display " + state_->name + " -layout " + layout + " 2>/dev/null";
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace qm::test
