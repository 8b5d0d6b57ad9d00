#include "QuillmereProfiles/QuillmereSupportCatalog.h"

#include <array>

namespace qm {
namespace {

using Area = QuillmereSupportArea;
using Sev = QuillmereSupportSeverity;
using Code = QuillmereSupportErrorCode;

struct Row {
    Code code;
    const char* raw;
    Sev severity;
    const char* title;
    const char* summary;
    const char* action;
    const char* diagnosis;
};

// One row per code, in the order of the enumeration.
constexpr std::array<Row, 54> kRows{{
    {Code::invalidHostSignature, "IP-1001", Sev::security, "Host identity proof rejected",
     "A device answered at this address, but it could not prove it is a genuine Corventis Host.",
     "Install or update Corventis Host from the official Quillmere download page, then connect again.",
     "Ed25519 proof validation failed. Treat as counterfeit, wrong product, corrupted Host build, or unsupported "
     "pre-identity Host."},
    {Code::missingHostProof, "IP-1002", Sev::security, "Host identity proof missing",
     "The Host accepted the connection but never sent the identity proof Quillmere asked for.",
     "Update Corventis Host on the Host Mac and connect again. If it repeats, send an error report.",
     "Identity challenge (type 41) sent; no identity response (type 42) before the verification deadline."},
    {Code::unsupportedHostVersion, "IP-1003", Sev::blocked, "Host version unsupported",
     "This Host appears to be older than the required Quillmere verification protocol.",
     "Update Corventis Host on the Host Mac and reconnect.",
     "Likely pre-V1.4.8 Host or a compatible service without packet types 41/42."},
    {Code::replayOrTamperRejected, "IP-1004", Sev::security, "Host proof replay or tamper rejected",
     "Quillmere rejected a Host proof that did not belong to this connection attempt.",
     "Connect again on a trusted network. If it repeats, send an error report.",
     "Identity response signed a nonce other than the one issued, or the frame failed integrity checks; "
     "possible replay or in-path modification."},
    {Code::hostKeyMismatch, "IP-1005", Sev::security, "Host key mismatch",
     "The Host at this address presented a different identity key than the one Quillmere remembers.",
     "If the Host was reinstalled, remove it from the saved Hosts and add it again; otherwise do not connect.",
     "Ed25519 public key differs from the pinned key for this Host id. Reinstall, restored keys or impersonation."},
    {Code::verificationRelaySuspected, "IP-1006", Sev::security, "Verification route changed",
     "Quillmere noticed that the Host's verification came over a different route than the connection.",
     "Connect over a direct route such as Thunderbolt Bridge or the local network, then try again.",
     "Proof route and session route disagree (address or interface changed mid-handshake); possible relay."},
    {Code::hostUnreachable, "NET-2001", Sev::actionRequired, "Host unreachable",
     "Quillmere could not reach the Host at this address.",
     "Make sure the Host Mac is awake, on the same network and running Corventis Host, then connect again.",
     "TCP connect to the aux port failed (refused, no route or host down) before any frame was exchanged."},
    {Code::connectionTimedOut, "NET-2002", Sev::actionRequired, "Connection timed out",
     "The Host did not answer in time.",
     "Check that both devices are on the same network and that the Host Mac is awake, then try again.",
     "Connect or handshake exceeded its deadline; packets dropped, Host asleep, or firewall silently filtering."},
    {Code::auxPortUnavailable, "NET-2003", Sev::actionRequired, "Aux control port unavailable",
     "The Host was found, but Quillmere could not open the auxiliary control channel.",
     "Restart Corventis Host and make sure local firewalls allow the Quillmere aux port.",
     "Port 7346 failed or was blocked. Without aux, verification, video, audio, and file features cannot start "
     "correctly."},
    {Code::rfbPortUnavailable, "NET-2004", Sev::actionRequired, "Remote-control port unavailable",
     "The Host was found, but Quillmere could not reach its screen-sharing port.",
     "Turn on Screen Sharing in System Settings > General > Sharing on the Host Mac, then connect again.",
     "RFB port 5900 refused or filtered; the system screen-sharing service is off or blocked."},
    {Code::discoveryFoundNoHosts, "NET-2005", Sev::info, "No Hosts discovered",
     "Quillmere did not find any Host on this network.",
     "Open Corventis Host on the Host Mac, or enter the Host's address by hand.",
     "Bonjour browse for _quillmere-host._tcp returned no services within the browse window."},
    {Code::routeUnavailable, "NET-2006", Sev::warning, "Selected route unavailable",
     "The network route you chose for this Host is not available right now.",
     "Choose another route in the Host's connection options, or reconnect the cable or Wi-Fi.",
     "Advertised route record has no usable local interface or address; connect fell back or failed."},
    {Code::routeCongested, "NET-2007", Sev::warning, "Network route congested",
     "The connection to the Host is slower than the stream needs.",
     "Move closer to the Wi-Fi router or switch to a wired or Thunderbolt route.",
     "Acknowledgement round trips and send backlog exceed the flow-control window; adaptive rate engaged."},
    {Code::thunderboltNotConfigured, "NET-2008", Sev::actionRequired, "Thunderbolt Bridge not configured",
     "A Thunderbolt cable is connected, but Quillmere cannot use it as a network route.",
     "Turn on Thunderbolt Bridge in System Settings > Network on both Macs, then connect again.",
     "Thunderbolt Bridge service missing or without a self-assigned address on one side."},
    {Code::connectionClosed, "NET-2009", Sev::warning, "Connection closed",
     "The Host closed the connection.",
     "Connect again. If it repeats, send an error report.",
     "Peer closed the aux or video socket (FIN or reset) outside an orderly session end."},
    {Code::localNetworkPermissionMissing, "NET-2010", Sev::actionRequired, "Local Network permission missing",
     "Quillmere is not allowed to use the local network, so it cannot find or reach Hosts.",
     "Allow Quillmere in System Settings > Privacy & Security > Local Network, then try again.",
     "Local network privacy denied; Bonjour browse and unicast connects to local addresses fail."},
    {Code::invalidHostAddress, "CFG-4001", Sev::actionRequired, "Invalid Host address",
     "The Host address you entered is not a valid address.",
     "Enter the Host's name or IP address as shown in Corventis Host, then connect again.",
     "Address text failed hostname/IPv4/IPv6 parsing before any connection attempt."},
    {Code::missingCredentials, "CFG-4002", Sev::actionRequired, "Missing credentials",
     "Quillmere needs the Host user's name and password to sign in.",
     "Enter the user name and password of the account signed in on the Host Mac.",
     "Session authorisation not sent: user name or sealed credential empty."},
    {Code::keychainReadFailed, "CFG-4003", Sev::warning, "Keychain read failed",
     "Quillmere could not read the saved password for this Host.",
     "Enter the password again. If it repeats, check Keychain Access for a locked keychain.",
     "Keychain item lookup returned an error other than not-found (locked keychain or access denied)."},
    {Code::keychainWriteFailed, "CFG-4004", Sev::warning, "Keychain save failed",
     "Quillmere could not save the password for this Host.",
     "Sign in again; you may need to enter the password next time. Unlock your keychain if asked.",
     "Keychain item add or update failed; credentials kept for this session only."},
    {Code::staleSavedRoute, "CFG-4005", Sev::warning, "Saved route is stale",
     "The saved address for this Host no longer leads to it.",
     "Pick the Host again from the discovered list so Quillmere can save its current address.",
     "Saved route address answered with a different Host id or not at all; Bonjour record differs."},
    {Code::loginItemNeedsApproval, "CFG-4006", Sev::info, "Login item needs approval",
     "Quillmere cannot start at login until you approve it.",
     "Approve Quillmere in System Settings > General > Login Items.",
     "Login item registration status requires approval; not started at login."},
    {Code::unsupportedOS, "CFG-4007", Sev::blocked, "Unsupported system version",
     "This version of the system is older than Quillmere supports.",
     "Update the system to a supported version, then open Quillmere again.",
     "OS version below the minimum deployment target; required frameworks unavailable."},
    {Code::duplicateInstallServices, "CFG-4008", Sev::warning, "Duplicate service installation",
     "More than one copy of Corventis Host is installed, so the wrong one may answer.",
     "Remove the extra copies, keep the one in Applications and restart the Host Mac.",
     "Multiple bundles registered for the same Services entry or login item; LaunchServices picks arbitrarily."},
    {Code::screenRecordingMissing, "PERM-5001", Sev::actionRequired, "Screen Recording permission missing",
     "The Host cannot show its screen because Screen Recording is not allowed.",
     "On the Host Mac, allow Corventis Host in System Settings > Privacy & Security > Screen Recording, then "
     "restart it.",
     "Screen capture access preflight false; shareable content request denied."},
    {Code::accessibilityMissing, "PERM-5002", Sev::actionRequired, "Accessibility permission missing",
     "The Host cannot act on your clicks and keys because Accessibility is not allowed.",
     "On the Host Mac, allow Corventis Host in System Settings > Privacy & Security > Accessibility.",
     "Process not trusted for accessibility; posted events are dropped by the system."},
    {Code::fileAccessDenied, "PERM-5003", Sev::actionRequired, "File access denied",
     "Quillmere was not allowed to read or write the chosen folder.",
     "Grant access to the folder with Grant Folder Access in File Transfer, then try again.",
     "Folder listing or open failed with a permission error; no security-scoped grant for the path."},
    {Code::automationDenied, "PERM-5004", Sev::actionRequired, "Automation permission denied",
     "The Host was not allowed to ask Finder where to put received files.",
     "On the Host Mac, allow Corventis Host to control Finder in System Settings > Privacy & Security > Automation.",
     "AppleScript to Finder returned not-authorised (-1743); delivery falls back to the default folder."},
    {Code::encoderUnavailable, "VID-6001", Sev::warning, "Video encoder unavailable",
     "The Host could not start its video encoder.",
     "Switch to a lower quality mode or restart Corventis Host. If it repeats, send an error report.",
     "Compression session creation failed for every codec and hardware/software fallback."},
    {Code::captureDisplayUnavailable, "VID-6002", Sev::actionRequired, "Capture display unavailable",
     "The Host could not find the display it should show.",
     "Wake the Host's display or choose another display in the capture options.",
     "Requested display id absent from shareable content; display asleep, unplugged or mirrored."},
    {Code::displayModeSwitchFailed, "VID-6003", Sev::warning, "Display mode switch failed",
     "The Host could not change its display resolution.",
     "Keep the current resolution or choose another mode, then try again.",
     "Display configuration transaction for the requested mode failed or was rolled back."},
    {Code::geometryMismatch, "VID-6004", Sev::warning, "Video geometry mismatch",
     "The video from the Host does not match the size that was asked for.",
     "Reconnect, or choose another display mode. If it repeats, send an error report.",
     "Video config width/height differs from the capture request and display layout after mode change."},
    {Code::firstFrameTimeout, "VID-6005", Sev::warning, "First video frame timed out",
     "The Host connected but no picture arrived.",
     "Wake the Host's display and reconnect. If it repeats, send an error report.",
     "No video frame within the first-frame deadline after video config; capture stalled or zero-frame stream."},
    {Code::decoderFailed, "VID-6006", Sev::warning, "Video decoder failed",
     "Quillmere could not decode the video from the Host.",
     "Switch the stream to H.264 in the display options and reconnect.",
     "Decompression session rejected parameter sets or frames; codec/chroma unsupported on this device."},
    {Code::chromaFallback, "VID-6007", Sev::info, "Color mode fallback",
     "The Host is sending standard color instead of full color detail.",
     "No action is needed; choose another codec if you need full color detail.",
     "4:4:4 requested but encoder fell back to 4:2:0 for this codec and hardware."},
    {Code::adaptiveQualityReduced, "VID-6008", Sev::info, "Adaptive quality reduced",
     "Quillmere lowered the picture quality to keep the stream smooth.",
     "No action is needed; a faster network route restores full quality.",
     "Dynamic rate control reduced bit rate or frame rate after ack delay or send backlog."},
    {Code::multiViewerDisplaySwitchBlocked, "VID-6009", Sev::info, "Display switch blocked for multiple Viewers",
     "The Host did not switch physical displays because more than one Viewer is connected.",
     "Disconnect extra Viewers before changing the Host physical display.",
     "Host protects concurrent Viewer sessions by refusing physical-display mutations while multiple sessions are "
     "active."},
    {Code::virtualDisplayFailed, "VID-6010", Sev::warning, "Virtual display failed",
     "The Host could not create its virtual display.",
     "Choose a physical display mode, or restart Corventis Host and try again.",
     "Virtual display creation or mode application failed; capture fell back to a physical display."},
    {Code::audioCaptureUnavailable, "AUD-7001", Sev::warning, "Audio capture unavailable",
     "The Host could not capture its sound.",
     "Check that Screen Recording is allowed for Corventis Host, then reconnect audio.",
     "Audio stream start failed after retries; no audio sample buffers delivered."},
    {Code::audioDisconnected, "AUD-7002", Sev::warning, "Audio stream disconnected",
     "Sound from the Host stopped.",
     "Turn audio off and on again in the Viewer. If it repeats, send an error report.",
     "No audio frames within the silent-stream watchdog window; capture restarted or session dropped."},
    {Code::audioFormatUnsupported, "AUD-7003", Sev::warning, "Audio format unsupported",
     "Quillmere could not play the sound format the Host sent.",
     "Update Quillmere and Corventis Host to the same version, then reconnect.",
     "Opus decoder init failed or packet parameters outside 48 kHz stereo 20 ms frames."},
    {Code::audioLatencyHigh, "AUD-7004", Sev::info, "Audio latency high",
     "Sound from the Host is arriving late.",
     "Use a wired or Thunderbolt route for lower delay.",
     "Audio jitter buffer above target; frames arriving late over the aux channel."},
    {Code::fileChannelUnavailable, "FILE-8001", Sev::actionRequired, "File channel unavailable",
     "Quillmere could not open the file-transfer channel to the Host.",
     "Make sure local firewalls allow the Quillmere file port, then reconnect.",
     "Port 7348 connect failed or no file-transfer endpoint packet received."},
    {Code::fileTokenMismatch, "FILE-8002", Sev::security, "File-transfer token mismatch",
     "Quillmere rejected a file-transfer channel that did not match this session.",
     "Reconnect and try again. If it repeats, send an error report.",
     "Per-session file-transfer token mismatch; drop channel to prevent cross-session injection."},
    {Code::filePacketMalformed, "FILE-8003", Sev::warning, "Malformed file-transfer packet",
     "Quillmere received file data from the Host that it could not read.",
     "Send the files again. If it repeats, send an error report.",
     "FTRX frame or file-transfer packet failed to decode (bad magic, length or field)."},
    {Code::destinationWriteFailed, "FILE-8004", Sev::actionRequired, "Destination write failed",
     "The received files could not be saved in the chosen folder.",
     "Choose another destination folder or free some disk space, then send the files again.",
     "Create, write or move into the destination failed (permissions, disk full or read-only volume)."},
    {Code::handoffExpired, "FILE-8005", Sev::info, "Transfer handoff expired",
     "A file transfer waited too long and was dropped.",
     "Start the transfer again.",
     "Pending destination or drag-pull handoff outlived its lifetime before the batch started."},
    {Code::finderServiceUnavailable, "FILE-8006", Sev::warning, "Finder service unavailable",
     "The Finder service entry is not available or not connected to a session.",
     "Open Corventis and connect first, then try Finder > Send files via Corventis again.",
     "NSServices invocation lacked a connected target or LaunchServices registration is stale."},
    {Code::clipboardSyncFailed, "FILE-8007", Sev::warning, "Clipboard sync failed",
     "Quillmere could not copy the clipboard between this device and the Host.",
     "Copy the item again. Large files travel better with File Transfer.",
     "Clipboard transfer encoding, size limit or pasteboard write failed."},
    {Code::unknown, "SYS-9001", Sev::warning, "Unknown error",
     "Quillmere hit an error that is not classified yet.",
     "Copy the error report and contact support with this code.",
     "Fallback code for unclassified conditions."},
    {Code::buildMismatch, "SYS-9002", Sev::warning, "Build mismatch",
     "Quillmere and the Host are running builds that do not match.",
     "Update Quillmere and Corventis Host to the latest versions, then reconnect.",
     "Viewer and Host build numbers differ beyond the compatible range; packet sets may disagree."},
    {Code::resourceMissing, "SYS-9003", Sev::warning, "Required resource missing",
     "Quillmere could not find a file it needs.",
     "Reinstall Quillmere from the official download page.",
     "Bundle resource lookup returned nothing; damaged or partial installation."},
    {Code::appLifecycleUnexpected, "SYS-9004", Sev::warning, "Unexpected app state",
     "Quillmere ended up in a state it did not expect.",
     "Quit and reopen Quillmere. If it repeats, send an error report.",
     "Lifecycle event arrived out of order (e.g. activation during termination); state machine reset."},
    {Code::crashRecovery, "SYS-9005", Sev::warning, "Recovered after restart",
     "Quillmere closed unexpectedly last time and has restarted.",
     "Reconnect to your Host. If it repeats, send an error report.",
     "Previous run ended without a clean shutdown marker; crash or forced quit."},
}};

constexpr std::array<const char*, 8> kAreaRaw{"host-verification", "network", "configuration", "permissions",
                                              "video", "audio", "file-transfer", "system"};
constexpr std::array<const char*, 5> kSeverityRaw{"info", "warning", "action-required", "blocked", "security"};
constexpr std::array<std::pair<const char*, Area>, 8> kPrefixes{{{"IP-", Area::hostVerification},
                                                                 {"NET-", Area::network},
                                                                 {"CFG-", Area::configuration},
                                                                 {"PERM-", Area::permissions},
                                                                 {"VID-", Area::video},
                                                                 {"AUD-", Area::audio},
                                                                 {"FILE-", Area::fileTransfer},
                                                                 {"SYS-", Area::system}}};

const Row& rowOf(Code code) { return kRows[static_cast<std::size_t>(code)]; }

Area areaOfRaw(std::string_view raw) {
    for (const auto& [prefix, area] : kPrefixes) {
        if (raw.starts_with(prefix)) return area;
    }
    return Area::system;
}

}  // namespace

std::string_view rawValue(QuillmereSupportArea area) { return kAreaRaw[static_cast<std::size_t>(area)]; }
std::string_view rawValue(QuillmereSupportSeverity severity) { return kSeverityRaw[static_cast<std::size_t>(severity)]; }
std::string_view rawValue(QuillmereSupportErrorCode code) { return rowOf(code).raw; }

std::optional<QuillmereSupportArea> supportAreaFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < kAreaRaw.size(); ++i) {
        if (raw == kAreaRaw[i]) return static_cast<Area>(i);
    }
    return std::nullopt;
}

