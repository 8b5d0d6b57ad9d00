#include "QuillmereProfiles/ClipboardSyncBridge.h"

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform/Images.h"
#include "Platform/Core/LogText.h"
#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/ConfinedFiles.h"

namespace qm {

std::uint64_t declaredImagePixels(std::span<const std::uint8_t> bytes) {
    static constexpr std::uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I') || (bytes[0] == 'M' && bytes[1] == 'M'))) {
        auto size = tiffDimensions(bytes);
        return size ? std::uint64_t{size->width} * size->height : 0;
    }
    if (bytes.size() < 24 || !std::equal(std::begin(pngSignature), std::end(pngSignature), bytes.begin()) ||
        std::string_view(reinterpret_cast<const char*>(bytes.data() + 12), 4) != "IHDR")
        return 0;
    auto big = [&](std::size_t at) {
        return (std::uint64_t{bytes[at]} << 24) | (std::uint64_t{bytes[at + 1]} << 16) |
               (std::uint64_t{bytes[at + 2]} << 8) | bytes[at + 3];
    };
    return big(16) * big(20);
}

std::filesystem::path defaultCachesDirectory() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') return xdg;
    if (const char* home = std::getenv("HOME"); home && *home == '/') return std::filesystem::path(home) / ".cache";
    // Without HOME the password database still knows the user's home; a shared temporary folder
    // is the last resort only, since another local user could create our folders there first.
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir && *entry->pw_dir == '/')
        return std::filesystem::path(entry->pw_dir) / ".cache";
    std::error_code ec;
    auto temporary = std::filesystem::temp_directory_path(ec);
    return ec ? std::filesystem::path("/tmp") : temporary;
}

ClipboardSyncBridge::ClipboardSyncBridge(const HostPlatform& platform, std::string peerLabel_,
                                         std::shared_ptr<Pasteboard> pasteboard, std::int64_t maxFileBytes_,
                                         std::int64_t maxTotalFileBytes_, std::filesystem::path inboxBase)
    : peerLabel(std::move(peerLabel_)),
      sourceID(UUID::random().uuidString()),
      maxFileBytes(maxFileBytes_),
      maxTotalFileBytes(maxTotalFileBytes_),
      pasteboard_(std::move(pasteboard)),
      pollQueue_(platform.mainQueue),
      clock_(platform.clock),
      inboxBase_(std::move(inboxBase)),
      lastObservedChangeCount_(pasteboard_->changeCount()) {}

ClipboardSyncBridge::~ClipboardSyncBridge() { stop(); }

void ClipboardSyncBridge::start() {
    if (pollTimer_) return;
    std::weak_ptr<ClipboardSyncBridge> weak = weak_from_this();
    pollTimer_ = RepeatingTimer::schedule(pollQueue_, pollInterval, [weak] {
        if (auto self = weak.lock()) self->pollPasteboard();
    });
}

void ClipboardSyncBridge::stop() {
    if (pollTimer_) pollTimer_->cancel();
    pollTimer_.reset();
}

void ClipboardSyncBridge::status(const std::string& text) const {
    if (onStatus) onStatus(text);
}

void ClipboardSyncBridge::clearPending() {
    pendingOutgoingTransfer_.reset();
    pendingOutgoingChangeCount_.reset();
    lastPendingDeliveryStatusChangeCount_.reset();
}

void ClipboardSyncBridge::markPasteboardChangedExternally() {
    clearPending();
    lastObservedChangeCount_ = pasteboard_->changeCount();
}

void ClipboardSyncBridge::pollPasteboard() {
    if (!syncEnabled()) {
        lastObservedChangeCount_ = pasteboard_->changeCount();
        return;
    }
    const auto count = pasteboard_->changeCount();
    if (pendingOutgoingTransfer_) {
        if (count == *pendingOutgoingChangeCount_) {
            deliverPendingOutgoingTransfer();
            return;
        }
        clearPending();
    }
    if (count == lastObservedChangeCount_) return;
    auto item = extractClipboardItem();
    if (!item) {
        lastObservedChangeCount_ = count;
        return;
    }
    ClipboardTransfer transfer;
    transfer.sourceID = sourceID;
    transfer.sequence = nextSequence_++;
    transfer.generatedAtNs = clock_->uptimeNs();
    transfer.items.push_back(std::move(*item));
    pendingOutgoingTransfer_ = std::move(transfer);
    pendingOutgoingChangeCount_ = count;
    deliverPendingOutgoingTransfer();
}

void ClipboardSyncBridge::deliverPendingOutgoingTransfer() {
    if (!pendingOutgoingTransfer_) return;
    if (onOutgoingTransfer && onOutgoingTransfer(*pendingOutgoingTransfer_)) {
        lastObservedChangeCount_ = *pendingOutgoingChangeCount_;
        clearPending();
        return;
    }
    if (lastPendingDeliveryStatusChangeCount_ == pendingOutgoingChangeCount_) return;
    lastPendingDeliveryStatusChangeCount_ = pendingOutgoingChangeCount_;
    status("clipboard pending delivery: no authorized " + peerLabel + " session");
}

std::optional<ClipboardTransferItem> ClipboardSyncBridge::extractClipboardItem() const {
    // Files never travel through the clipboard.
    if (!pasteboard_->readFileURLs().empty()) return std::nullopt;
    if (auto image = makeImageTransferItem()) return image;
    if (auto text = pasteboard_->readString(); text && !text->empty()) {
        ClipboardTransferItem item;
        item.kind = ClipboardTransferItemKind::text;
        item.text = *text;
        return item;
    }
    return std::nullopt;
}

