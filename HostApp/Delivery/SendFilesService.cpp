#include "HostApp/Delivery/SendFilesService.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/Core/HexDigits.h"
#include "Platform/Core/LogText.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;

namespace {

// Requests that arrive while the picker is open wait for it; beyond this many they are dropped.
constexpr std::size_t maxWaitingRequests = 8;

// Percent escapes decoded; none for a broken escape or a NUL byte.
std::optional<std::string> percentDecoded(const std::string& text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hexDigitValue(text[i + 1]);
            const int low = hexDigitValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0') return std::nullopt;
        decoded.push_back(c);
    }
    return decoded;
}

std::string percentEncoded(const std::string& text) {
    static const char* digits = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (c == '%' || c < 0x20 || c == 0x7f) {
            encoded.push_back('%');
            encoded.push_back(digits[c >> 4]);
            encoded.push_back(digits[c & 0xf]);
        } else {
            encoded.push_back(static_cast<char>(c));
        }
    }
    return encoded;
}

// The form two spellings of one file share: "." and ".." folded, no trailing separator.
std::string standardized(const std::filesystem::path& path) {
    auto text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

std::shared_ptr<SendFilesService> SendFilesService::create(Environment environment) {
    return std::shared_ptr<SendFilesService>(new SendFilesService(std::move(environment)));
}

std::optional<std::filesystem::path> SendFilesService::filePathOfURL(const std::string& url) {
    if (url.size() < 5) return std::nullopt;
    std::string scheme = url.substr(0, 5);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "file:") return std::nullopt;
    std::string rest = url.substr(5);
    if (const auto end = rest.find_first_of("?#"); end != std::string::npos) rest.resize(end);
    if (rest.rfind("//", 0) == 0) {
        const auto slash = rest.find('/', 2);
        if (slash == std::string::npos) return std::nullopt;
        std::string host = rest.substr(2, slash - 2);
        std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
        if (!host.empty() && host != "localhost") return std::nullopt;  // a file on another machine
        rest = rest.substr(slash);
    }
    auto path = percentDecoded(rest);
    if (!path || path->empty() || path->front() != '/') return std::nullopt;
    return std::filesystem::path(*path);
}

std::vector<std::filesystem::path> SendFilesService::serviceFileURLs(const SendFilesPasteboard& pasteboard) {
    std::vector<std::filesystem::path> candidates;
    for (const auto& url : pasteboard.urlObjects) {
        if (auto path = filePathOfURL(url)) candidates.push_back(std::move(*path));
    }
    if (pasteboard.filenames) {
        // Plain paths; one that is not absolute names nothing the Host can find.
        for (const auto& name : *pasteboard.filenames) {
            if (!name.empty() && name.front() == '/' && name.find('\0') == std::string::npos) candidates.emplace_back(name);
        }
    }
    for (const auto& item : pasteboard.itemFileURLs) {
        if (!item) continue;
        if (auto path = filePathOfURL(*item)) candidates.push_back(std::move(*path));
    }
    std::vector<std::filesystem::path> urls;
    std::set<std::string> seen;
    for (auto& candidate : candidates) {
        if (seen.insert(standardized(candidate)).second) urls.push_back(std::move(candidate));
    }
    return urls;
}

bool SendFilesService::handleServicesMessage(const SendFilesPasteboard& pasteboard, std::string* error) {
    auto urls = serviceFileURLs(pasteboard);
    if (urls.empty()) {
        if (error) *error = noFilesError;
        return false;
    }
    env_.mainQueue->async([weak = weak_from_this(), urls = std::move(urls)] {
        if (auto self = weak.lock()) self->presentSendDestinationPicker(urls);
    });
    return true;
}

std::vector<SendDestinationOption> SendFilesService::destinationOptions(V230HostAudioAuxServer& server) const {
    std::vector<SendDestinationOption> options;
    const auto connected = L10n::text("host.sendFilesConnectedViewer", "Connected Viewer");
    for (const auto& [id, name] : server.connectedFileTransferPeers()) {
        options.push_back({id.uuidString(), name, connected});
    }
    if (options.empty()) {
        // Viewers without a file channel: one entry that sends to every signed-in Viewer.
        const auto names = server.connectedViewerDisplayNames();
        const auto summary = env_.viewerDisplayNameSummary ? env_.viewerDisplayNameSummary(names) : std::string();
        options.push_back({fallbackEntryID, summary,
                           names.size() >= 2 ? L10n::text("host.sendFilesAllViewers", "All connected Viewers") : connected});
    }
    return options;
}

