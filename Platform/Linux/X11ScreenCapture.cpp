#include "Platform/Linux/X11ScreenCapture.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstring>
#include <vector>

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>

namespace qm {

namespace {

// Shared-memory images of one size on a connection of their own, handed out as frames and taken
// back when the last consumer lets go.
class ShmImagePool : public std::enable_shared_from_this<ShmImagePool> {
public:
    static std::shared_ptr<ShmImagePool> open(const std::string& serverName, std::string& error) {
        auto connection = x11::Connection::open(serverName);
        if (!connection) {
            error = "X display " + serverName + " does not answer";
            return nullptr;
        }
        Display* display = connection->display();
        if (!XShmQueryExtension(display)) {
            error = "X display " + serverName + " has no shared-memory images";
            return nullptr;
        }
        Visual* visual = DefaultVisual(display, DefaultScreen(display));
        const int depth = DefaultDepth(display, DefaultScreen(display));
        if ((depth != 24 && depth != 32) || visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 ||
            visual->blue_mask != 0xFF) {
            error = "X display " + serverName + " has no 32-bit BGRX root visual";
            return nullptr;
        }
        return std::shared_ptr<ShmImagePool>(new ShmImagePool(std::move(connection), visual, depth));
    }

    ~ShmImagePool() {
        std::lock_guard lock(connection_->lock);
        for (auto* image : free_) destroy(image);
    }

    // Rows of a picture: [top, bottom).
    struct RowSpan {
        std::int64_t top = 0, bottom = 0;
    };

    // The rectangle of the root window as a frame; null with the reason when it cannot be read,
    // null without one when every image is still held by a consumer. With `previous` (a picture
    // of the same size this pool made, whose pointer covered `previousCursor`), `rowsDiffer`
    // gets one flag per row: whether the row differs from that picture's. `cursor` gets the rows
    // the pointer covers in the new picture.
    std::shared_ptr<const PixelBuffer> capture(std::int64_t x, std::int64_t y, std::int64_t width,
                                               std::int64_t height, const PixelBuffer* previous,
                                               RowSpan previousCursor, std::vector<std::uint8_t>& rowsDiffer,
                                               RowSpan& cursor, std::string& error) {
        Image* image = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (width != width_ || height != height_) {
                // A new size: the free images of the old one go, held ones go when they come back.
                std::lock_guard x(connection_->lock);
                for (auto* old : free_) destroy(old);
                free_.clear();
                width_ = width;
                height_ = height;
            }
            if (!free_.empty()) {
                image = free_.back();
                free_.pop_back();
            } else if (outstanding_ < maxImages) {
                std::lock_guard x(connection_->lock);
                image = make(width, height, error);
                if (!image) return nullptr;
            } else {
                return nullptr;
            }
            ++outstanding_;
        }
        auto self = shared_from_this();
        std::shared_ptr<Image> held(image, [self](Image* returned) { self->giveBack(returned); });
        bool read = false;
        {
            std::lock_guard lock(connection_->lock);
            Display* display = connection_->display();
            read = !connection_->lost() && XShmGetImage(display, DefaultRootWindow(display), image->image, static_cast<int>(x),
                                static_cast<int>(y), AllPlanes) != 0;
        }
        if (!read) {
            error = connection_->lost() ? "the X server went away" : "the display's area could not be read";
            return nullptr;
        }
        // The X pixel value leaves the top byte undefined; frames promise an opaque alpha. Each
        // row is compared with the previous picture's while it is still in the cache from being
        // made opaque: one pass over the pixels instead of two.
        const bool compare = previous && previous->width == width && previous->height == height;
        rowsDiffer.assign(compare ? static_cast<std::size_t>(height) : 0, 0);
        const auto rowBytes = static_cast<std::size_t>(width) * 4;
        for (std::int64_t row = 0; row < height; ++row) {
            auto* pixels = reinterpret_cast<std::uint32_t*>(image->buffer.row(row));
            for (std::int64_t column = 0; column < width; ++column) pixels[column] |= 0xFF000000u;
            if (compare) rowsDiffer[static_cast<std::size_t>(row)] = std::memcmp(pixels, previous->row(row), rowBytes) != 0;
        }
        cursor = drawCursor(image->buffer, x, y);
        if (compare) {
            // The rows under the pointer, where it is now and where it was, were compared without
            // it: compare them again as the pictures show them.
            for (const auto& span : {cursor, previousCursor}) {
                for (std::int64_t row = std::max<std::int64_t>(0, span.top); row < std::min(height, span.bottom); ++row) {
                    rowsDiffer[static_cast<std::size_t>(row)] =
                        std::memcmp(image->buffer.row(row), previous->row(row), rowBytes) != 0;
                }
            }
        }
        return std::shared_ptr<const PixelBuffer>(held, &held->buffer);
    }

