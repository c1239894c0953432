// The one viewer connection: accepting it, receiving its bytes straight into the
// frame's payload area, sending the phone's bytes back, closing it. Worker thread
// only. A viewer that reads slowly is waited for (bounded by the link time-out,
// still honouring Stop) instead of being treated as an engine failure, and a
// viewer that vanished while being sent to is closed like one that vanished
// while being read from: neither is a reason to stop the engine.
#include "engine/Proxy.h"
#include "platform/System.h"
#include "text/Messages.h"

#include <utility>

namespace kivro {

using platform::SocketError;
using platform::TcpConnection;

void Proxy::AcceptClient() {
    TcpConnection incoming;
    SocketError error = listener_.Accept(incoming);
    if (error.Failed()) {
        // Nothing waiting (the connection went away before it was taken) is no error.
        if (error.kind != SocketError::WouldBlock) ReportSocketError(MSG_ERR_ACCEPT, error.code);
        return;
    }
    if (client_.IsOpen()) return;  // one viewer at a time: `incoming` closes here
    error = incoming.SelectReadOrClose(events_[SLOT_CLIENT]);
    if (error.Failed()) {
        ReportSocketError(MSG_ERR_WAIT_CLIENT, error.code);
        return;
    }
    // Best effort: without it the viewer still works, only with Nagle's delays.
    (void)incoming.SetNoDelay();
    client_ = std::move(incoming);
    clientConnected_ = true;
    PostText(EV_CLIENT, client_.PeerAddress());
}

int Proxy::ReceiveFromClient() {
    if (!client_.IsOpen()) return 0;
    SocketError error;
    int n = client_.Receive(frame_ + kLinkHeaderSize, kLinkMaxPayload, error);
    if (n > 0) return n;
    if (n < 0) {
        if (error.kind == SocketError::WouldBlock) return 0;
        if (error.kind != SocketError::Reset && error.kind != SocketError::Aborted)
            ReportSocketError(MSG_ERR_RECV_CLIENT, error.code);
    }
    CloseClient();
    return -1;
}

void Proxy::SendToClient(const uint8_t* buffer, size_t offset, size_t count) {
    // The time-out counts from the last progress, so a wake-up that brings no room
    // does not start the bound afresh.
    uint32_t lastProgress = platform::TickCount();
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
        uint32_t left = waited >= linkTimeoutMs_ ? 0 : linkTimeoutMs_ - waited;
        switch (error.kind) {
        case SocketError::WouldBlock:
            switch (client_.WaitWritable(events_[SLOT_STOP], left, error)) {
            case TcpConnection::WaitResult::Writable:
                continue;
            case TcpConnection::WaitResult::Stopped:
                // The rest is dropped; the stop event stays set for the main loop.
                return;
            case TcpConnection::WaitResult::TimedOut:
                ReportSocketError(MSG_ERR_SEND_CLIENT, platform::ErrorCodes::Timeout);
                CloseClient();
                return;
            case TcpConnection::WaitResult::Failed:
                break;
            }
            break;
        case SocketError::Reset:
        case SocketError::Aborted:
            CloseClient();
            return;
        default:
            break;
        }
        ReportSocketError(MSG_ERR_SEND_CLIENT, error.code);
        Stop();
        return;
    }
}

void Proxy::CloseClient() {
    if (!client_.IsOpen()) return;
    client_.Close();
    clientConnected_ = false;
    events_[SLOT_CLIENT].Reset();
    PostEvent(EV_CLIENT, 0);
}

}  // namespace kivro