std::optional<QuillmereSupportSeverity> supportSeverityFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < kSeverityRaw.size(); ++i) {
        if (raw == kSeverityRaw[i]) return static_cast<Sev>(i);
    }
    return std::nullopt;
}

std::optional<QuillmereSupportErrorCode> supportErrorCodeFromRawValue(std::string_view raw) {
    for (const auto& row : kRows) {
        if (raw == row.raw) return row.code;
    }
    return std::nullopt;
}

const std::vector<QuillmereSupportArea>& allSupportAreas() {
    static const std::vector<Area> all = [] {
        std::vector<Area> v;
        for (std::size_t i = 0; i < kAreaRaw.size(); ++i) v.push_back(static_cast<Area>(i));
        return v;
    }();
    return all;
}

const std::vector<QuillmereSupportSeverity>& allSupportSeverities() {
    static const std::vector<Sev> all = [] {
        std::vector<Sev> v;
        for (std::size_t i = 0; i < kSeverityRaw.size(); ++i) v.push_back(static_cast<Sev>(i));
        return v;
    }();
    return all;
}

const std::vector<QuillmereSupportErrorCode>& allSupportErrorCodes() {
    static const std::vector<Code> all = [] {
        std::vector<Code> v;
        for (const auto& row : kRows) v.push_back(row.code);
        return v;
    }();
    return all;
}

