#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Where a support problem lies; the raw value is what reports and log lines carry.
enum class QuillmereSupportArea { hostVerification, network, configuration, permissions, video, audio, fileTransfer, system };

enum class QuillmereSupportSeverity { info, warning, actionRequired, blocked, security };

// Every support code, in catalogue order (ascending within a prefix, prefixes IP, NET, CFG,
// PERM, VID, AUD, FILE, SYS).
enum class QuillmereSupportErrorCode {
    invalidHostSignature, missingHostProof, unsupportedHostVersion, replayOrTamperRejected, hostKeyMismatch,
    verificationRelaySuspected,
    hostUnreachable, connectionTimedOut, auxPortUnavailable, rfbPortUnavailable, discoveryFoundNoHosts,
    routeUnavailable, routeCongested, thunderboltNotConfigured, connectionClosed, localNetworkPermissionMissing,
    invalidHostAddress, missingCredentials, keychainReadFailed, keychainWriteFailed, staleSavedRoute,
    loginItemNeedsApproval, unsupportedOS, duplicateInstallServices,
    screenRecordingMissing, accessibilityMissing, fileAccessDenied, automationDenied,
    encoderUnavailable, captureDisplayUnavailable, displayModeSwitchFailed, geometryMismatch, firstFrameTimeout,
    decoderFailed, chromaFallback, adaptiveQualityReduced, multiViewerDisplaySwitchBlocked, virtualDisplayFailed,
    audioCaptureUnavailable, audioDisconnected, audioFormatUnsupported, audioLatencyHigh,
    fileChannelUnavailable, fileTokenMismatch, filePacketMalformed, destinationWriteFailed, handoffExpired,
    finderServiceUnavailable, clipboardSyncFailed,
    unknown, buildMismatch, resourceMissing, appLifecycleUnexpected, crashRecovery,
};

std::string_view rawValue(QuillmereSupportArea area);
std::string_view rawValue(QuillmereSupportSeverity severity);
std::string_view rawValue(QuillmereSupportErrorCode code);
// Exact, case-sensitive matches of the raw values; nothing for any other text.
std::optional<QuillmereSupportArea> supportAreaFromRawValue(std::string_view raw);
std::optional<QuillmereSupportSeverity> supportSeverityFromRawValue(std::string_view raw);
std::optional<QuillmereSupportErrorCode> supportErrorCodeFromRawValue(std::string_view raw);

const std::vector<QuillmereSupportArea>& allSupportAreas();
const std::vector<QuillmereSupportSeverity>& allSupportSeverities();
const std::vector<QuillmereSupportErrorCode>& allSupportErrorCodes();

struct QuillmereSupportErrorExplanation {
    std::string code;
    QuillmereSupportArea area = QuillmereSupportArea::system;
    QuillmereSupportSeverity severity = QuillmereSupportSeverity::warning;
    std::string title;
    std::string userSummary;
    std::string userAction;
    std::string supportDiagnosis;
    std::string privacyNote;

    // "Support code: " and the code.
    std::string supportFooter() const;
    // Summary, the details (if any) after an empty line, then "What to try:", the action and the
    // footer, each block separated by an empty line.
    std::string userFacingText(const std::vector<std::string>& details = {}) const;
    // One log line: support-code=, area=, severity=, title= and, when given and not empty, context=.
    std::string diagnosticLine(const std::optional<std::string>& context = std::nullopt) const;

    friend bool operator==(const QuillmereSupportErrorExplanation&, const QuillmereSupportErrorExplanation&) = default;
};

struct QuillmereSupportCatalog {
    QuillmereSupportCatalog() = delete;

    static constexpr const char* privacyNote =
        "No sensitive data is required for first-line support. Collect logs only after user consent.";

    static QuillmereSupportErrorExplanation explanation(QuillmereSupportErrorCode code);
    // A stored raw code back to its explanation; anything unknown gives the "SYS-9001" row.
    static QuillmereSupportErrorExplanation explanation(std::string_view rawCode);
    // The failure word of the Host-verification step, compared exactly.
    static QuillmereSupportErrorCode codeForHostVerificationFailure(const std::optional<std::string>& failure);
};

// The explanation of one code (the catalogue's row for it).
inline QuillmereSupportErrorExplanation explanation(QuillmereSupportErrorCode code) {
    return QuillmereSupportCatalog::explanation(code);
}

}  // namespace qm
