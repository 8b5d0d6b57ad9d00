#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "support/TestPlatform.h"

namespace qm::test {

// An HTTPS server on 127.0.0.1 with a self-signed certificate made for the test. It answers every
// request with the scripted status and body, or, when told to stall, accepts the connection and
// never answers.
class LocalHttpsServer {
public:
    LocalHttpsServer();
    ~LocalHttpsServer();
    LocalHttpsServer(const LocalHttpsServer&) = delete;
    LocalHttpsServer& operator=(const LocalHttpsServer&) = delete;

    void respond(int status, std::string body);
    void stall() { stall_ = true; }

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path) const;
    // The certificate a client must trust to talk to this server.
    const std::filesystem::path& certificate() const { return certificate_; }
    // Request lines received so far ("GET /latest.json HTTP/1.1").
    std::vector<std::string> requests() const;

private:
    void serve();
    void handle(int socket);

    TemporaryDirectory directory_;
    std::filesystem::path certificate_;
    std::filesystem::path key_;
    void* context_ = nullptr;  // SSL_CTX
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> stall_{false};
    mutable std::mutex mutex_;
    int status_ = 200;
    std::string body_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace qm::test
