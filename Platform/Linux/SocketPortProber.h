#pragma once

#include "Platform/PortProbe.h"

namespace qm {

// Real TCP connection attempts: a non-blocking connect watched by one short-lived thread per
// attempt, which reports ready or failed on the attempt's queue and ends soon after a cancel.
// Only numeric addresses are accepted (the Host probes loopback).
class SocketPortProber final : public PortProber {
public:
    std::shared_ptr<ProbeConnection> makeConnection(const std::string& host, std::uint16_t port) override;
};

}  // namespace qm