std::optional<ClipboardTransferItem> ClipboardSyncBridge::makeImageTransferItem() const {
    ClipboardTransferItem item;
    item.kind = ClipboardTransferItemKind::image;
    item.imageTypeIdentifier = "public.png";
    if (auto png = pasteboard_->readPNGData(); png && !png->empty()) {
        item.imageData = std::move(*png);
        return item;
    }
    if (auto tiff = pasteboard_->readTIFFData()) {
        if (auto picture = decodeTIFF(*tiff)) {
            if (auto png = encodePNG(*picture)) {
                item.imageData = std::move(*png);
                return item;
            }
        }
    }
    return std::nullopt;
}

void ClipboardSyncBridge::handleRemoteTransfer(const ClipboardTransfer& transfer) {
    if (!syncEnabled()) {
        status("clipboard ignored remote transfer: sync disabled");
        return;
    }
    applyTransferToPasteboard(transfer);
    lastObservedChangeCount_ = pasteboard_->changeCount();
}

void ClipboardSyncBridge::applyTransferToPasteboard(const ClipboardTransfer& transfer) {
    pasteboard_->clearContents();
    if (transfer.items.empty()) return;
    const auto& item = transfer.items.front();
    switch (item.kind) {
    case ClipboardTransferItemKind::text:
        if (!item.text) return;
        pasteboard_->setString(*item.text);
        status("clipboard applied text from " + peerLabel);
        return;
    case ClipboardTransferItemKind::image: {
        // The header says what decoding would cost; a picture past the bound is refused unread.
        if (item.imageData && declaredImagePixels(*item.imageData) > maxImagePixelsApplied) {
            status("clipboard image apply failed from " + peerLabel + ": the image exceeds " +
                   std::to_string(maxImagePixelsApplied) + " pixels");
            return;
        }
        auto picture = item.imageData ? imageAsPNG(*item.imageData) : std::nullopt;
        if (!picture) {
            status("clipboard image apply failed from " + peerLabel);
            return;
        }
        pasteboard_->writeImage(*picture);
        if (item.imageTypeIdentifier == "public.png") pasteboard_->setPNGData(*item.imageData);
        status("clipboard applied image from " + peerLabel);
        return;
    }
    case ClipboardTransferItemKind::files: {
        auto written = materializeFiles(item.files, transfer.sourceID, transfer.sequence);
        if (written.empty()) {
            status("clipboard file apply failed from " + peerLabel);
            return;
        }
        pasteboard_->writeFileURLs(written);
        status("clipboard applied " + std::to_string(written.size()) + " file(s) from " + peerLabel);
        return;
    }
    }
}

std::string ClipboardSyncBridge::sanitizedFilename(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) out.push_back(c == '/' || c == ':' || c == '\0' ? '-' : c);
    return out.empty() ? "clipboard-item" : out;
}

namespace {

// The stem and extension of one name, as a file manager reads them: the extension follows the
// last dot unless that dot starts or ends the name.
std::pair<std::string, std::string> splitExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {name, ""};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

}  // namespace

std::vector<std::filesystem::path> ClipboardSyncBridge::materializeFiles(const std::vector<ClipboardTransferFile>& files,
                                                                         const std::string& transferSource,
                                                                         std::uint64_t sequence) {
    // The source id names a folder of the inbox: it must stay one folder level.
    const std::string folderName = transferSource + "-" + std::to_string(sequence);
    if (!isAcceptablePeerComponent(transferSource) || !isAcceptablePeerComponent(folderName)) {
        status("clipboard inbox create failed: invalid source id");
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(inboxBase_, ec);
    const std::vector<std::string> components{"QuillmereClipboardInbox", peerLabel, folderName};
    errno = 0;
    auto folder = openConfinedFolder(inboxBase_, components, true);
    if (!folder) {
        status(std::string("clipboard inbox create failed: ") + std::strerror(errno ? errno : EIO));
        return {};
    }
    const auto folderPath = inboxBase_ / components[0] / components[1] / components[2];

    std::vector<std::filesystem::path> written;
    std::int64_t totalBytes = 0;
    for (const auto& file : files) {
        const auto name = sanitizedFilename(file.filename);
        const auto size = static_cast<std::int64_t>(file.data.size());
        if (size > maxFileBytes) {
            status("clipboard file write failed for " + escapedForLog(name) + ": the file exceeds the size limit");
            continue;
        }
        if (size > maxTotalFileBytes - totalBytes) {
            status("clipboard file write failed for " + escapedForLog(name) + ": the files exceed the total size limit");
            continue;
        }
        std::string candidate = name;
        for (std::uint64_t n = 1; entryExists(folder->get(), candidate); ++n) {
            auto [stem, extension] = splitExtension(candidate);
            candidate = stem + "-" + std::to_string(n) + (extension.empty() ? "" : "." + extension);
        }
        std::string error;
        if (!writeFileAtomically(folder->get(), candidate, file.data, error)) {
            status("clipboard file write failed for " + escapedForLog(name) + ": " + error);
            continue;
        }
        totalBytes += size;
        written.push_back(folderPath / candidate);
    }
    return written;
}

}  // namespace qm