std::string QuillmereSupportErrorExplanation::supportFooter() const { return "Support code: " + code; }

std::string QuillmereSupportErrorExplanation::userFacingText(const std::vector<std::string>& details) const {
    std::string text = userSummary;
    if (!details.empty()) {
        text += "\n";
        for (const auto& detail : details) text += "\n" + detail;
    }
    text += "\n\nWhat to try:\n" + userAction + "\n\n" + supportFooter();
    return text;
}

std::string QuillmereSupportErrorExplanation::diagnosticLine(const std::optional<std::string>& context) const {
    std::string line = "support-code=" + code + " area=" + std::string(rawValue(area)) +
                       " severity=" + std::string(rawValue(severity)) + " title=" + title;
    if (context && !context->empty()) line += " context=" + *context;
    return line;
}

QuillmereSupportErrorExplanation QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode code) {
    const Row& row = rowOf(code);
    return QuillmereSupportErrorExplanation{row.raw,     areaOfRaw(row.raw), row.severity,  row.title,
                                            row.summary, row.action,         row.diagnosis, privacyNote};
}

QuillmereSupportErrorExplanation QuillmereSupportCatalog::explanation(std::string_view rawCode) {
    return explanation(supportErrorCodeFromRawValue(rawCode).value_or(Code::unknown));
}

QuillmereSupportErrorCode QuillmereSupportCatalog::codeForHostVerificationFailure(
    const std::optional<std::string>& failure) {
    if (!failure) return Code::hostUnreachable;
    if (*failure == "invalid-signature") return Code::invalidHostSignature;
    if (*failure == "timed-out") return Code::connectionTimedOut;
    if (*failure == "invalid-address") return Code::invalidHostAddress;
    return Code::hostUnreachable;
}

}  // namespace qm
