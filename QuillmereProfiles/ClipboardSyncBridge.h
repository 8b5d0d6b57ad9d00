#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/HostPlatform.h"
#include "Platform/Pasteboard.h"
#include "QuillmereProfiles/ClipboardTransfer.h"

namespace qm {

// Keeps a pasteboard and the peers' clipboards in step. It knows nothing of the network: its
// owner hands it received transfers and gives it a callback that sends outgoing ones.
//
// Everything runs on `pollQueue` (the platform's main queue): the poll timer, and the owner's
// calls of handleRemoteTransfer. The bridge takes no locks. Echo suppression rests on the
// pasteboard's change count alone: what the bridge writes is recorded as already seen.
class ClipboardSyncBridge : public std::enable_shared_from_this<ClipboardSyncBridge> {
public:
    static constexpr double pollInterval = 0.6;
    // A received image is decoded on the main queue to check it; one larger than this (64 MiB
    // of pixels) is refused from its header, before any decoding.
    static constexpr std::uint64_t maxImagePixelsApplied = 16u << 20;

    // `inboxBase` is where the clipboard inbox folder goes: the user's caches folder
    // (defaultCachesDirectory()) in the Host, a temporary folder in tests.
    ClipboardSyncBridge(const HostPlatform& platform, std::string peerLabel, std::shared_ptr<Pasteboard> pasteboard,
                        std::int64_t maxFileBytes, std::int64_t maxTotalFileBytes,
                        std::filesystem::path inboxBase);
    ~ClipboardSyncBridge();

    // Sends a transfer; true when it reached at least one peer. False keeps it pending and it is
    // offered again on every tick until the pasteboard changes.
    std::function<bool(const ClipboardTransfer&)> onOutgoingTransfer;
    std::function<void(const std::string&)> onStatus;
    // Asked on every tick and for every received transfer; unset counts as enabled.
    std::function<bool()> isSyncEnabled;

    const std::string peerLabel;
    const std::string sourceID;
    // Limits for the files of one received transfer: one file, and all files together.
    const std::int64_t maxFileBytes;
    const std::int64_t maxTotalFileBytes;

    // Polls every 0.6 s (first tick 0.6 s from now). A second start creates no second timer.
    void start();
    void stop();
    void handleRemoteTransfer(const ClipboardTransfer& transfer);
    // Forgets a pending transfer and takes the present contents as already seen.
    void markPasteboardChangedExternally();

    // The bridge's state, for tests and diagnostics.
    std::uint64_t nextSequence() const { return nextSequence_; }
    const std::optional<ClipboardTransfer>& pendingOutgoingTransfer() const { return pendingOutgoingTransfer_; }
    bool isPolling() const { return pollTimer_ != nullptr; }
    // A file name made safe for one folder level: "/", ":" and NUL become "-"; "" becomes
    // "clipboard-item".
    static std::string sanitizedFilename(const std::string& name);

private:
    void pollPasteboard();
    void deliverPendingOutgoingTransfer();
    std::optional<ClipboardTransferItem> extractClipboardItem() const;
    std::optional<ClipboardTransferItem> makeImageTransferItem() const;
    void applyTransferToPasteboard(const ClipboardTransfer& transfer);
    std::vector<std::filesystem::path> materializeFiles(const std::vector<ClipboardTransferFile>& files,
                                                        const std::string& sourceID, std::uint64_t sequence);
    void status(const std::string& text) const;
    bool syncEnabled() const { return !isSyncEnabled || isSyncEnabled(); }
    void clearPending();

    std::shared_ptr<Pasteboard> pasteboard_;
    DispatchQueuePtr pollQueue_;
    std::shared_ptr<const Clock> clock_;
    std::filesystem::path inboxBase_;
    std::shared_ptr<RepeatingTimer> pollTimer_;
    std::int64_t lastObservedChangeCount_;
    std::uint64_t nextSequence_ = 1;
    std::optional<ClipboardTransfer> pendingOutgoingTransfer_;
    std::optional<std::int64_t> pendingOutgoingChangeCount_;
    std::optional<std::int64_t> lastPendingDeliveryStatusChangeCount_;
};

// Width times height from a PNG header or a TIFF's first directory; 0 for anything else.
std::uint64_t declaredImagePixels(std::span<const std::uint8_t> bytes);

// The user's caches folder: $XDG_CACHE_HOME, else $HOME/.cache, else .cache in the home folder
// the password database names; the temporary folder when none can be found.
std::filesystem::path defaultCachesDirectory();

}  // namespace qm
