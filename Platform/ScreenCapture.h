#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/Displays.h"
#include "Platform/Core/Geometry.h"

namespace qm {

// Pixel layouts a capture stream can deliver. BGRA: 4 bytes per pixel, blue, green, red, alpha
// (alpha always 255), rows top to bottom, full range sRGB values.
enum class CapturePixelFormat : std::uint8_t { bgra };

// A rectangle of pixels of a picture, y from the top row.
struct PixelRect {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// One captured picture. Rows may be padded: use bytesPerRow, not width * 4.
struct PixelBuffer {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t bytesPerRow = 0;
    CapturePixelFormat pixelFormat = CapturePixelFormat::bgra;
    std::vector<std::uint8_t> data;
    // Pixels that live elsewhere (a shared-memory image the capture reads into), so that the
    // converter reads them where they are. When set they stand in for `data`. The capture that
    // hands out such a buffer keeps the pixels valid until the frame is released; a copy of the
    // buffer copies the pointer, not the pixels.
    std::uint8_t* external = nullptr;
    std::size_t externalSize = 0;

    PixelBuffer() = default;
    PixelBuffer(std::int64_t width, std::int64_t height);

    std::uint8_t* bytes() { return external ? external : data.data(); }
    const std::uint8_t* bytes() const { return external ? external : data.data(); }
    std::size_t byteCount() const { return external ? externalSize : data.size(); }
    std::uint8_t* row(std::int64_t y) { return bytes() + y * bytesPerRow; }
    const std::uint8_t* row(std::int64_t y) const { return bytes() + y * bytesPerRow; }
};

struct CapturedFrame {
    std::shared_ptr<const PixelBuffer> pixelBuffer;
    std::uint64_t uptimeNs = 0;    // when the picture was taken, on the stream queue's clock
    std::uint64_t frameIndex = 0;  // the stream's time slot: 0 for the first, gaps where frames were skipped
    DisplayID displayID = 0;
    // The picture is the same as the one the stream delivered before it (nothing on screen
    // changed), so a consumer may reuse what it made of that one.
    bool unchanged = false;
    // Where the picture may differ from the one the stream delivered before it, when the capture
    // knows: every changed pixel lies in one of these rectangles. None when it does not know (the
    // first frame, or a capture that cannot tell), and then any pixel may have changed.
    std::optional<std::vector<PixelRect>> changedRegion;
};

// A display as capture sees it: its id and its size and place in points.
struct ShareableDisplay {
    DisplayID displayID = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    Rect frame;
    friend bool operator==(const ShareableDisplay&, const ShareableDisplay&) = default;
};

struct ShareableContent {
    std::vector<ShareableDisplay> displays;
};

// The content listing, or the reason there is none.
struct ShareableContentResult {
    std::optional<ShareableContent> content;
    std::string error;
};

struct StreamConfiguration {
    std::int64_t width = 0;  // output size in pixels; 0 takes the display's pixel size
    std::int64_t height = 0;
    CapturePixelFormat pixelFormat = CapturePixelFormat::bgra;
    double minimumFrameInterval = 1.0 / 60.0;  // seconds between frames; 0 follows the display's refresh rate
    bool showsCursor = true;
};

// A capture stream on one display. Set the output and the stop handler before starting.
class ScreenCaptureStream {
public:
    // Called with no value on success, else with the reason for the failure.
    using Completion = std::function<void(const std::optional<std::string>& error)>;