    bool lost() const { return connection_->lost(); }

private:
    static constexpr int maxImages = 4;

    // Screen reads leave the pointer out (the server draws it apart from the framebuffer); a
    // Viewer needs to see where it points, so its current image is blended in over the picture.
    // Returns the rows it drew on (none when it drew nothing).
    RowSpan drawCursor(PixelBuffer& buffer, std::int64_t originX, std::int64_t originY) {
        if (!hasFixes_) return {};
        XFixesCursorImage* cursor = nullptr;
        {
            std::lock_guard lock(connection_->lock);
            if (connection_->lost()) return {};
            cursor = XFixesGetCursorImage(connection_->display());
        }
        if (!cursor) return {};
        const std::int64_t left = cursor->x - cursor->xhot - originX;
        const std::int64_t top = cursor->y - cursor->yhot - originY;
        const RowSpan rows{std::clamp<std::int64_t>(top, 0, buffer.height),
                           std::clamp<std::int64_t>(top + cursor->height, 0, buffer.height)};
        for (std::int64_t row = 0; row < cursor->height; ++row) {
            const std::int64_t y = top + row;
            if (y < 0 || y >= buffer.height) continue;
            auto* pixels = reinterpret_cast<std::uint32_t*>(buffer.row(y));
            for (std::int64_t column = 0; column < cursor->width; ++column) {
                const std::int64_t x = left + column;
                if (x < 0 || x >= buffer.width) continue;
                // Premultiplied ARGB in the low 32 bits of each long.
                const auto source = static_cast<std::uint32_t>(cursor->pixels[row * cursor->width + column]);
                const std::uint32_t alpha = source >> 24;
                if (alpha == 0) continue;
                const std::uint32_t keep = 255 - alpha;
                const std::uint32_t under = pixels[x];
                auto channel = [&](int shift) {
                    const std::uint32_t value = ((source >> shift) & 0xFF) + ((under >> shift) & 0xFF) * keep / 255;
                    return std::min<std::uint32_t>(value, 255) << shift;
                };
                pixels[x] = 0xFF000000u | channel(16) | channel(8) | channel(0);
            }
        }
        XFree(cursor);
        return rows;
    }

    struct Image {
        XShmSegmentInfo segment{};
        XImage* image = nullptr;
        PixelBuffer buffer;
    };

    ShmImagePool(std::shared_ptr<x11::Connection> connection, Visual* visual, int depth)
        : connection_(std::move(connection)), visual_(visual), depth_(depth) {
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        Display* display = connection_->display();
        hasFixes_ = XFixesQueryExtension(display, &eventBase, &errorBase) &&
                    XFixesQueryVersion(display, &major, &minor) && major >= 1;
    }

    // Under the connection's lock.
    Image* make(std::int64_t width, std::int64_t height, std::string& error) {
        Display* display = connection_->display();
        if (connection_->lost()) {
            error = "the X server went away";
            return nullptr;
        }
        auto image = std::make_unique<Image>();
        image->image = XShmCreateImage(display, visual_, static_cast<unsigned>(depth_), ZPixmap, nullptr,
                                       &image->segment, static_cast<unsigned>(width), static_cast<unsigned>(height));
        if (!image->image || image->image->bits_per_pixel != 32 || image->image->byte_order != LSBFirst) {
            if (image->image) XDestroyImage(image->image);
            error = "the server's images are not 32-bit little-endian";
            return nullptr;
        }
        const std::size_t size = static_cast<std::size_t>(image->image->bytes_per_line) * static_cast<std::size_t>(height);
        image->segment.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (image->segment.shmid < 0) {
            XDestroyImage(image->image);
            error = "no shared memory for a " + std::to_string(width) + "x" + std::to_string(height) + " image";
            return nullptr;
        }
        image->segment.shmaddr = static_cast<char*>(shmat(image->segment.shmid, nullptr, 0));
        image->segment.readOnly = False;
        const bool attached = image->segment.shmaddr != reinterpret_cast<char*>(-1) &&
                              x11::trapErrors(display, [&] { XShmAttach(display, &image->segment); }) == 0;
        // Marked for removal at once: the segment goes when the last attachment does, even if the
        // process dies.
        shmctl(image->segment.shmid, IPC_RMID, nullptr);
        if (!attached) {
            if (image->segment.shmaddr != reinterpret_cast<char*>(-1)) shmdt(image->segment.shmaddr);
            XDestroyImage(image->image);
            error = "the X server cannot attach shared memory (is it on another machine?)";
            return nullptr;
        }
        image->image->data = image->segment.shmaddr;
        image->buffer.width = width;
        image->buffer.height = height;
        image->buffer.bytesPerRow = image->image->bytes_per_line;
        image->buffer.external = reinterpret_cast<std::uint8_t*>(image->segment.shmaddr);
        image->buffer.externalSize = size;
        return image.release();
    }

