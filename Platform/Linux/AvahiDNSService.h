#pragma once

#include <memory>

#include "Platform/DNSService.h"

namespace qm {

// Through the system's mDNS responder (Avahi's DNS-SD compatibility library). One thread of the
// advertiser makes every library call and waits on the registrations' sockets.
class AvahiDNSServiceAdvertiser final : public DNSServiceAdvertiser {
public:
    AvahiDNSServiceAdvertiser();
    ~AvahiDNSServiceAdvertiser() override;
    AvahiDNSServiceAdvertiser(const AvahiDNSServiceAdvertiser&) = delete;
    AvahiDNSServiceAdvertiser& operator=(const AvahiDNSServiceAdvertiser&) = delete;

    std::shared_ptr<DNSServiceRegistration> registerService(const DNSServiceDescription& description,
                                                            DispatchQueuePtr queue,
                                                            DNSServiceHandlers handlers) override;

    struct Worker;

private:
    std::shared_ptr<Worker> worker_;
};

}  // namespace qm