void SendFilesService::presentSendDestinationPicker(const std::vector<std::filesystem::path>& urls) {
    if (picker_) {
        // One picker at a time: this request is asked about once the open one is answered.
        if (waiting_.size() >= maxWaitingRequests) {
            log("files: send request dropped (" + std::to_string(urls.size()) + " item(s)); too many are waiting");
            return;
        }
        waiting_.push_back(urls);
        return;
    }
    if (env_.activateApplication) env_.activateApplication();
    auto server = env_.server ? env_.server() : nullptr;
    if (!server || !server->hasConnectedViewer()) {
        // One alert at a time: it already tells the user what to do with these files too.
        if (!noViewerAlert_.expired()) {
            log("files: send request dropped (" + std::to_string(urls.size()) + " item(s)); no Viewer is connected");
            presentNextWaiting();
            return;
        }
        AlertModel alert;
        alert.messageText = L10n::text("host.sendFilesNoViewerTitle", "No Quillmere Viewer is connected.");
        alert.informativeText = L10n::text(
            "host.sendFilesNoViewerBody",
            "Open Quillmere on the other device and connect to this Host first, then try Send files via QuillMere again.");
        alert.buttons = {L10n::text("common.ok", "OK")};
        if (env_.runHostModalAlert) {
            auto up = std::make_shared<bool>(true);
            noViewerAlert_ = up;
            env_.runHostModalAlert(alert, [weak = weak_from_this(), up](int) {
                if (auto self = weak.lock(); self && self->noViewerAlert_.lock() == up) self->noViewerAlert_.reset();
            });
        }
        presentNextWaiting();
        return;
    }
    const auto options = destinationOptions(*server);
    std::optional<SendDestinationResult> previousChoice;
    if (env_.defaults) {
        if (auto recalled = SendDestinationMemory::recall(*env_.defaults)) {
            const bool present = std::any_of(options.begin(), options.end(),
                                             [&](const auto& option) { return option.id == recalled->peer.id; });
            if (present) previousChoice = recalled;
        }
    }
    const auto title = L10n::text("host.sendToViewerWindowTitle", "Send to Quillmere Viewer");
    const auto header = urls.size() == 1 ? L10n::text("host.sendingOneItem", "Sending 1 item via Quillmere.")
                                         : L10n::format("host.sendingItemsFormat", "Sending %d items via Quillmere.",
                                                        {static_cast<std::int64_t>(urls.size())});
    SendDestinationPicker::Environment pickerEnvironment;
    pickerEnvironment.mainQueue = env_.mainQueue;
    pickerEnvironment.present = env_.presentPicker;
    pickerEnvironment.activateApplication = env_.activateApplication;
    pickerEnvironment.localHome = env_.localHome;
    auto picker = SendDestinationPicker::present(
        title, header, options, SendDestinationPicker::defaultPresets(), previousChoice, env_.files,
        std::move(pickerEnvironment), [weak = weak_from_this(), urls](std::optional<SendDestinationResult> result) {
            auto self = weak.lock();
            if (!self) return;
            self->picker_.reset();
            if (result) {
                if (result->remember && self->env_.defaults) SendDestinationMemory::remember(*self->env_.defaults, *result);
                self->dispatchSendToViewer(urls, result->destination, result->peer.id);
            }
            // The next request waits for this turn to end (the picker is still on its way out).
            self->env_.mainQueue->async([weak] {
                if (auto service = weak.lock()) service->presentNextWaiting();
            });
        });
    if (!picker->visible()) return;  // already answered
    picker_ = picker;
}

void SendFilesService::presentNextWaiting() {
    if (waiting_.empty() || picker_) return;
    auto next = std::move(waiting_.front());
    waiting_.erase(waiting_.begin());
    presentSendDestinationPicker(next);
}

void SendFilesService::dispatchSendToViewer(const std::vector<std::filesystem::path>& urls,
                                            const std::string& destination, const std::string& routingToken) {
    std::vector<std::filesystem::path> files;
    for (const auto& url : urls) {
        if (!url.empty() && url.is_absolute()) files.push_back(url);
    }
    if (files.empty()) return;
    auto server = env_.server ? env_.server() : nullptr;
    if (!server || !server->hasConnectedViewer() || !env_.files) return;
    if (env_.invalidateInboundFileClipboardClaim) env_.invalidateInboundFileClipboardClaim("host service send");
    // The folder may be one a Viewer's listing named.
    log("files: queued " + std::to_string(files.size()) + " item(s) via service -> " + escapedForLog(destination));
    // An entry that is no session id (the one standing for every Viewer) sends to all of them.
    std::optional<std::string> token;
    if (UUID::parse(routingToken)) token = routingToken;
    env_.files->sendURLs(files, FileTransferIntent::copy, destination, {}, token, std::nullopt);
}

// ---- Hand-off over the local socket -------------------------------------------------------------

std::string SendFilesHandOff::encode(const std::vector<std::filesystem::path>& files) {
    std::string line = tag;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
// GCC 12 reports an overlapping copy inside std::string here that cannot happen (a known false positive).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    for (const auto& file : files) line += "\t" + percentEncoded(file.string());
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
    return line;
}

std::optional<std::vector<std::filesystem::path>> SendFilesHandOff::decode(const std::string& line) {
    if (line.rfind(tag, 0) != 0) return std::nullopt;
    if (line.size() > tag.size() && line[tag.size()] != '\t') return std::nullopt;
    std::vector<std::filesystem::path> files;
    std::size_t start = tag.size();
    while (start < line.size()) {
        const auto end = line.find('\t', start + 1);
        const auto field = line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        auto path = percentDecoded(field);
        if (!path || path->empty()) return std::nullopt;
        files.emplace_back(*path);
        if (end == std::string::npos) break;
        start = end;
    }
    if (files.empty()) return std::nullopt;
    return files;
}

std::optional<std::vector<std::filesystem::path>> SendFilesHandOff::filesFromArguments(
    const std::vector<std::string>& arguments, const std::filesystem::path& workingDirectory) {
    auto flag = std::find(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(), "--send-files");
    if (flag == arguments.end()) return std::nullopt;
    std::vector<std::filesystem::path> files;
    for (auto it = flag + 1; it != arguments.end(); ++it) {
        if (it->empty()) continue;
        std::filesystem::path file(*it);
        if (file.is_relative()) file = workingDirectory / file;
        files.push_back(file.lexically_normal());
    }
    return files;
}

}  // namespace qm