    // Under the connection's lock.
    void destroy(Image* image) {
        Display* display = connection_->display();
        if (!connection_->lost()) {
            XShmDetach(display, &image->segment);
            XSync(display, False);
        }
        image->image->data = nullptr;  // the segment is not Xlib's to free
        XDestroyImage(image->image);
        shmdt(image->segment.shmaddr);
        delete image;
    }

    void giveBack(Image* image) {
        std::lock_guard lock(mutex_);
        --outstanding_;
        if (image->buffer.width == width_ && image->buffer.height == height_) {
            free_.push_back(image);
            return;
        }
        std::lock_guard x(connection_->lock);
        destroy(image);
    }

    std::shared_ptr<x11::Connection> connection_;
    Visual* visual_;
    int depth_;
    bool hasFixes_ = false;
    std::mutex mutex_;  // before the connection's lock
    std::vector<Image*> free_;
    int outstanding_ = 0;
    std::int64_t width_ = 0, height_ = 0;
};

class X11Stream final : public PacedScreenCaptureStream {
public:
    X11Stream(std::shared_ptr<X11DisplayService> displays, DisplayID displayID, StreamConfiguration configuration)
        : PacedScreenCaptureStream(displayID, configuration), displays_(std::move(displays)) {}

private:
    std::optional<std::string> begin() override {
        auto display = displays_->display(displayID_);
        if (!display || !display->isActive || display->bounds.isEmpty()) {
            return "display " + std::to_string(displayID_) + " is not available for capture";
        }
        std::string error;
        auto pool = ShmImagePool::open(displays_->serverName(), error);
        if (!pool) return error;
        const double refresh = display->currentMode && display->currentMode->refreshRate > 0
                                   ? display->currentMode->refreshRate
                                   : 60.0;
        const double interval = configuration_.minimumFrameInterval > 0 ? configuration_.minimumFrameInterval
                                                                          : 1.0 / refresh;
        std::lock_guard lock(mutex_);
        if (running_) return std::string("stream is already running");
        if (!queue_ || !handler_) return std::string("stream has no output");
        pool_ = std::move(pool);
        area_ = display->bounds;
        generation_ = displays_->changeGeneration();
        // A grab that ran late (a busy machine) takes the next picture at once instead of losing
        // its slot.
        startPacingLocked(interval, true, true);
        return std::nullopt;
    }

    // Follows the display after the server reported a change; false when it went away.
    bool refreshArea() {
        const auto generation = displays_->changeGeneration();
        if (generation == generation_) return true;
        auto display = displays_->display(displayID_);
        if (!display || !display->isActive || display->bounds.isEmpty()) return false;
        generation_ = generation;
        area_ = display->bounds;
        return true;
    }

    void deliver(std::uint64_t slot) override {
        auto handler = takeSlot();
        if (!handler) return;
        std::shared_ptr<ShmImagePool> pool;
        {
            std::lock_guard lock(mutex_);
            pool = pool_;
        }
        if (pool->lost()) {
            stopByItself("the X server of display " + std::to_string(displayID_) + " went away");
            return;
        }
        if (!refreshArea()) {
            // Whichever connection noticed first, a server that went away is reported as such.
            stopByItself(pool->lost() || displays_->serverLost()
                             ? "the X server of display " + std::to_string(displayID_) + " went away"
                             : "display " + std::to_string(displayID_) + " is no longer available");
            return;
        }
        const auto x = roundedInt(area_.minX()), y = roundedInt(area_.minY());
        const auto width = roundedInt(area_.width()), height = roundedInt(area_.height());
        std::string error;
        std::vector<std::uint8_t>& rowsDiffer = rowsDiffer_;
        ShmImagePool::RowSpan cursor;
        auto picture = pool->capture(x, y, width, height, previous_.get(), previousCursor_, rowsDiffer, cursor, error);
        if (!picture && !error.empty()) {
            // The area may be mid-change (a screen that shrank before the event arrived): look
            // at the display again before the next slot.
            generation_ = ~std::uint64_t{0};
        }
        std::shared_ptr<const PixelBuffer> delivered = picture;
        if (picture) {
            const std::int64_t outW = configuration_.width > 0 ? configuration_.width : width;
            const std::int64_t outH = configuration_.height > 0 ? configuration_.height : height;
            if (outW != width || outH != height) delivered = scaled(*picture, outW, outH);
        }
        if (delivered) {
            CapturedFrame frame;
            if (!rowsDiffer.empty()) {
                frame.changedRegion = changedBands(rowsDiffer, width);
                frame.unchanged = frame.changedRegion->empty();
                if (frame.unchanged) {
                    frame.changedRegion.reset();
                } else if (delivered != picture) {
                    frame.changedRegion = scaledBands(*frame.changedRegion, height, *delivered);
                }
            }
            // The screen's picture is what the next one is compared with, the delivered one what
            // a consumer holds.
            previous_ = picture;
            previousCursor_ = cursor;
            picture = std::move(delivered);
            frame.pixelBuffer = std::move(picture);
            frame.uptimeNs = now();
            frame.frameIndex = slot;
            frame.displayID = displayID_;
            handler(frame);
        }
        scheduleNext(slot);
    }