    virtual ~ScreenCaptureStream() = default;
    virtual DisplayID displayID() const = 0;
    virtual const StreamConfiguration& configuration() const = 0;
    // Frames are handed to `handler` on `sampleHandlerQueue`, one at a time and in order.
    virtual void addScreenOutput(DispatchQueuePtr sampleHandlerQueue,
                                 std::function<void(const CapturedFrame&)> handler) = 0;
    // Called (on any thread) when a running stream stops by itself, with the reason.
    virtual void setStopHandler(std::function<void(const std::string& error)> handler) = 0;
    virtual void startCapture(Completion completion) = 0;
    // After the completion has run no further frame is handed to the output.
    virtual void stopCapture(Completion completion) = 0;
};

// A stream that delivers one frame per slot of a fixed grid on its output queue: slot n is due
// at start + (n + 1) x interval of the queue's clock, and a consumer that falls behind misses the
// slots that already passed, as a real stream drops them. Subclasses say how a stream begins and
// how it fills one slot; the output, the stop handler, the pacing and the stops live here.
class PacedScreenCaptureStream : public ScreenCaptureStream,
                                 public std::enable_shared_from_this<PacedScreenCaptureStream> {
public:
    PacedScreenCaptureStream(DisplayID displayID, StreamConfiguration configuration)
        : displayID_(displayID), configuration_(configuration) {}
    ~PacedScreenCaptureStream() override;

    DisplayID displayID() const override { return displayID_; }
    const StreamConfiguration& configuration() const override { return configuration_; }
    void addScreenOutput(DispatchQueuePtr queue, std::function<void(const CapturedFrame&)> handler) override;
    void setStopHandler(std::function<void(const std::string&)> handler) override;
    void startCapture(Completion completion) override;
    void stopCapture(Completion completion) override;

protected:
    // Prepares the stream and calls startPacingLocked() under `mutex_`; the failure text, if any.
    virtual std::optional<std::string> begin() = 0;
    // Fills and hands over one slot's frame (call `takeSlot` first).
    virtual void deliver(std::uint64_t slot) = 0;
    // After a running stream stopped, by request or by itself.
    virtual void didStop() {}

    // Marks the stream running and schedules slot 0; false when it already runs.
    // A slot whose time has passed when the next one is scheduled is skipped. With
    // `catchUpLateSlot` it is skipped only when the slot after it is due too: a capture that ran
    // late by less than an interval takes the next picture at once rather than waiting for the
    // slot after, as a screen grabber that keeps its frame rate on a busy machine does.
    bool startPacingLocked(double intervalSeconds, bool deliversFrames = true, bool catchUpLateSlot = false);
    // The output for one slot, or none when the stream stopped meanwhile.
    std::function<void(const CapturedFrame&)> takeSlot();
    // Schedules the slot after `slot` while the stream runs.
    void scheduleNext(std::uint64_t slot);
    // The stream stops without being asked; the stop handler hears why.
    void stopByItself(const std::string& reason);
    std::uint64_t now() const { return queue_ ? queue_->clock().uptimeNs() : 0; }

    const DisplayID displayID_;
    const StreamConfiguration configuration_;
    std::mutex mutex_;
    DispatchQueuePtr queue_;  // set before start, then read only
    std::function<void(const CapturedFrame&)> handler_;
    bool running_ = false;

private:
    std::uint64_t deadline(std::uint64_t slot) const;
    void scheduleLocked(std::uint64_t slot);

    std::function<void(const std::string&)> stopHandler_;
    bool deliversFrames_ = true;
    bool catchUpLateSlot_ = false;
    std::uint64_t startNs_ = 0;
    double intervalNs_ = 0;
    DispatchWorkItemPtr pending_;
};

class ScreenCaptureService {
public:
    virtual ~ScreenCaptureService() = default;
    virtual ShareableContentResult shareableContent() = 0;
    // A stream on the display, not yet started. Nothing is checked until it starts.
    virtual std::shared_ptr<ScreenCaptureStream> makeStream(DisplayID displayID,
                                                            const StreamConfiguration& configuration) = 0;
};

// The display that a capture of `displayID` should use, out of a content listing: none for an
// empty list; the display with that id; none when `requireExactDisplay`; else the main display;
// else the first display. Audio and video capture share this rule.
std::optional<ShareableDisplay> selectTargetDisplay(const std::vector<ShareableDisplay>& displays, DisplayID displayID,
                                                    bool requireExactDisplay, DisplayID mainDisplayID);

// Deterministic moving desktop content at one size: a desktop gradient, a document window of
// text, a smooth picture, a panel of text that scrolls every frame and a patterned block that
// moves across the screen. The picture of frame n depends only on the size and n, so a test can
// render the source of any frame again. All per-pixel work happens once, at construction; a frame
// is row copies from prepared images.
class SyntheticScreenContent {
public:
    SyntheticScreenContent(std::int64_t width, std::int64_t height);

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }

