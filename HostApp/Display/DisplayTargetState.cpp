// The display-target state's own changes: where capture goes and the request in force.
#include "HostApp/Display/DisplayTargetState.h"

#include "Platform/Core/QueueCheck.h"

namespace qm {

void DisplayTargetState::usePhysicalDisplay(DisplayID id, bool manual) {
    useHeadlessVirtualDisplay_ = false;
    displaySelectionIsManual_ = manual;
    selectedDisplayID_ = id;
    physicalDisplayID_ = id;
}

void DisplayTargetState::useVirtualDisplay(bool manual) {
    currentCaptureRequest_.backend = VideoCaptureBackend::headlessVirtual;
    useHeadlessVirtualDisplay_ = true;
    displaySelectionIsManual_ = manual;
}

void DisplayTargetState::returnToPhysicalDisplay() {
    useHeadlessVirtualDisplay_ = false;
    displaySelectionIsManual_ = false;
    selectPhysicalDisplayIfKnown();
}

void DisplayTargetState::physicalDisplaySwitched(DisplayID id) {
    selectedDisplayID_ = id;
    physicalDisplayID_ = id;
}

void DisplayTargetState::choosePhysicalDisplay(DisplayID id) {
    physicalDisplayID_ = id;
    displaySelectionIsManual_ = true;
}

void DisplayTargetState::virtualDisplayReady(DisplayID id) {
    selectedDisplayID_ = id;
    displaySelectionIsManual_ = true;
}

void DisplayTargetState::selectPhysicalDisplayIfKnown() {
    if (physicalDisplayID_ != 0) selectedDisplayID_ = physicalDisplayID_;
}

void DisplayTargetState::defaultDisplayFound(DisplayID main) {
    if (selectedDisplayID_ == 0) selectedDisplayID_ = main;
    if (physicalDisplayID_ == 0) physicalDisplayID_ = main;
}

void DisplayTargetState::setCaptureRequest(const CaptureModeControlPayload& request, VideoCaptureMode mode) {
    currentCaptureRequest_ = request;
    currentVideoMode_ = mode;
}

void DisplayTargetState::setVideoMode(VideoCaptureMode mode) {
    currentVideoMode_ = mode;
    currentCaptureRequest_ = currentCaptureRequest_.withMode(mode);
}

void DisplayTargetState::setRequestMode(VideoCaptureMode mode) {
    if (currentCaptureRequest_.mode != mode) currentCaptureRequest_ = currentCaptureRequest_.withMode(mode);
}

void DisplayTargetState::clearIOSBuiltInFlag() {
    currentCaptureRequest_.flags &= static_cast<std::uint8_t>(~CaptureModeControlPayload::iosBuiltInDisplayFlag);
}

std::int64_t DisplayTargetState::noteHeadlessRealizeRetry() {
    requireInvariant(headlessRealizeRetryAttempts_ < maximumHeadlessRealizeRetries,
                     "the headless display is retried a bounded number of times per request");
    return ++headlessRealizeRetryAttempts_;
}

}  // namespace qm