    // The full-width bands of the rows flagged as differing. The server reports no damage here,
    // so comparing rows is what tells the consumer which parts it need not convert again (and
    // which frames show nothing new).
    static std::vector<PixelRect> changedBands(const std::vector<std::uint8_t>& rowsDiffer, std::int64_t width) {
        constexpr std::size_t maxBands = 16;
        const auto height = static_cast<std::int64_t>(rowsDiffer.size());
        std::vector<PixelRect> bands;
        std::int64_t bandTop = -1;
        for (std::int64_t row = 0; row <= height; ++row) {
            const bool differs = row < height && rowsDiffer[static_cast<std::size_t>(row)] != 0;
            if (differs && bandTop < 0) bandTop = row;
            if (!differs && bandTop >= 0) {
                bands.push_back(PixelRect{0, bandTop, width, row - bandTop});
                bandTop = -1;
            }
        }
        if (bands.size() > maxBands) {
            // Many small bands: one from the first to the last costs less to convert than it
            // saves in calls.
            const std::int64_t top = bands.front().y, bottom = bands.back().y + bands.back().height;
            bands.assign(1, PixelRect{0, top, width, bottom - top});
        }
        return bands;
    }

    // Bands of screen rows as the rows of a picture scaled from `screenHeight` rows: the filter
    // reads the source rows around each output row's place, so a band takes its neighbours too.
    static std::vector<PixelRect> scaledBands(const std::vector<PixelRect>& bands, std::int64_t screenHeight,
                                              const PixelBuffer& out) {
        const std::int64_t margin = out.height / std::max<std::int64_t>(1, screenHeight) + 2;
        std::vector<PixelRect> scaledRows;
        for (const auto& band : bands) {
            const std::int64_t top = std::max<std::int64_t>(0, band.y * out.height / screenHeight - margin);
            const std::int64_t bottom = std::min<std::int64_t>(
                out.height, ((band.y + band.height) * out.height + screenHeight - 1) / screenHeight + margin);
            if (bottom > top) scaledRows.push_back(PixelRect{0, top, out.width, bottom - top});
        }
        return scaledRows;
    }

    static std::shared_ptr<const PixelBuffer> scaled(const PixelBuffer& source, std::int64_t width, std::int64_t height) {
        auto out = std::make_shared<PixelBuffer>(width, height);
        const int r = libyuv::ARGBScale(source.bytes(), static_cast<int>(source.bytesPerRow), static_cast<int>(source.width),
                                        static_cast<int>(source.height), out->bytes(), static_cast<int>(out->bytesPerRow),
                                        static_cast<int>(width), static_cast<int>(height), libyuv::kFilterBilinear);
        return r == 0 ? out : nullptr;
    }

    const std::shared_ptr<X11DisplayService> displays_;
    std::shared_ptr<ShmImagePool> pool_;  // mutex_
    // Output queue only.
    Rect area_;
    std::shared_ptr<const PixelBuffer> previous_;  // the screen's picture of the frame delivered last
    ShmImagePool::RowSpan previousCursor_;         // the rows the pointer covers in it
    std::vector<std::uint8_t> rowsDiffer_;         // per row of the last capture, kept for its capacity
    std::uint64_t generation_ = 0;
};

}  // namespace

X11ScreenCapture::X11ScreenCapture(std::shared_ptr<X11DisplayService> displays) : displays_(std::move(displays)) {}

bool X11ScreenCapture::isSupported(const std::string& serverName) {
    std::string error;
    return ShmImagePool::open(serverName, error) != nullptr;
}

ShareableContentResult X11ScreenCapture::shareableContent() {
    ShareableContent content;
    for (auto& info : displays_->onlineDisplays()) {
        if (!info.isOnline || !info.isActive || info.bounds.isEmpty()) continue;
        content.displays.push_back(ShareableDisplay{info.displayID, roundedInt(info.bounds.width()),
                                                    roundedInt(info.bounds.height()), info.bounds});
    }
    return ShareableContentResult{std::move(content), {}};
}

std::shared_ptr<ScreenCaptureStream> X11ScreenCapture::makeStream(DisplayID displayID,
                                                                   const StreamConfiguration& configuration) {
    return std::make_shared<X11Stream>(displays_, displayID, configuration);
}

}  // namespace qm
