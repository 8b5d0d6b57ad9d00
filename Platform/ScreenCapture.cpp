#include "Platform/ScreenCapture.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qm {

PixelBuffer::PixelBuffer(std::int64_t w, std::int64_t h)
    : width(std::max<std::int64_t>(w, 0)), height(std::max<std::int64_t>(h, 0)), bytesPerRow(width * 4),
      data(static_cast<std::size_t>(width * height * 4)) {}

std::optional<ShareableDisplay> selectTargetDisplay(const std::vector<ShareableDisplay>& displays, DisplayID displayID,
                                                    bool requireExactDisplay, DisplayID mainDisplayID) {
    if (displays.empty()) return std::nullopt;
    for (auto& display : displays) {
        if (display.displayID == displayID) return display;
    }
    if (requireExactDisplay) return std::nullopt;
    for (auto& display : displays) {
        if (display.displayID == mainDisplayID) return display;
    }
    return displays.front();
}

// MARK: - Synthetic content

namespace {

struct Color {
    std::uint8_t r, g, b;
};

void putPixel(PixelBuffer& buffer, std::int64_t x, std::int64_t y, Color c) {
    std::uint8_t* p = buffer.row(y) + x * 4;
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    p[3] = 255;
}

void fillRect(PixelBuffer& buffer, std::int64_t x0, std::int64_t y0, std::int64_t w, std::int64_t h, Color c) {
    const std::int64_t x1 = std::min(buffer.width, x0 + w);
    const std::int64_t y1 = std::min(buffer.height, y0 + h);
    x0 = std::max<std::int64_t>(x0, 0);
    y0 = std::max<std::int64_t>(y0, 0);
    for (std::int64_t y = y0; y < y1; ++y) {
        for (std::int64_t x = x0; x < x1; ++x) putPixel(buffer, x, y, c);
    }
}

// A small linear congruential generator: the same text for the same seed on every platform.
struct TextRandom {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    std::int64_t range(std::int64_t lo, std::int64_t hi) { return lo + static_cast<std::int64_t>(next() % (hi - lo + 1)); }
};

// Lines of word-like runs of 3 x 5 glyphs: sharp, irregular edges like rendered text.
void drawText(PixelBuffer& buffer, std::int64_t x0, std::int64_t y0, std::int64_t w, std::int64_t h,
              std::int64_t lineHeight, Color ink, std::uint32_t seed) {
    TextRandom random{seed};
    const std::int64_t cell = std::max<std::int64_t>(1, (lineHeight * 7 / 10) / 5);  // glyph pixels per bitmap unit
    const std::int64_t glyphWidth = cell * 3;
    const std::int64_t margin = std::max<std::int64_t>(2, lineHeight / 2);
    for (std::int64_t lineY = y0 + margin / 2; lineY + cell * 5 <= y0 + h; lineY += lineHeight) {
        const std::int64_t lineEnd = x0 + w - margin - random.range(0, std::max<std::int64_t>(1, w / 3));
        std::int64_t x = x0 + margin;
        while (x + glyphWidth < lineEnd) {
            const std::int64_t letters = random.range(2, 9);
            for (std::int64_t letter = 0; letter < letters && x + glyphWidth < lineEnd; ++letter) {
                std::uint32_t mask = random.next() & 0x7FFF;
                mask |= 0x2492;  // keep a vertical stem so every glyph has ink
                for (int bit = 0; bit < 15; ++bit) {
                    if (mask & (1u << bit)) fillRect(buffer, x + (bit % 3) * cell, lineY + (bit / 3) * cell, cell, cell, ink);
                }
                x += glyphWidth + std::max<std::int64_t>(1, cell);
            }
            x += glyphWidth;  // word gap
        }
    }
}

std::int64_t triangleWave(std::int64_t t, std::int64_t range) {
    if (range <= 0) return 0;
    const std::int64_t period = 2 * range;
    const std::int64_t phase = t % period;
    return phase < range ? phase : period - phase;
}

}  // namespace

