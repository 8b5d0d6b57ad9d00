#include "Platform/Linux/X11DragPasteboard.h"

#include <poll.h>

#include <chrono>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/X11Connection.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace qm {

// The connection and the invisible window that receives the converted selection. Used on the
// reader's queue only.
struct X11DragPasteboard::Reader {
    std::shared_ptr<x11::Connection> connection;
    ::Window window = 0;
    Atom xdndSelection = 0;
    Atom uriList = 0;
    Atom property = 0;
    Atom incremental = 0;

    ~Reader() {
        if (connection && window && !connection->lost()) {
            std::lock_guard lock(connection->lock);
            XDestroyWindow(connection->display(), window);
        }
    }

    std::vector<std::filesystem::path> read() {
        if (!connection || connection->lost()) return {};
        std::lock_guard lock(connection->lock);
        Display* display = connection->display();
        // An answer to an earlier read that came too late must not be taken for this one.
        XEvent stale;
        while (XCheckTypedWindowEvent(display, window, SelectionNotify, &stale)) {
        }
        if (XGetSelectionOwner(display, xdndSelection) == None) return {};
        XDeleteProperty(display, window, property);
        XConvertSelection(display, xdndSelection, uriList, property, window, CurrentTime);
        XFlush(display);

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(answerTimeout);
        XEvent event;
        for (;;) {
            if (connection->lost()) return {};
            if (XCheckTypedWindowEvent(display, window, SelectionNotify, &event)) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
            ::poll(&descriptor, 1, static_cast<int>(left.count()) + 1);
            // Reads what arrived (and notices a server that went away).
            XEventsQueued(display, QueuedAfterReading);
        }
        if (event.xselection.property == None) return {};

        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        const long words = static_cast<long>(maximumListBytes / 4);
        const int status = XGetWindowProperty(display, window, property, 0, words, True, AnyPropertyType, &type,
                                              &format, &count, &after, &data);
        std::vector<std::filesystem::path> files;
        // A list sent in pieces (INCR) or longer than the bound is not taken.
        if (status == Success && data && format == 8 && type != incremental && after == 0) {
            files = localFilesFromURIList(std::string_view(reinterpret_cast<const char*>(data), count));
        }
        if (data) XFree(data);
        if (after > 0) XDeleteProperty(display, window, property);
        return files;
    }
};

std::shared_ptr<X11DragPasteboard> X11DragPasteboard::open(const std::string& name) {
    auto connection = x11::Connection::open(name);
    if (!connection) return nullptr;
    auto reader = std::make_shared<Reader>();
    reader->connection = connection;
    {
        std::lock_guard lock(connection->lock);
        Display* display = connection->display();
        reader->window = XCreateSimpleWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, 0);
        reader->xdndSelection = XInternAtom(display, "XdndSelection", False);
        reader->uriList = XInternAtom(display, "text/uri-list", False);
        reader->property = XInternAtom(display, "QUILLMERE_DRAG_FILES", False);
        reader->incremental = XInternAtom(display, "INCR", False);
        XFlush(display);
    }
    auto queue = std::make_shared<AsioDispatchQueue>("v230.host.drag-pasteboard");
    return std::shared_ptr<X11DragPasteboard>(new X11DragPasteboard(std::move(reader), std::move(queue)));
}

X11DragPasteboard::~X11DragPasteboard() = default;

void X11DragPasteboard::readDraggedFiles(std::function<void(std::vector<std::filesystem::path>)> completion) {
    queue_->async([reader = reader_, completion = std::move(completion)] { completion(reader->read()); });
}

}  // namespace qm
