#pragma once

// Include last: Xlib's macros (None, Bool, Status) clash with other headers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "Platform/ScreenCapture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace qm::bench {

enum class RedrawShape { moving, scrolling };

// An X client window (1600x900 at 100,60) showing the synthetic desktop's document, picture, text
// panel and patterned block, redrawing what changed 60 times a second: "scrolling" scrolls the
// panel only, "moving" also moves the block. Openbox may leave a new window unmapped; the window
// then maps itself override-redirect, and says so (managed()).
class RedrawingWindow {
public:
    static constexpr int width = 1600, height = 900;

    RedrawingWindow(std::string server, std::string title) : server_(std::move(server)), title_(std::move(title)) {}
    ~RedrawingWindow() { stop(); }
    RedrawingWindow(const RedrawingWindow&) = delete;
    RedrawingWindow& operator=(const RedrawingWindow&) = delete;

    bool start() {
        using Steady = std::chrono::steady_clock;
        display_ = XOpenDisplay(server_.c_str());
        if (!display_) return false;
        const int screen = DefaultScreen(display_);
        window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 100, 60, width, height, 0, 0, 0);
        XStoreName(display_, window_, title_.c_str());
        XMapWindow(display_, window_);
        XSync(display_, False);
        // The window manager maps it; wait (a while at most) until it shows. Where it does not
        // (openbox here sometimes leaves a new window unmapped), the window places itself.
        auto waitShown = [&] {
            const auto until = Steady::now() + std::chrono::milliseconds(1500);
            for (XWindowAttributes attributes{}; Steady::now() < until;) {
                if (XGetWindowAttributes(display_, window_, &attributes) && attributes.map_state == IsViewable) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            return false;
        };
        managed_ = waitShown();
        if (!managed_) {
            XUnmapWindow(display_, window_);
            XSetWindowAttributes attributes{};
            attributes.override_redirect = True;
            XChangeWindowAttributes(display_, window_, CWOverrideRedirect, &attributes);
            XMapRaised(display_, window_);
            XSync(display_, False);
            if (!waitShown()) return false;
        }
        gc_ = XCreateGC(display_, window_, 0, nullptr);
        content_.render(moment_, picture_);
        image_ = XCreateImage(display_, DefaultVisual(display_, screen), 24, ZPixmap, 0,
                              reinterpret_cast<char*>(picture_.data.data()), width, height, 32,
                              static_cast<int>(picture_.bytesPerRow));
        XPutImage(display_, window_, gc_, image_, 0, 0, 0, 0, width, height);
        XSync(display_, False);
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void setShape(RedrawShape shape) { shape_.store(shape); }
    bool managed() const { return managed_; }
    // Ticks since the last call, and how many of them missed their 60 Hz slot.
    std::pair<std::int64_t, std::int64_t> takeTicks() { return {ticks_.exchange(0), missed_.exchange(0)}; }

    void stop() {
        if (!display_) return;
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
        if (image_) {
            image_->data = nullptr;  // the pixels are the buffer's
            XDestroyImage(image_);
            XFreeGC(display_, gc_);
        }
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
        display_ = nullptr;
    }

private:
    void run() {
        using Steady = std::chrono::steady_clock;
        const auto interval = std::chrono::nanoseconds(1'000'000'000 / 60);
        auto next = Steady::now() + interval;
        while (!stopping_.load()) {
            std::this_thread::sleep_until(next);
            const auto previous = moment_;
            ++moment_.scroll;
            if (shape_.load() == RedrawShape::moving) ++moment_.block;
            content_.render(moment_, picture_, previous);
            for (const auto& rect : content_.changedBetween(previous, moment_)) {
                XPutImage(display_, window_, gc_, image_, static_cast<int>(rect.x), static_cast<int>(rect.y),
                          static_cast<int>(rect.x), static_cast<int>(rect.y), static_cast<unsigned>(rect.width),
                          static_cast<unsigned>(rect.height));
            }
            XSync(display_, False);
            ++ticks_;
            next += interval;
            if (Steady::now() > next) {
                // Late past the next slot: count it and start again from now rather than catch up.
                ++missed_;
                next = Steady::now() + interval;
            }
        }
    }

    std::string server_;
    std::string title_;
    SyntheticScreenContent content_{width, height};
    PixelBuffer picture_;
    SyntheticScreenContent::Moment moment_{};
    Display* display_ = nullptr;
    Window window_ = 0;
    bool managed_ = false;  // mapped by the window manager, not by itself
    GC gc_{};
    XImage* image_ = nullptr;
    std::atomic<RedrawShape> shape_{RedrawShape::moving};
    std::atomic<bool> stopping_{false};
    std::atomic<std::int64_t> ticks_{0}, missed_{0};
    std::thread thread_;
};

}  // namespace qm::bench
