// The system updater's status file, as it lies on disk (binary or XML property list): whatever
// reads names a known state, and nothing in it can stop the Host (a NUL in a string, nesting,
// references that expand or loop).
#include <string>

#include "HostApp/App/HostOnlineUpdateRequest.h"
#include "fuzz/FuzzTarget.h"

using namespace qm;

QM_FUZZ_TARGET(update_status) {
    using Status = HostOnlineUpdateRequest::Status;
    auto status = Status::decode(data);
    if (!status) return;
    QM_FUZZ_CHECK(Status::stateFromRawValue(Status::rawValue(status->state)) == status->state, "an unknown state");
    for (const auto* text : {&status->requestIdentifier, &status->targetVersion, &status->targetBuild,
                             &status->installedVersion, &status->installedBuild, &status->failureReason})
        QM_FUZZ_CHECK(text->find('\0') == std::string::npos, "a status text with a NUL");
}