SyntheticScreenContent::SyntheticScreenContent(std::int64_t width, std::int64_t height)
    : width_(std::max<std::int64_t>(width, 1)), height_(std::max<std::int64_t>(height, 1)), base_(width_, height_) {
    const std::int64_t w = width_;
    const std::int64_t h = height_;
    const std::int64_t lineHeight = std::max<std::int64_t>(10, h / 54);

    // Desktop: a smooth two-way gradient. Each channel depends on the column, the row or their
    // sum alone, so it is looked up rather than divided out per pixel: a capture starts on this
    // content, and its first frame should not wait for two million divisions.
    {
        std::vector<std::uint8_t> red(static_cast<std::size_t>(w + h)), green(static_cast<std::size_t>(w));
        for (std::int64_t s = 0; s < w + h; ++s) {
            red[static_cast<std::size_t>(s)] = static_cast<std::uint8_t>(30 + 40 * s / (w + h));
        }
        for (std::int64_t x = 0; x < w; ++x) {
            green[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(50 + 60 * x / w);
        }
        for (std::int64_t y = 0; y < h; ++y) {
            const auto blue = static_cast<std::uint8_t>(90 + 100 * y / h);
            std::uint8_t* p = base_.row(y);
            for (std::int64_t x = 0; x < w; ++x, p += 4) {
                p[0] = blue;
                p[1] = green[static_cast<std::size_t>(x)];
                p[2] = red[static_cast<std::size_t>(x + y)];
                p[3] = 255;
            }
        }
    }

    // A document window: title bar and dark text on white.
    const std::int64_t titleBar = std::max<std::int64_t>(2, h / 40);
    const std::int64_t docX = w * 4 / 100, docY = h * 6 / 100, docW = w * 50 / 100, docH = h * 86 / 100;
    fillRect(base_, docX, docY, docW, titleBar, Color{214, 214, 218});
    fillRect(base_, docX, docY + titleBar, docW, docH - titleBar, Color{248, 248, 246});
    drawText(base_, docX, docY + titleBar, docW, docH - titleBar, lineHeight, Color{32, 32, 36}, 0x5eed1234u);
    document_ = PixelRect{docX, std::min(docY + titleBar, h), std::min(docW, w - docX),
                          std::max<std::int64_t>(0, std::min(docH - titleBar, h - docY - titleBar))};

    // A picture: smooth colour in two directions.
    const std::int64_t picX = w * 58 / 100, picY = h * 6 / 100, picW = std::max<std::int64_t>(1, w * 38 / 100),
                       picH = std::max<std::int64_t>(1, h * 38 / 100);
    {
        std::vector<std::uint8_t> red(static_cast<std::size_t>(picW)), blue(static_cast<std::size_t>(picW + picH));
        for (std::int64_t x = 0; x < picW; ++x) {
            red[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(255 * x / picW);
        }
        for (std::int64_t s = 0; s < picW + picH; ++s) {
            blue[static_cast<std::size_t>(s)] = static_cast<std::uint8_t>(200 - 150 * s / (picW + picH));
        }
        for (std::int64_t y = 0; y < picH && picY + y < h; ++y) {
            const auto green = static_cast<std::uint8_t>(255 * y / picH);
            for (std::int64_t x = 0; x < picW && picX + x < w; ++x) {
                putPixel(base_, picX + x, picY + y,
                         Color{red[static_cast<std::size_t>(x)], green, blue[static_cast<std::size_t>(x + y)]});
            }
        }
    }

    // The scrolling panel: light text on a dark background, one period of it prepared.
    panel_ = PixelRect{w * 58 / 100, h * 50 / 100, std::max<std::int64_t>(1, w * 38 / 100),
                       std::max<std::int64_t>(1, h * 42 / 100)};
    panel_.width = std::min(panel_.width, w - panel_.x);
    panel_.height = std::min(panel_.height, h - panel_.y);
    const std::int64_t period = ((panel_.height + lineHeight - 1) / lineHeight + 3) * lineHeight;
    strip_ = PixelBuffer(panel_.width, period);
    fillRect(strip_, 0, 0, strip_.width, strip_.height, Color{28, 30, 40});
    drawText(strip_, 0, 0, strip_.width, strip_.height, lineHeight, Color{140, 230, 150}, 0xc0ffee11u);
    scrollStep_ = std::max<std::int64_t>(1, lineHeight / 4);

    // The moving block: diagonal stripes in a white frame.
    const std::int64_t side = std::max<std::int64_t>(4, std::min(w, h) / 7);
    block_ = PixelBuffer(std::min(side, w), std::min(side, h));
    const std::int64_t stripe = std::max<std::int64_t>(1, side / 8);
    for (std::int64_t y = 0; y < block_.height; ++y) {
        for (std::int64_t x = 0; x < block_.width; ++x) {
            const bool border = x < 2 || y < 2 || x >= block_.width - 2 || y >= block_.height - 2;
            const bool odd = ((x + y) / stripe) % 2 == 1;
            putPixel(block_, x, y, border ? Color{255, 255, 255} : odd ? Color{240, 140, 20} : Color{90, 40, 160});
        }
    }
    blockStepX_ = std::max<std::int64_t>(1, w / 160);
    blockStepY_ = std::max<std::int64_t>(1, h / 200);
}

SyntheticScreenContent::PixelRect SyntheticScreenContent::movingBlockRect(std::uint64_t frameIndex) const {
    const auto t = static_cast<std::int64_t>(frameIndex % (1ULL << 40));
    return PixelRect{triangleWave(t * blockStepX_, width_ - block_.width), triangleWave(t * blockStepY_, height_ - block_.height),
                     block_.width, block_.height};
}

std::vector<PixelRect> SyntheticScreenContent::changedBetween(const Moment& from, const Moment& to) const {
    std::vector<PixelRect> changed;
    if (from.scroll != to.scroll) changed.push_back(panel_);
    if (from.block != to.block) {
        // The block moves a few pixels a frame: one rectangle covers where it was and where it is.
        const PixelRect a = movingBlockRect(from.block), b = movingBlockRect(to.block);
        const std::int64_t left = std::min(a.x, b.x), top = std::min(a.y, b.y);
        const std::int64_t right = std::max(a.x + a.width, b.x + b.width);
        const std::int64_t bottom = std::max(a.y + a.height, b.y + b.height);
        if ((right - left) * (bottom - top) <= 2 * (a.width * a.height + b.width * b.height)) {
            changed.push_back(PixelRect{left, top, right - left, bottom - top});
        } else {
            changed.push_back(a);
            changed.push_back(b);
        }
    }
    return changed;
}

void SyntheticScreenContent::copyFromBase(PixelBuffer& out, const PixelRect& rect) const {
    const auto bytes = static_cast<std::size_t>(rect.width * 4);
    for (std::int64_t y = rect.y; y < rect.y + rect.height; ++y) {
        std::memcpy(out.row(y) + rect.x * 4, base_.row(y) + rect.x * 4, bytes);
    }
}

void SyntheticScreenContent::drawPanel(std::uint64_t frameIndex, PixelBuffer& out) const {
    const auto offset = static_cast<std::int64_t>((frameIndex % static_cast<std::uint64_t>(strip_.height)) *
                                                  static_cast<std::uint64_t>(scrollStep_) %
                                                  static_cast<std::uint64_t>(strip_.height));
    const auto bytes = static_cast<std::size_t>(panel_.width * 4);
    for (std::int64_t y = 0; y < panel_.height; ++y) {
        std::memcpy(out.row(panel_.y + y) + panel_.x * 4, strip_.row((y + offset) % strip_.height), bytes);
    }
}

void SyntheticScreenContent::drawBlock(std::uint64_t frameIndex, PixelBuffer& out) const {
    const PixelRect rect = movingBlockRect(frameIndex);
    const auto bytes = static_cast<std::size_t>(rect.width * 4);
    for (std::int64_t y = 0; y < rect.height; ++y) {
        std::memcpy(out.row(rect.y + y) + rect.x * 4, block_.row(y), bytes);
    }
}

void SyntheticScreenContent::render(std::uint64_t frameIndex, PixelBuffer& out,
                                    std::optional<std::uint64_t> previousIndex) const {
    std::optional<Moment> previous;
    if (previousIndex) previous = Moment{*previousIndex, *previousIndex};
    render(Moment{frameIndex, frameIndex}, out, previous);
}

void SyntheticScreenContent::render(const Moment& moment, PixelBuffer& out, std::optional<Moment> previous) const {
    const bool sameShape = out.width == width_ && out.height == height_ && out.bytesPerRow >= width_ * 4 &&
                           out.pixelFormat == CapturePixelFormat::bgra &&
                           out.data.size() >= static_cast<std::size_t>(out.bytesPerRow * height_);
    if (!sameShape) {
        out = PixelBuffer(width_, height_);
        previous.reset();
    }
    if (previous && *previous == moment) return;
    if (previous) {
        // Only the block leaves a trace outside the panel; the panel is redrawn whole.
        copyFromBase(out, movingBlockRect(previous->block));
    } else {
        copyFromBase(out, PixelRect{0, 0, width_, height_});
    }
    drawPanel(moment.scroll, out);
    drawBlock(moment.block, out);
}

PixelBuffer SyntheticScreenContent::makeFrame(std::uint64_t frameIndex) const {
    PixelBuffer out(width_, height_);
    render(frameIndex, out);
    return out;
}

// MARK: - Simulated capture

struct SimulatedScreenCapture::State {
    std::shared_ptr<const DisplayService> displays;
    mutable std::mutex mutex;
    Behavior behavior = Behavior::normal;
    Motion motion = Motion::moving;
    std::optional<std::string> contentError;
    std::int64_t running = 0;
    std::int64_t started = 0;
    std::optional<StreamConfiguration> lastConfiguration;
    // Preparing content costs a pass over every pixel; a restarted stream of the same size reuses it.
    std::shared_ptr<const SyntheticScreenContent> lastContent;

    std::shared_ptr<const SyntheticScreenContent> content(std::int64_t width, std::int64_t height) {
        {
            std::lock_guard lock(mutex);
            if (lastContent && lastContent->width() == width && lastContent->height() == height) return lastContent;
        }
        auto made = std::make_shared<const SyntheticScreenContent>(width, height);
        std::lock_guard lock(mutex);
        lastContent = made;
        return made;
    }
    void noteStopped() {
        std::lock_guard lock(mutex);
        --running;
    }
};

namespace {

// The mode a simulated display is captured in: its own, else its bounds at one pixel a point.
DisplayMode simulatedMode(const DisplayInfo& display) {
    return display.currentMode.value_or(
        DisplayMode{roundedInt(display.bounds.width()), roundedInt(display.bounds.height()), 0, 0, 0, 0, 0, true});
}

std::pair<std::int64_t, std::int64_t> simulatedPixelSize(const DisplayInfo& display) {
    const DisplayMode mode = simulatedMode(display);
    return {mode.effectivePixelWidth(), mode.effectivePixelHeight()};
}

// Recycles frame buffers once every consumer has let go of them, remembering which frame each
// one holds so the next frame only redraws what moved.
class FramePool : public std::enable_shared_from_this<FramePool> {
public:
    struct Slot {
        PixelBuffer buffer;
        std::optional<SyntheticScreenContent::Moment> rendered;
    };

    std::shared_ptr<Slot> acquire() {
        std::unique_ptr<Slot> slot;
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                slot = std::move(free_.back());
                free_.pop_back();
            }
        }
        if (!slot) slot = std::make_unique<Slot>();
        std::weak_ptr<FramePool> weakPool = weak_from_this();
        return std::shared_ptr<Slot>(slot.release(), [weakPool](Slot* released) {
            std::unique_ptr<Slot> owned(released);
            if (auto pool = weakPool.lock()) pool->giveBack(std::move(owned));
        });
    }

private:
    void giveBack(std::unique_ptr<Slot> slot) {
        std::lock_guard lock(mutex_);
        if (free_.size() < 6) free_.push_back(std::move(slot));
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<Slot>> free_;
};

class SimulatedStream final : public PacedScreenCaptureStream {
public:
    SimulatedStream(std::shared_ptr<SimulatedScreenCapture::State> state, DisplayID displayID,
                    StreamConfiguration configuration)
        : PacedScreenCaptureStream(displayID, configuration), state_(std::move(state)),
          pool_(std::make_shared<FramePool>()) {}

    ~SimulatedStream() override {
        std::lock_guard lock(mutex_);
        if (running_) state_->noteStopped();
    }

private:
    void didStop() override { state_->noteStopped(); }

    std::optional<std::string> begin() override {
        SimulatedScreenCapture::Behavior behavior;
        {
            std::lock_guard lock(state_->mutex);
            behavior = state_->behavior;
        }
        if (behavior == SimulatedScreenCapture::Behavior::failsToStart) {
            return std::string("simulated capture failure: the stream could not start");
        }
        auto display = state_->displays->display(displayID_);
        if (!display) return "display " + std::to_string(displayID_) + " is not available for capture";

        const DisplayMode mode = simulatedMode(*display);
        const std::int64_t width = configuration_.width > 0 ? configuration_.width : mode.effectivePixelWidth();
        const std::int64_t height = configuration_.height > 0 ? configuration_.height : mode.effectivePixelHeight();
        if (width <= 0 || height <= 0) return "display " + std::to_string(displayID_) + " has no size to capture";
        double interval = configuration_.minimumFrameInterval;
        if (!(interval > 0)) interval = 1.0 / (mode.refreshRate > 0 ? mode.refreshRate : 60.0);

        auto content = state_->content(width, height);
        {
            std::lock_guard lock(mutex_);
            if (running_) return std::string("stream is already running");
            content_ = std::move(content);
            delivered_.reset();
            startPacingLocked(interval, behavior != SimulatedScreenCapture::Behavior::deliversNoFrames);
        }
        std::lock_guard lock(state_->mutex);
        ++state_->running;
        ++state_->started;
        state_->lastConfiguration = configuration_;
        state_->lastConfiguration->width = width;
        state_->lastConfiguration->height = height;
        state_->lastConfiguration->minimumFrameInterval = interval;
        return std::nullopt;
    }

    void deliver(std::uint64_t slot) override {
        auto handler = takeSlot();
        if (!handler) return;
        std::shared_ptr<const SyntheticScreenContent> content;
        {
            std::lock_guard lock(mutex_);
            content = content_;
        }
        if (!state_->displays->display(displayID_)) {
            stopByItself("display " + std::to_string(displayID_) + " is no longer available");
            return;
        }

    SimulatedScreenCapture::Motion motion;
        {
            std::lock_guard lock(state_->mutex);
            motion = state_->motion;
        }
        // The parts that do not move stay where the last frame had them.
        const SyntheticScreenContent::Moment last = delivered_.value_or(SyntheticScreenContent::Moment{slot, slot});
        SyntheticScreenContent::Moment moment{slot, slot};
        if (motion == SimulatedScreenCapture::Motion::scrolling) moment.block = last.block;
        if (motion == SimulatedScreenCapture::Motion::still) moment = last;

        auto slotBuffer = pool_->acquire();
        content->render(moment, slotBuffer->buffer, slotBuffer->rendered);
        slotBuffer->rendered = moment;
        CapturedFrame frame;
        frame.unchanged = delivered_ == moment;
        if (delivered_ && !frame.unchanged) frame.changedRegion = content->changedBetween(*delivered_, moment);
        delivered_ = moment;
        frame.pixelBuffer = std::shared_ptr<const PixelBuffer>(slotBuffer, &slotBuffer->buffer);
        frame.uptimeNs = now();
        frame.frameIndex = slot;
        frame.displayID = displayID_;
        slotBuffer.reset();
        handler(frame);
        scheduleNext(slot);
    }

    std::shared_ptr<SimulatedScreenCapture::State> state_;
    std::shared_ptr<FramePool> pool_;
    std::shared_ptr<const SyntheticScreenContent> content_;                 // mutex_
    std::optional<SyntheticScreenContent::Moment> delivered_;  // set before the first delivery, then output queue only
};

}  // namespace

// ---- Paced streams -----------------------------------------------------------------------------

PacedScreenCaptureStream::~PacedScreenCaptureStream() {
    std::lock_guard lock(mutex_);
    if (pending_) pending_->cancel();
}

void PacedScreenCaptureStream::addScreenOutput(DispatchQueuePtr queue, std::function<void(const CapturedFrame&)> handler) {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    handler_ = std::move(handler);
}

void PacedScreenCaptureStream::setStopHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(mutex_);
    stopHandler_ = std::move(handler);
}

