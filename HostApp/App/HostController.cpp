#include "HostApp/App/HostController.h"

#include "HostApp/App/HostProbeDelegate.h"
#include "Platform/Core/LogSink.h"

namespace qm {

const HostAppEnvironment& HostController::env() const { return app_.environment(); }

void HostController::log(const std::string& message) {
    logLine("[QuillmereHost] " + message, LogLevel::diagnostic);
}

}  // namespace qm
