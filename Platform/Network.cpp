#include "Platform/Network.h"

namespace qm {

void Connection::send(SharedBytes data, SendCompletion completion) {
    send(data ? Bytes(*data) : Bytes(), std::move(completion));
}

void Connection::startReceiving(std::size_t bufferSize, ReceiveCompletion handler) {
    portableReceiveSize_ = bufferSize == 0 ? 1 : bufferSize;
    armPortableReceive(std::make_shared<ReceiveCompletion>(std::move(handler)));
}

void Connection::armPortableReceive(std::shared_ptr<ReceiveCompletion> handler) {
    // The implementation holds itself alive while a read completes, so `this` is valid here.
    receive(1, portableReceiveSize_, [this, handler](Bytes data, bool isComplete, const std::optional<NetworkError>& error) {
        (*handler)(std::move(data), isComplete, error);
        if (!isComplete && !error) armPortableReceive(handler);
    });
}

void Connection::setReceiveBufferSize(std::size_t bytes) {
    portableReceiveSize_ = bytes == 0 ? 1 : bytes;
}

void Connection::setSendLimit(std::size_t) {}

std::size_t Connection::queuedSendBytes() const {
    return 0;
}

}  // namespace qm