void PacedScreenCaptureStream::startCapture(Completion completion) {
    auto error = begin();
    if (completion) completion(error);
}

void PacedScreenCaptureStream::stopCapture(Completion completion) {
    bool wasRunning;
    {
        std::lock_guard lock(mutex_);
        wasRunning = running_;
        running_ = false;
        if (pending_) pending_->cancel();
        pending_.reset();
    }
    if (wasRunning) didStop();
    if (completion) completion(wasRunning ? std::nullopt : std::optional<std::string>("stream is not running"));
}

bool PacedScreenCaptureStream::startPacingLocked(double intervalSeconds, bool deliversFrames, bool catchUpLateSlot) {
    if (running_) return false;
    running_ = true;
    deliversFrames_ = deliversFrames;
    catchUpLateSlot_ = catchUpLateSlot;
    intervalNs_ = intervalSeconds * 1e9;
    startNs_ = now();
    scheduleLocked(0);
    return true;
}

std::function<void(const CapturedFrame&)> PacedScreenCaptureStream::takeSlot() {
    std::lock_guard lock(mutex_);
    if (!running_) return nullptr;
    pending_.reset();
    return handler_;
}

void PacedScreenCaptureStream::scheduleNext(std::uint64_t slot) {
    std::lock_guard lock(mutex_);
    if (running_) scheduleLocked(slot + 1);
}