    // Where the moving parts stand: how many steps the panel has scrolled and the block has moved.
    // Frame n of the moving desktop is Moment{n, n}.
    struct Moment {
        std::uint64_t scroll = 0;
        std::uint64_t block = 0;
        friend bool operator==(const Moment&, const Moment&) = default;
    };

    // Renders frame `frameIndex` into `out` (resized when its size differs). When `out` already
    // holds frame `previousIndex` of this content, only what changed between the two is redrawn.
    void render(std::uint64_t frameIndex, PixelBuffer& out,
                std::optional<std::uint64_t> previousIndex = std::nullopt) const;
    // The same for any moment, so that parts can stand still while others move.
    void render(const Moment& moment, PixelBuffer& out, std::optional<Moment> previous = std::nullopt) const;
    PixelBuffer makeFrame(std::uint64_t frameIndex) const;

    // Where the moving block is in frame `frameIndex` (pixels; for tests and damage tracking).
    using PixelRect = qm::PixelRect;
    PixelRect movingBlockRect(std::uint64_t frameIndex) const;
    // Where the pictures of two moments differ: the panel when it scrolled, the block's old and
    // new places when it moved; none when they are the same.
    std::vector<PixelRect> changedBetween(const Moment& from, const Moment& to) const;
    PixelRect scrollingPanelRect() const { return panel_; }
    // The document window's text area (below its title bar); it never moves.
    PixelRect documentTextRect() const { return document_; }

private:
    void copyFromBase(PixelBuffer& out, const PixelRect& rect) const;
    void drawPanel(std::uint64_t frameIndex, PixelBuffer& out) const;
    void drawBlock(std::uint64_t frameIndex, PixelBuffer& out) const;

    std::int64_t width_;
    std::int64_t height_;
    PixelBuffer base_;    // the still parts of the desktop
    PixelBuffer strip_;   // the scrolling panel's text, one period tall
    PixelBuffer block_;   // the moving block's pattern
    PixelRect panel_;
    PixelRect document_;
    std::int64_t scrollStep_ = 1;  // pixels the panel scrolls per frame
    std::int64_t blockStepX_ = 1;
    std::int64_t blockStepY_ = 1;
};

// Screen capture on synthetic content: the Host's embedded default without a display server,
// and what tests drive on the virtual clock. Streams list and follow the displays of the display
// service; frames are paced by delayed blocks on the output queue, so on a manual clock a test
// gets one frame per frame interval it advances. A stream whose display goes away stops with an
// error through its stop handler. The content can be told to stand still, or to scroll its text
// panel only; frames that show the same picture as the one before are marked `unchanged`, and
// every other frame after the first names what changed (`changedRegion`).
class SimulatedScreenCapture final : public ScreenCaptureService {
public:
    enum class Behavior {
        normal,
        deliversNoFrames,  // streams start and then stay silent
        failsToStart,      // starting a stream reports an error
    };

    explicit SimulatedScreenCapture(std::shared_ptr<const DisplayService> displays);

    ShareableContentResult shareableContent() override;
    std::shared_ptr<ScreenCaptureStream> makeStream(DisplayID displayID,
                                                    const StreamConfiguration& configuration) override;

    enum class Motion {
        moving,     // the panel scrolls and the block moves every frame
        scrolling,  // only the text panel scrolls
        still,      // nothing moves: every frame after the first is unchanged
    };

    // Applies to streams started afterwards.
    void setBehavior(Behavior behavior);
    // Applies to running streams from their next frame; the parts that stop stay where they are.
    void setMotion(Motion motion);
    // A text for shareableContent() to fail with; none lists the displays again.
    void setShareableContentError(std::optional<std::string> error);

    std::int64_t runningStreamCount() const;
    std::int64_t startedStreamCount() const;
    std::optional<StreamConfiguration> lastStartedConfiguration() const;

    struct State;  // shared with the streams

private:
    std::shared_ptr<State> state_;
};

}  // namespace qm
