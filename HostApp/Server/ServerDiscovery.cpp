// The DNS-SD advertisement of the control port, refreshed when the network changes.
#include <unistd.h>

#include <climits>

#include "HostApp/Server/ServerSupport.h"
#include "Platform/DNSService.h"
#include "QuillmereProfiles/QuillmereDiscovery.h"

namespace qm {

namespace {
std::string machineName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Quillmere Host";
    return name;
}

std::string recordKey(const TXTRecord& record) {
    std::string key;
    for (const auto& [k, v] : record) key += k + "=" + v + '\n';
    return key;
}
}  // namespace

void V230HostAudioAuxServer::refreshBonjourAdvertisement() {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak] {
        if (auto self = weak.lock()) self->updateBonjourAdvertisement("host refresh");
    });
}

void V230HostAudioAuxServer::updateBonjourAdvertisement(const std::string& reason) {
    if (!options_.advertise || !platform_.dnsService || stopping_ || boundPorts_.control == 0) return;

    QuillmereAdvertisement advertisement;
    advertisement.hostID = discoveryHostID;
    advertisement.name = options_.advertisedName.empty() ? machineName() : options_.advertisedName;
    advertisement.routes = QuillmereDiscovery::localRouteRecords();
    advertisement.auxPort = boundPorts_.control;
    advertisement.videoPort = boundPorts_.video;
    advertisement.wakeAddresses = QuillmereDiscovery::wakeOnLANAddresses(advertisement.routes);
    if (identity_) advertisement.keyFingerprint = identity_->keyFingerprint();
    const auto record = QuillmereDiscovery::makeTXTRecord(advertisement);
    const auto key = recordKey(record);
    if (bonjourRegistration_ && key == bonjourRecordKey_) return;  // nothing changed
    bonjourRecordKey_ = key;

    if (bonjourRegistration_) {
        bonjourRegistration_->updateTXTRecord(record);
        publish("bonjour: record updated (" + reason + ")");
        return;
    }
    DNSServiceDescription description;
    description.name = advertisement.name;
    description.type = QuillmereDiscovery::serviceType;
    description.port = boundPorts_.control;
    description.txtRecord = record;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    DNSServiceHandlers handlers;
    handlers.onRegistered = [weak](const std::string& name) {
        if (auto self = weak.lock()) self->publish("bonjour: advertised as \"" + name + "\"");
    };
    handlers.onError = [weak](const DNSServiceError& error) {
        auto self = weak.lock();
        if (!self) return;
        // Serving goes on without the advertisement; a later refresh tries again.
        self->bonjourRegistration_.reset();
        self->bonjourRecordKey_.clear();
        if (!self->reportedBonjourFailure_) {
            self->reportedBonjourFailure_ = true;
            self->publish("bonjour: advertisement unavailable (" + error.description +
                          "); Viewers can still connect by address");
        }
    };
    bonjourRegistration_ = platform_.dnsService->registerService(description, queue, std::move(handlers));
}

}  // namespace qm