void PacedScreenCaptureStream::stopByItself(const std::string& reason) {
    std::function<void(const std::string&)> stopHandler;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        stopHandler = stopHandler_;
    }
    didStop();
    if (stopHandler) stopHandler(reason);
}

std::uint64_t PacedScreenCaptureStream::deadline(std::uint64_t slot) const {
    return startNs_ + static_cast<std::uint64_t>(static_cast<double>(slot + 1) * intervalNs_ + 0.5);
}

void PacedScreenCaptureStream::scheduleLocked(std::uint64_t slot) {
    if (!queue_ || !handler_ || !deliversFrames_) return;
    const std::uint64_t current = queue_->clock().uptimeNs();
    if (catchUpLateSlot_) {
        while (deadline(slot + 1) <= current) ++slot;
    } else {
        while (deadline(slot) < current) ++slot;
    }
    const double delay = deadline(slot) > current ? static_cast<double>(deadline(slot) - current) / 1e9 : 0.0;
    std::weak_ptr<PacedScreenCaptureStream> weakSelf = weak_from_this();
    pending_ = queue_->asyncAfter(delay, [weakSelf, slot] {
        if (auto self = weakSelf.lock()) self->deliver(slot);
    });
}

SimulatedScreenCapture::SimulatedScreenCapture(std::shared_ptr<const DisplayService> displays)
    : state_(std::make_shared<State>()) {
    state_->displays = std::move(displays);
    // A real display's pixels are there before anyone captures them: the main display's content
    // is prepared now, so that a stream's first frame does not wait for it to be drawn.
    if (!state_->displays) return;
    if (auto display = state_->displays->display(state_->displays->mainDisplayID())) {
        const auto [width, height] = simulatedPixelSize(*display);
        if (width > 0 && height > 0) state_->content(width, height);
    }
}

