// The viewer side (see Viewer.h): accepting, receiving, sending with its
// backpressure, closing.
#include "engine/Viewer.h"

#include <utility>

#include "platform/System.h"
#include "text/Messages.h"

namespace kivro {

using platform::Result;
using platform::TcpConnection;

Viewer::Viewer(ViewerReports& reports, uint32_t timeoutMs, platform::Event& connectionWaiting,
               platform::Event& dataWaiting, platform::Event& stop)
    : reports_(reports),
      timeoutMs_(timeoutMs),
      connectionWaiting_(connectionWaiting),
      dataWaiting_(dataWaiting),
      stop_(stop) {}

bool Viewer::Listen(uint16_t port) {
    Result result = listener_.Create();
    if (result.Failed()) {
        reports_.ViewerError(MSG_ERR_CREATE_SOCKET, result.Code());
        return false;
    }
    result = listener_.Listen(port, connectionWaiting_);
    if (result.Failed()) {
        reports_.ViewerError(MSG_ERR_LISTEN, result.Code());
        return false;
    }
    return true;
}

void Viewer::Accept() {
    TcpConnection incoming;
    Result result = listener_.Accept(incoming);
    if (result.Failed()) {
        // Nothing waiting (the connection went away before it was taken) is no error.
        if (!platform::IsWouldBlock(result)) reports_.ViewerError(MSG_ERR_ACCEPT, result.Code());
        return;
    }
    if (client_.IsOpen()) return;  // one viewer at a time: `incoming` closes here
    result = incoming.SelectReadOrClose(dataWaiting_);
    if (result.Failed()) {
        reports_.ViewerError(MSG_ERR_WAIT_CLIENT, result.Code());
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
    size_t received = 0;
    Result result = client_.Receive(buffer, capacity, received);
    if (result.Ok() && received > 0) return static_cast<int>(received);
    if (result.Failed()) {
        if (platform::IsWouldBlock(result)) return 0;
        if (!platform::IsConnectionLost(result))
            reports_.ViewerError(MSG_ERR_RECV_CLIENT, result.Code());
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
        size_t sent = 0;
        Result result = client_.Send(buffer + offset, count, sent);
        if (result.Ok() && sent > 0) {
            offset += sent;
            count -= sent;
            lastProgress = platform::TickCount();
            continue;
        }
        uint32_t waited = platform::TickCount() - lastProgress;
        uint32_t left = waited >= timeoutMs_ ? 0 : timeoutMs_ - waited;
        if (platform::IsWouldBlock(result)) {
            TcpConnection::WaitResult outcome{};
            result = client_.WaitWritable(stop_, left, outcome);
            if (result.Ok()) {
                switch (outcome) {
                    case TcpConnection::WaitResult::Writable:
                        continue;
                    case TcpConnection::WaitResult::Stopped:
                        // The rest is dropped; the stop event stays set for the main loop.
                        return;
                    case TcpConnection::WaitResult::TimedOut:
                        reports_.ViewerError(MSG_ERR_SEND_CLIENT, platform::ErrorCodes::Timeout);
                        Close();
                        return;
                }
            }
        } else if (platform::IsConnectionLost(result)) {
            Close();
            return;
        }
        reports_.ViewerError(MSG_ERR_SEND_CLIENT, result.Code());
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
