// What the two socket backends share: owning and moving a socket. A moved-from
// owner gives up its event selection with the socket, so that its Close cannot
// undo the selection the new owner relies on; Close itself, which must end the
// selection before the socket goes, is each system's own.
#include "platform/Socket.h"

#include <cstring>
#include <utility>

namespace kivro::platform {

TcpConnection::~TcpConnection() {
    Close();
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept
    : raw_(std::exchange(other.raw_, kInvalid)), selected_(std::exchange(other.selected_, {})) {
    std::memcpy(peer_, other.peer_, sizeof peer_);
    other.peer_[0] = '\0';
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
    if (this != &other) {
        Close();
        raw_ = std::exchange(other.raw_, kInvalid);
        selected_ = std::exchange(other.selected_, {});
        std::memcpy(peer_, other.peer_, sizeof peer_);
        other.peer_[0] = '\0';
    }
    return *this;
}

TcpListener::~TcpListener() {
    Close();
}

TcpListener::TcpListener(TcpListener&& other) noexcept
    : raw_(std::exchange(other.raw_, kInvalid)), selected_(std::exchange(other.selected_, {})) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        Close();
        raw_ = std::exchange(other.raw_, kInvalid);
        selected_ = std::exchange(other.selected_, {});
    }
    return *this;
}

}  // namespace kivro::platform