ShareableContentResult SimulatedScreenCapture::shareableContent() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->contentError) return ShareableContentResult{std::nullopt, *state_->contentError};
    }
    ShareableContent content;
    for (auto& info : state_->displays->onlineDisplays()) {
        if (!info.isOnline || !info.isActive) continue;
        content.displays.push_back(ShareableDisplay{info.displayID, roundedInt(info.bounds.width()),
                                                    roundedInt(info.bounds.height()), info.bounds});
    }
    return ShareableContentResult{std::move(content), {}};
}

std::shared_ptr<ScreenCaptureStream> SimulatedScreenCapture::makeStream(DisplayID displayID,
                                                                        const StreamConfiguration& configuration) {
    return std::make_shared<SimulatedStream>(state_, displayID, configuration);
}

void SimulatedScreenCapture::setBehavior(Behavior behavior) {
    std::lock_guard lock(state_->mutex);
    state_->behavior = behavior;
}

void SimulatedScreenCapture::setMotion(Motion motion) {
    std::lock_guard lock(state_->mutex);
    state_->motion = motion;
}

void SimulatedScreenCapture::setShareableContentError(std::optional<std::string> error) {
    std::lock_guard lock(state_->mutex);
    state_->contentError = std::move(error);
}

std::int64_t SimulatedScreenCapture::runningStreamCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->running;
}

std::int64_t SimulatedScreenCapture::startedStreamCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->started;
}

std::optional<StreamConfiguration> SimulatedScreenCapture::lastStartedConfiguration() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastConfiguration;
}

}  // namespace qm
