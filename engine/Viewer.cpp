// The viewer side (see Viewer.h): accepting, receiving, sending with its
// backpressure, closing.
#include "engine/Viewer.h"

#include <utility>

#include "platform/System.h"
#include "text/Messages.h"

namespace kivro {

using platform::SocketError;
using platform::TcpConnection;

Viewer::Viewer(ViewerReports& reports, uint32_t timeoutMs, platform::Event& connectionWaiting,
               platform::Event& dataWaiting, platform::Event& stop)
    : reports_(reports),
      timeoutMs_(timeoutMs),
      connectionWaiting_(connectionWaiting),
      dataWaiting_(dataWaiting),
      stop_(stop) {}

bool Viewer::Listen(uint16_t port) {
    SocketError error = listener_.Create();
    if (error.Failed()) {
        reports_.ViewerError(MSG_ERR_CREATE_SOCKET, error.code);
        return false;
    }
    error = listener_.Listen(port, connectionWaiting_);
    if (error.Failed()) {
        reports_.ViewerError(MSG_ERR_LISTEN, error.code);
        return false;
    }
    return true;
}

void Viewer::Accept() {
    TcpConnection incoming;
    SocketError error = listener_.Accept(incoming);
    if (error.Failed()) {
        // Nothing waiting (the connection went away before it was taken) is no error.
        if (error.kind != SocketError::WouldBlock) reports_.ViewerError(MSG_ERR_ACCEPT, error.code);
        return;
    }
    if (client_.IsOpen()) return;  // one viewer at a time: `incoming` closes here
    error = incoming.SelectReadOrClose(dataWaiting_);
    if (error.Failed()) {
        reports_.ViewerError(MSG_ERR_WAIT_CLIENT, error.code);
        return;
    }
    // Best effort: without it the viewer still works, only with Nagle's delays.
    (void)incoming.SetNoDelay();
    client_ = std::move(incoming);
    connected_ = true;
    reports_.ViewerText(EV_CLIENT, client_.PeerAddress());
}

int Viewer::Receive(uint8_t* buffer, uint32_t capacity) {
    if (!client_.IsOpen()) return 0;
    SocketError error;
    int n = client_.Receive(buffer, capacity, error);
    if (n > 0) return n;
    if (n < 0) {
        if (error.kind == SocketError::WouldBlock) return 0;
        if (error.kind != SocketError::Reset && error.kind != SocketError::Aborted)
            reports_.ViewerError(MSG_ERR_RECV_CLIENT, error.code);
    }
    Close();
    return -1;
}

void Viewer::Send(const uint8_t* buffer, size_t count) {
    // The time-out counts from the last progress, so a wake-up that brings no room
    // does not start the bound afresh.
    uint32_t lastProgress = platform::TickCount();
    size_t offset = 0;
    while (count > 0 && client_.IsOpen()) {
        SocketError error;
        int n = client_.Send(buffer + offset, count, error);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            count -= static_cast<size_t>(n);
            lastProgress = platform::TickCount();
            continue;
        }
        uint32_t waited = platform::TickCount() - lastProgress;
        uint32_t left = waited >= timeoutMs_ ? 0 : timeoutMs_ - waited;
        switch (error.kind) {
            case SocketError::WouldBlock:
                switch (client_.WaitWritable(stop_, left, error)) {
                    case TcpConnection::WaitResult::Writable:
                        continue;
                    case TcpConnection::WaitResult::Stopped:
                        // The rest is dropped; the stop event stays set for the main loop.
                        return;
                    case TcpConnection::WaitResult::TimedOut:
                        reports_.ViewerError(MSG_ERR_SEND_CLIENT, platform::ErrorCodes::Timeout);
                        Close();
                        return;
                    case TcpConnection::WaitResult::Failed:
                        break;
                }
                break;
            case SocketError::Reset:
            case SocketError::Aborted:
                Close();
                return;
            default:
                break;
        }
        reports_.ViewerError(MSG_ERR_SEND_CLIENT, error.code);
        reports_.ViewerBroken();
        return;
    }
}

void Viewer::Close() {
    if (!client_.IsOpen()) return;
    client_.Close();
    connected_ = false;
    dataWaiting_.Reset();
    reports_.ViewerEvent(EV_CLIENT, 0);
}

void Viewer::Release() {
    if (client_.IsOpen()) {
        client_.Close();
        connected_ = false;
    }
    listener_.Close();
}

}  // namespace kivro
