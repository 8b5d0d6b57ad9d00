#include "support/LocalHttpsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace qm::test {

namespace {

const char* reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 304: return "Not Modified";
        case 404: return "Not Found";
        default: return "Status";
    }
}

}  // namespace

LocalHttpsServer::LocalHttpsServer() {
    certificate_ = directory_.path() / "cert.pem";
    key_ = directory_.path() / "key.pem";
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                                "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                                key_.string() + "' -out '" + certificate_.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");

    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context || SSL_CTX_use_certificate_file(context, certificate_.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, key_.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("could not load the test certificate");
    }
    context_ = context;

    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0) {
        throw std::runtime_error("could not listen on 127.0.0.1");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LocalHttpsServer::~LocalHttpsServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
    SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void LocalHttpsServer::respond(int status, std::string body) {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
}

std::string LocalHttpsServer::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LocalHttpsServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void LocalHttpsServer::serve() {
    std::vector<int> stalled;
    while (!stopping_) {
        pollfd descriptor{listener_, POLLIN, 0};
        if (::poll(&descriptor, 1, 50) <= 0) continue;
        const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) continue;
        if (stall_) {
            stalled.push_back(socket);  // held open, never answered, until the server stops
            continue;
        }
        handle(socket);
        ::close(socket);
    }
    for (int socket : stalled) ::close(socket);
}

void LocalHttpsServer::handle(int socket) {
    // A client that never finishes its handshake must not hold the server for good.
    timeval timeout{5, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    SSL_set_fd(ssl, socket);
    if (SSL_accept(ssl) == 1) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            const int read = SSL_read(ssl, buffer, sizeof buffer);
            if (read <= 0) break;
            request.append(buffer, static_cast<std::size_t>(read));
        }
        int status;
        std::string body;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request.substr(0, request.find("\r\n")));
            status = status_;
            body = body_;
        }
        const bool hasBody = status != 304;
        std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n" +
                               "Content-Type: application/json\r\nConnection: close\r\n";
        if (hasBody) response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        response += "\r\n";
        if (hasBody) response += body;
        SSL_write(ssl, response.data(), static_cast<int>(response.size()));
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
}

}  // namespace qm::test
